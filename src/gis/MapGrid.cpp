#include "gis/MapGrid.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using ProjPtr = std::unique_ptr<PJ, ProjObjectDeleter>;
using ProjListPtr = std::unique_ptr<PJ_OBJ_LIST, ProjListDeleter>;

std::string Text(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

// A CRS with a height axis: compound, geographic 3D, or 3D projected.
bool IsThreeD(PJ_CONTEXT* ctx, PJ* crs)
{
    if (proj_get_type(crs) == PJ_TYPE_COMPOUND_CRS || proj_get_type(crs) == PJ_TYPE_VERTICAL_CRS)
        return true;
    ProjPtr cs(proj_crs_get_coordinate_system(ctx, crs));
    return cs && proj_cs_get_axis_count(ctx, cs.get()) == 3;
}

// The candidate transformations from source to target, best first, sorted as
// if every grid were installed; no ballpark ones.
ProjListPtr Candidates(PJ_CONTEXT* ctx, PJ* source, PJ* target, const std::optional<CRS_AREA>& area)
{
    PJ_OPERATION_FACTORY_CONTEXT* factory = proj_create_operation_factory_context(ctx, nullptr);
    if (factory == nullptr)
        return nullptr;
    proj_operation_factory_context_set_spatial_criterion(ctx, factory, PROJ_SPATIAL_CRITERION_PARTIAL_INTERSECTION);
    proj_operation_factory_context_set_grid_availability_use(ctx, factory, PROJ_GRID_AVAILABILITY_IGNORED);
    proj_operation_factory_context_set_allow_ballpark_transformations(ctx, factory, 0);
    if (area)
        proj_operation_factory_context_set_area_of_interest(ctx, factory, area->west, area->south, area->east,
                                                            area->north);
    ProjListPtr list(proj_create_operations(ctx, source, target, factory));
    proj_operation_factory_context_destroy(factory);
    return list;
}

std::vector<CRS_GRID> GridsOf(PJ_CONTEXT* ctx, PJ* op)
{
    std::vector<CRS_GRID> grids;
    const int count = proj_coordoperation_get_grid_used_count(ctx, op);
    for (int i = 0; i < count; ++i) {
        const char* shortName = nullptr;
        const char* fullName = nullptr;
        const char* package = nullptr;
        const char* url = nullptr;
        int direct = 0, open = 0, available = 0;
        if (!proj_coordoperation_get_grid_used(ctx, op, i, &shortName, &fullName, &package, &url, &direct, &open,
                                               &available))
            continue;
        grids.push_back({Text(shortName), Text(package), Text(url), available != 0, Text(proj_get_name(op))});
    }
    return grids;
}

// The unit of one axis of a CRS: metres per unit and PROJ's name of it.
struct AXIS_UNIT {
    double metres = 1.0;
    std::string name = "metre";
};

// Linear axes only: the degrees of a geographic CRS are no unit for a height.
std::optional<AXIS_UNIT> LinearAxisUnit(PJ_CONTEXT* ctx, PJ* crs, int axis)
{
    ProjPtr cs(proj_crs_get_coordinate_system(ctx, crs));
    if (!cs || proj_cs_get_type(ctx, cs.get()) == PJ_CS_TYPE_ELLIPSOIDAL || axis >= proj_cs_get_axis_count(ctx, cs.get()))
        return std::nullopt;
    const char* name = nullptr;
    double factor = 0.0;
    if (!proj_cs_get_axis_info(ctx, cs.get(), axis, nullptr, nullptr, nullptr, &factor, &name, nullptr, nullptr) ||
        !(factor > 0.0))
        return std::nullopt;
    return AXIS_UNIT{factor, Text(name)};
}

struct Endpoints {
    ProjPtr source;
    ProjPtr target;
    bool vertical = false;
};

bool OpenEndpoints(PJ_CONTEXT* ctx, const std::string& crs, Endpoints& ends, std::string& error)
{
    ends.target.reset(proj_create(ctx, crs.c_str()));
    if (!ends.target || !proj_is_crs(ends.target.get())) {
        error = "PROJ does not know the CRS " + crs;
        return false;
    }
    ends.vertical = IsThreeD(ctx, ends.target.get());
    ends.source.reset(proj_create(ctx, ends.vertical ? "EPSG:4979" : "EPSG:4326"));
    if (!ends.source) {
        error = "PROJ's database has no WGS 84 (is proj-data installed?)";
        return false;
    }
    return true;
}

std::string GridWhere(const CRS_GRID& grid)
{
    if (!grid.package.empty())
        return " (in " + grid.package + ")";
    if (!grid.url.empty())
        return " (from " + grid.url + ")";
    return {};
}

} // namespace

