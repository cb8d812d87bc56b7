// Output in the client's map grid: the transformation from WGS 84 into a
// projected CRS ("EPSG:32633"), or a compound one with a vertical datum
// ("EPSG:32633+5773"), through PROJ.
//
// Of the transformations PROJ knows between the two, the best one is taken as
// if every grid were installed. If that one needs a grid that is not, the CRS
// is refused and the grid named: PROJ on its own would quietly take the next
// one, down to a ballpark transformation that returns the input height as the
// output height. Ballpark transformations are never used.
//
// The source is EPSG:4979 (latitude, longitude, ellipsoidal height) when the
// target has a vertical datum, so that the height goes through the geoid;
// otherwise EPSG:4326, and z passes through as the stated height.
//
// Every z comes out in the unit of the CRS: the vertical CRS's own, or, for a
// CRS without one, the unit of its horizontal axes (a State Plane zone in US
// survey feet gives its heights in US survey feet too). A CAD drawing has one
// unit for all three axes: there z is always in the horizontal axes' unit.
// Unit changes are PROJ's own (its unitconvert step), never a factor here.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gis/ProjContext.h"

// A grid that a transformation into a CRS uses.
struct CRS_GRID {
    std::string name;        // as PROJ names it (e.g. us_nga_egm08_25.tif)
    std::string package;     // the package or download that holds it, as PROJ's database says; may be empty
    std::string url;         // where PROJ's database says it can be had; may be empty
    bool bAvailable = false; // PROJ finds it on this machine
    std::string operation;   // the transformation that uses it
};

// Degrees of longitude and latitude the transformation has to serve (a
// survey's extent); with none, the target CRS's own area of use.
struct CRS_AREA {
    double west = 0.0, south = 0.0, east = 0.0, north = 0.0;
};

class CMapGrid {
public:
    // Null with a one-line reason in error: a CRS PROJ does not know, no
    // transformation but a ballpark one, or a grid the best one needs that is
    // not installed ("... needs the grid us_nga_egm08_25.tif (proj-data ...),
    // which PROJ cannot find here"). missing gets the names of such grids.
    // bHorizontalZUnit: z in the unit of the horizontal axes whatever the
    // vertical CRS's unit (a CAD drawing).
    static std::unique_ptr<CMapGrid> Create(const std::string& crs, std::string& error,
                                            const std::optional<CRS_AREA>& area = std::nullopt,
                                            std::vector<std::string>* missing = nullptr,
                                            bool bHorizontalZUnit = false);
    ~CMapGrid();

    // Signed degrees (and metres above the ellipsoid when HasVertical, else any
    // z, passed through) to the target's easting, northing (its own units: US
    // survey feet for a State Plane zone in feet) and height. A height that is
    // not a number (absent), or one the vertical transformation has no value
    // for (outside its geoid grid), comes back as NaN with the position still
    // transformed. False where there is no horizontal position.
    bool Transform(double latitude, double longitude, double height, double& x, double& y, double& z) const;
    // In place, count points at once: x longitude, y latitude, z height in;
    // easting, northing, height out. Points without a horizontal position
    // become NaN, heights that cannot be made NaN. Returns how many have a
    // horizontal position.
    size_t TransformMany(double* x, double* y, double* z, size_t count) const;

    bool HasVertical() const { return m_bVertical; }
    // Whether signed degrees lie inside the target CRS's area of use (true
    // when PROJ's database gives it none).
    bool InAreaOfUse(double latitude, double longitude) const;
    // The name of the unit z comes out in ("metre", "US survey foot").
    const std::string& ZUnitName() const { return m_zUnitName; }
    const char* SourceCrs() const { return m_bVertical ? "EPSG:4979" : "EPSG:4326"; }
    const std::string& TargetCrs() const { return m_target; }
    // The target CRS as WKT 2, for the layers' spatial reference.
    const std::string& TargetWkt() const { return m_wkt; }
    // The transformation taken: its name and its PROJ pipeline.
    const std::string& OperationName() const { return m_operationName; }
    const std::string& Pipeline() const { return m_pipeline; }

private:
    CMapGrid() = default;
    mutable std::mutex m_mutex; // one PROJ context, callers on several threads
    CProjContext m_ctx;
    bool SetUpParts(PJ* target, const std::optional<CRS_AREA>& area, bool bHorizontalZUnit, std::string& error);
    bool Horizontal(PJ_COORD& c) const;
    PJ* m_pj = nullptr;
    PJ* m_flat = nullptr;   // WGS 84 into the horizontal part only, for points without a height
    PJ* m_zUnit = nullptr;  // the height from the unit m_pj gives it to the unit it goes out in
    bool m_bVertical = false;
    std::optional<CRS_AREA> m_areaOfUse;
    std::string m_zUnitName;
    std::string m_target;
    std::string m_wkt;
    std::string m_operationName;
    std::string m_pipeline;
};

// Every grid that any non-ballpark transformation from WGS 84 into crs uses,
// best transformation first (--list-crs-grids). False with the reason in error
// when the CRS is not known.
bool ListCrsGrids(const std::string& crs, std::vector<CRS_GRID>& grids, std::string& error);
