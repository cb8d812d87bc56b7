// QGIS itself (Debian's python3-qgis, offscreen) as the reader of our GIS
// outputs: it opens layers the way a user's QGIS does, with their default
// styles, reports what it applied, and renders them into a PNG. Run with
// /usr/bin/python3, the interpreter Debian's QGIS bindings are built for.
#pragma once

#include <string>
#include <vector>

struct QGIS_LAYER {
    std::string name;
    bool bValid = false;
    long nFeatures = -1;
    std::string renderer;  // QGIS's renderer type: graduatedSymbol, singleSymbol, RuleRenderer, ...
    std::string attribute; // a graduated renderer's class attribute
    int nClasses = 0;
    bool bLabels = false;
    std::string labelField;
    std::string firstColour; // first class's (or the single symbol's) colour, "r,g,b,a"
    std::vector<std::string> legend; // the legend's labels, in order
    double dfSymbolSize = 0.0;       // the first legend symbol's size, mm
};

struct QGIS_RESULT {
    bool bRan = false;
    std::string error;             // QGIS's or the interpreter's complaint
    std::vector<QGIS_LAYER> layers; // in the order asked
    const QGIS_LAYER* Find(const std::string& name) const;
};

// Opens layers of a GeoPackage (or any OGR source) as QGIS would, renders
// them together at width x height pixels into png, and reports each layer.
// provider "postgres": source is a libpq connection string and the layers
// tables or views of its public schema (geometry geom, key fid), opened by
// QGIS's own PostgreSQL provider, which takes their defaults from the
// database's layer_styles.
QGIS_RESULT QgisOpenAndRender(const std::string& source, const std::vector<std::string>& layers,
                              const std::string& png, int width = 800, int height = 600,
                              const std::string& provider = "ogr");
