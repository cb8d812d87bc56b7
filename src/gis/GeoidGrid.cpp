#include "gis/GeoidGrid.h"

#include <cmath>

std::unique_ptr<CGeoidGrid> CGeoidGrid::Open(const std::string& grid, std::string& error)
{
    // The name goes into a pipeline's text: a blank, '+' or '=' would start
    // another parameter, ',' another grid, and '@' would make it optional,
    // which is exactly the silent skip this setting must not have.
    if (grid.empty() || grid.find_first_of(" \t\r\n+=,@") != std::string::npos) {
        error = "\"" + grid + "\" is not a grid name PROJ can take";
        return nullptr;
    }
    std::unique_ptr<CGeoidGrid> model(new CGeoidGrid());
    model->m_name = grid;
    // vgridshift forward adds multiplier x the grid's value to z: with z = 0
    // and multiplier 1 the result is the undulation N itself.
    const std::string definition = "+proj=vgridshift +grids=" + grid + " +multiplier=1";
    model->m_pj = proj_create(model->m_ctx.Get(), definition.c_str());
    if (model->m_pj == nullptr) {
        error = "PROJ cannot use the grid " + grid + ": " + model->m_ctx.LastError();
        return nullptr;
    }
    return model;
}

CGeoidGrid::~CGeoidGrid()
{
    proj_destroy(m_pj);
}

bool CGeoidGrid::Undulation(double latitude, double longitude, double& metres) const
{
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0)
        return false;
    const std::lock_guard<std::mutex> lock(m_mutex);
    PJ_COORD c = proj_coord(proj_torad(longitude), proj_torad(latitude), 0.0, 0.0);
    proj_errno_reset(m_pj);
    c = proj_trans(m_pj, PJ_FWD, c);
    // Outside the grid PROJ answers HUGE_VAL and sets an error.
    if (proj_errno(m_pj) != 0 || !std::isfinite(c.xyz.z)) {
        proj_errno_reset(m_pj);
        return false;
    }
    metres = c.xyz.z;
    return true;
}

std::unique_ptr<IGeoidModel> OpenGeoidGrid(const std::string& grid, std::string& error)
{
    return CGeoidGrid::Open(grid, error);
}