std::unique_ptr<CMapGrid> CMapGrid::Create(const std::string& crs, std::string& error,
                                           const std::optional<CRS_AREA>& area, std::vector<std::string>* missing,
                                           bool bHorizontalZUnit)
{
    std::unique_ptr<CMapGrid> grid(new CMapGrid());
    PJ_CONTEXT* ctx = grid->m_ctx.Get();
    Endpoints ends;
    if (!OpenEndpoints(ctx, crs, ends, error))
        return nullptr;
    ProjListPtr list = Candidates(ctx, ends.source.get(), ends.target.get(), area);
    if (!list || proj_list_get_count(list.get()) == 0) {
        error = "no transformation from WGS 84 to " + crs + " but a ballpark one";
        return nullptr;
    }
    ProjPtr best(proj_list_get(ctx, list.get(), 0));
    std::string absent;
    for (const CRS_GRID& g : GridsOf(ctx, best.get())) {
        if (g.bAvailable)
            continue;
        if (missing != nullptr)
            missing->push_back(g.name);
        absent += (absent.empty() ? "" : ", ") + g.name + GridWhere(g);
    }
    if (!absent.empty()) {
        error = "the transformation to " + crs + " (" + Text(proj_get_name(best.get())) + ") needs the grid " +
                absent + ", which PROJ cannot find here";
        return nullptr;
    }
    // Longitude, latitude in and easting, northing out whatever the CRSs'
    // axis order (EPSG:4326 is latitude first).
    grid->m_pj = proj_normalize_for_visualization(ctx, best.get());
    if (grid->m_pj == nullptr || !proj_coordoperation_is_instantiable(ctx, grid->m_pj)) {
        error = "PROJ cannot set up the transformation to " + crs + ": " + grid->m_ctx.LastError();
        return nullptr;
    }
    grid->m_bVertical = ends.vertical;
    grid->m_target = crs;
    grid->m_wkt = Text(proj_as_wkt(ctx, ends.target.get(), PJ_WKT2_2019, nullptr));
    grid->m_operationName = Text(proj_get_name(best.get()));
    grid->m_pipeline = Text(proj_as_proj_string(ctx, grid->m_pj, PJ_PROJ_5, nullptr));
    return grid->SetUpParts(ends.target.get(), area, bHorizontalZUnit, error) ? std::move(grid) : nullptr;
}

bool CMapGrid::SetUpParts(PJ* target, const std::optional<CRS_AREA>& area, bool bHorizontalZUnit, std::string& error)
{
    PJ_CONTEXT* ctx = m_ctx.Get();
    const bool compound = proj_get_type(target) == PJ_TYPE_COMPOUND_CRS;
    ProjPtr horizontal(compound ? proj_crs_get_sub_crs(ctx, target, 0) : nullptr);
    ProjPtr vertical(compound ? proj_crs_get_sub_crs(ctx, target, 1) : nullptr);
    PJ* flat = horizontal ? horizontal.get() : target;

    // A point without a height, or outside the geoid grid, still has its
    // place: the horizontal part alone, as PROJ transforms into it.
    if (horizontal) {
        ProjPtr source(proj_create(ctx, "EPSG:4326"));
        ProjListPtr list = source ? Candidates(ctx, source.get(), horizontal.get(), area) : nullptr;
        ProjPtr best(list && proj_list_get_count(list.get()) > 0 ? proj_list_get(ctx, list.get(), 0) : nullptr);
        m_flat = best ? proj_normalize_for_visualization(ctx, best.get()) : nullptr;
        if (m_flat != nullptr && !proj_coordoperation_is_instantiable(ctx, m_flat)) {
            proj_destroy(m_flat);
            m_flat = nullptr;
        }
    }

    // The unit the transformation gives z in, and the one it goes out in.
    const std::optional<AXIS_UNIT> across = LinearAxisUnit(ctx, flat, 0);
    std::optional<AXIS_UNIT> given;
    if (m_bVertical)
        given = vertical ? LinearAxisUnit(ctx, vertical.get(), 0) : LinearAxisUnit(ctx, target, 2);
    const AXIS_UNIT from = given.value_or(AXIS_UNIT{});
    const AXIS_UNIT to = (bHorizontalZUnit || !given) ? across.value_or(from) : from;
    m_zUnitName = to.name;
    if (from.metres != to.metres) {
        char definition[128];
        std::snprintf(definition, sizeof definition, "+proj=unitconvert +z_in=%.17g +z_out=%.17g", from.metres,
                      to.metres);
        m_zUnit = proj_create(ctx, definition);
        if (m_zUnit == nullptr) {
            error = "PROJ cannot give heights in " + to.name + ": " + m_ctx.LastError();
            return false;
        }
    }

    double west = 0.0, south = 0.0, east = 0.0, north = 0.0;
    for (PJ* crs : {target, flat}) {
        if (proj_get_area_of_use(ctx, crs, &west, &south, &east, &north, nullptr) && west > -1000.0) {
            m_areaOfUse = CRS_AREA{west, south, east, north};
            break;
        }
    }
    return true;
}

