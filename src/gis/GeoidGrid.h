// A geoid grid through PROJ (GPS#GEOID#<grid>): egm96_15.gtx of Debian's
// proj-data, a grid of PROJ's resource folders, or a grid file the office
// supplies by its path. PROJ is used directly rather than through GDAL's
// spatial-reference API: that API builds transformations between CRSs and
// picks their grids itself, whereas the setting names a grid file, which only
// a PROJ pipeline (vgridshift) takes; and PROJ refuses a pipeline whose grid it
// cannot open, so a missing grid is an error at start-up, never a height that
// silently stays as it was.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "point/GeoidModel.h"
#include "gis/ProjContext.h"

class CGeoidGrid final : public IGeoidModel {
public:
    // Null with the reason in error when PROJ cannot find or read the grid, or
    // the name is not one a pipeline can hold.
    static std::unique_ptr<CGeoidGrid> Open(const std::string& grid, std::string& error);
    ~CGeoidGrid() override;

    bool Undulation(double latitude, double longitude, double& metres) const override;
    const std::string& Name() const override { return m_name; }

private:
    CGeoidGrid() = default;
    std::string m_name;
    mutable std::mutex m_mutex; // one PROJ context, callers on several threads
    CProjContext m_ctx;
    PJ* m_pj = nullptr;
};

// The factory the program installs (SetGeoidModelFactory).
std::unique_ptr<IGeoidModel> OpenGeoidGrid(const std::string& grid, std::string& error);
