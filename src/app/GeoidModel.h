// The geoid a point's orthometric height is taken against, when it is not the
// receiver's own (GPS#GEOID#<grid>). The model itself lives in the GIS room
// (a PROJ geoid grid); the core knows it only by this interface, so app, link
// and the decoder stay free of GDAL and PROJ.
#pragma once

#include <functional>
#include <memory>
#include <string>

class IGeoidModel {
public:
    virtual ~IGeoidModel() = default;
    // Undulation N in metres (the geoid's height above the WGS 84 ellipsoid) at
    // signed degrees (north and east positive). False where the model has no
    // value (outside its grid). Callable from any thread.
    virtual bool Undulation(double latitude, double longitude, double& metres) const = 0;
    // The grid's name as the settings give it.
    virtual const std::string& Name() const = 0;
};

// Builds the model of a grid name; null with a one-line reason in error when
// the grid cannot be used. The program installs the GIS room's factory.
using GeoidModelFactory = std::function<std::unique_ptr<IGeoidModel>(const std::string& grid, std::string& error)>;
void SetGeoidModelFactory(GeoidModelFactory factory);

// Puts the named grid in force (the settings' GPS#GEOID, at start-up and from
// the Heights page). An empty name (the receiver's geoid) always succeeds. A grid that cannot be used is
// refused: false, the message names it, and the model in force stays as it
// was. Main thread; the model in force is kept until the next success.
bool LoadGeoidModel(const std::string& grid, std::string& message);
// The model in force; null for the receiver's own geoid.
const IGeoidModel* GetGeoidModel();
