// The geoid a point's orthometric height is taken against, when it is not the
// receiver's own (GPS#GEOID#<grid>). The model itself lives in the GIS room
// (a PROJ geoid grid); everything below it knows it only by this interface, so
// the link, the decoder and the survey log stay free of GDAL and PROJ.
#pragma once

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