bool CMapGrid::InAreaOfUse(double latitude, double longitude) const
{
    if (!m_areaOfUse)
        return true;
    const CRS_AREA& a = *m_areaOfUse;
    if (latitude < a.south || latitude > a.north)
        return false;
    // An area across the antimeridian has its west bound east of its east one.
    return a.west <= a.east ? (longitude >= a.west && longitude <= a.east)
                            : (longitude >= a.west || longitude <= a.east);
}

CMapGrid::~CMapGrid()
{
    proj_destroy(m_zUnit);
    proj_destroy(m_flat);
    proj_destroy(m_pj);
}

bool CMapGrid::Transform(double latitude, double longitude, double height, double& x, double& y, double& z) const
{
    double cx = longitude, cy = latitude, cz = height;
    if (TransformMany(&cx, &cy, &cz, 1) != 1)
        return false;
    x = cx;
    y = cy;
    z = cz;
    return true;
}

bool CMapGrid::Horizontal(PJ_COORD& c) const
{
    PJ* op = m_flat != nullptr ? m_flat : m_pj;
    c.xyz.z = 0.0;
    proj_errno_reset(op);
    c = proj_trans(op, PJ_FWD, c);
    const bool ok = proj_errno(op) == 0 && std::isfinite(c.xyz.x) && std::isfinite(c.xyz.y);
    proj_errno_reset(op);
    return ok;
}

size_t CMapGrid::TransformMany(double* x, double* y, double* z, size_t count) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    size_t done = 0;
    for (size_t i = 0; i < count; ++i) {
        const bool height = std::isfinite(z[i]);
        const PJ_COORD in = proj_coord(x[i], y[i], height ? z[i] : 0.0, 0.0);
        PJ_COORD c = in;
        double out = kNone;
        bool placed = false;
        // Into a vertical datum the height goes through the transformation
        // (and may have no value there: outside the geoid grid); otherwise
        // it is the stated height, only its unit changes.
        if (height || m_flat == nullptr) {
            proj_errno_reset(m_pj);
            c = proj_trans(m_pj, PJ_FWD, in);
            placed = proj_errno(m_pj) == 0 && std::isfinite(c.xyz.x) && std::isfinite(c.xyz.y);
            proj_errno_reset(m_pj);
            if (placed && height)
                out = m_bVertical ? c.xyz.z : z[i];
        }
        if (!placed) {
            c = in;
            placed = Horizontal(c);
        }
        if (!placed) {
            x[i] = y[i] = z[i] = kNone;
            continue;
        }
        if (std::isfinite(out) && m_zUnit != nullptr)
            out = proj_trans(m_zUnit, PJ_FWD, proj_coord(0.0, 0.0, out, 0.0)).xyz.z;
        x[i] = c.xyz.x;
        y[i] = c.xyz.y;
        z[i] = std::isfinite(out) ? out : kNone;
        ++done;
    }
    return done;
}

bool ListCrsGrids(const std::string& crs, std::vector<CRS_GRID>& grids, std::string& error)
{
    grids.clear();
    CProjContext context;
    PJ_CONTEXT* ctx = context.Get();
    Endpoints ends;
    if (!OpenEndpoints(ctx, crs, ends, error))
        return false;
    ProjListPtr list = Candidates(ctx, ends.source.get(), ends.target.get(), std::nullopt);
    const int count = list ? proj_list_get_count(list.get()) : 0;
    for (int i = 0; i < count; ++i) {
        ProjPtr op(proj_list_get(ctx, list.get(), i));
        for (CRS_GRID& g : GridsOf(ctx, op.get())) {
            bool seen = false;
            for (const CRS_GRID& have : grids)
                seen = seen || have.name == g.name;
            if (!seen)
                grids.push_back(std::move(g));
        }
    }
    return true;
}
