// The geoid model in force (GPS#GEOID#<grid>), installed by the program: the
// GIS room supplies the factory (a PROJ geoid grid), app keeps the one in force.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "point/GeoidModel.h"

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
