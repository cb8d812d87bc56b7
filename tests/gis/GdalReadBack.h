// Reading GIS outputs back with GDAL itself, never with our own writer.
#pragma once

#include <string>
#include <vector>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "gis/GdalErrors.h"

inline GDALDatasetUniquePtr OpenForReading(const std::string& path, const std::vector<const char*>& options = {},
                                           bool bUpdate = false)
{
    GisInit();
    std::vector<const char*> list = options;
    list.push_back(nullptr);
    return GDALDatasetUniquePtr(GDALDataset::Open(
        path.c_str(), GDAL_OF_VECTOR | (bUpdate ? GDAL_OF_UPDATE : GDAL_OF_READONLY), nullptr, list.data(), nullptr));
}

// Every feature of a layer, in the order the layer gives them.
inline std::vector<OGRFeatureUniquePtr> Features(OGRLayer& layer)
{
    std::vector<OGRFeatureUniquePtr> features;
    layer.ResetReading();
    while (OGRFeature* feature = layer.GetNextFeature())
        features.emplace_back(feature);
    return features;
}

// Vertices of a line or of every part of a multi-line; -1 for anything else.
inline int VertexCount(const OGRGeometry* geometry)
{
    if (geometry == nullptr)
        return -1;
    switch (wkbFlatten(geometry->getGeometryType())) {
    case wkbLineString:
        return geometry->toLineString()->getNumPoints();
    case wkbMultiLineString: {
        int n = 0;
        for (const OGRLineString* part : *geometry->toMultiLineString())
            n += part->getNumPoints();
        return n;
    }
    default:
        return -1;
    }
}

inline bool IsPoint(const OGRGeometry* geometry)
{
    return geometry != nullptr && !geometry->IsEmpty() && wkbFlatten(geometry->getGeometryType()) == wkbPoint;
}
