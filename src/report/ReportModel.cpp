#include "report/ReportModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "gis/MapGrid.h"
#include "platform/ClassicNumbers.h"
#include "point/Accuracy.h"
#include "point/Heights.h"
#include "point/QualityGate.h"

namespace {

std::string Fixed(double value, int decimals)
{
    CClassicNumbers classic;
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void AddOnce(std::vector<std::string>& list, const std::string& text)
{
    if (std::find(list.begin(), list.end(), text) == list.end())
        list.push_back(text);
}

std::optional<double> Median(std::vector<double>& values)
{
    if (values.empty())
        return std::nullopt;
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    double median = values[mid];
    if (values.size() % 2 == 0) {
        const double below = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
        median = (median + below) / 2.0;
    }
    return median;
}

std::string DateText(const SURVEY_POINT& point)
{
    const RTC_DATE& d = point.RtcDate;
    if (d.Year() == 0 || d.Month() == 0 || d.Day() == 0)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", d.Year() % 10000u, d.Month() % 100u, d.Day() % 100u);
    return text;
}

void JoinInto(std::string& joined, const std::string& one)
{
    if (one.empty() || joined == one || joined.find("; " + one) != std::string::npos ||
        joined.rfind(one + ";", 0) == 0)
        return;
    joined += joined.empty() ? one : "; " + one;
}

int EffectiveFixType(const LOGGED_POINT& p)
{
    if (p.Point.Quality.Has(QUALITY_FIX_TYPE))
        return p.Point.Quality.nFixType;
    return static_cast<int>(p.Point.GpsFix.nGpsFix);
}

void BuildStatement(REPORT_MODEL& model)
{
    REPORT_STATEMENT& s = model.statement;
    std::map<std::string, size_t> fixCounts;
    std::vector<double> h95, v95;
    for (const REPORT_POINT& rp : model.points) {
        const LOGGED_POINT& p = *rp.pLogged;
        if (p.Record.bVoid) {
            ++s.voids;
            continue;
        }
        ++s.measured;
        const GPS_QUALITY& q = p.Point.Quality;
        ++fixCounts[FixText(p)];
        if (EffectiveFixType(p) == 0)
            ++s.noFix;
        if (rp.bBelowGate)
            ++s.belowGate;
        if (const auto h = HAccuracy95(q))
            h95.push_back(*h);
        if (const auto v = VAccuracy95(q))
            v95.push_back(*v);
        if (q.Has(QUALITY_STATION))
            AddOnce(s.stations, std::to_string(q.u32Station));
        if (const char* source = PositionSourceText(q.nSource))
            AddOnce(s.sources, source);
        if (q.Has(QUALITY_CORRECTION_AGE))
            s.CorrectionAgeWorst = std::max(s.CorrectionAgeWorst.value_or(0.0), q.dfCorrectionAge);
        if (p.bRecord) {
            AddOnce(s.geoids, p.Record.Geoid.empty() ? "the receiver's own geoid (GGA altitude)" : p.Record.Geoid);
            AddOnce(s.antennas, p.Record.AntennaHeight ? MetresText(p.Record.AntennaHeight, 3) : "not set");
        }
    }
    // Best fix first, as the fix codes rank them.
    static const int kOrder[] = {FIX_RTK_FIXED, FIX_RTK_FLOAT, FIX_PPS, FIX_DGPS, FIX_AUTONOMOUS,
                                 FIX_ESTIMATED, FIX_MANUAL,    FIX_SIMULATED, FIX_NONE};
    for (int code : kOrder) {
        const char* text = FixTypeText(code);
        if (auto it = fixCounts.find(text != nullptr ? text : ""); it != fixCounts.end()) {
            s.fixCounts.emplace_back(it->first, it->second);
            fixCounts.erase(it);
        }
    }
    for (const auto& [text, count] : fixCounts)
        s.fixCounts.emplace_back(text, count);
    s.h95Count = h95.size();
    s.v95Count = v95.size();
    s.H95Median = Median(h95);
    s.V95Median = Median(v95);
    if (!h95.empty())
        s.H95Worst = *std::max_element(h95.begin(), h95.end());
    if (!v95.empty())
        s.V95Worst = *std::max_element(v95.begin(), v95.end());
}

void BuildUtilities(REPORT_MODEL& model)
{
    for (const REPORT_LINE& rl : model.lines) {
        const UTILITY_LINE& line = rl.line;
        auto it = std::find_if(model.utilities.begin(), model.utilities.end(), [&](const REPORT_UTILITY& u) {
            return u.tag.type == line.Utility.type && u.tag.id == line.Utility.id;
        });
        if (it == model.utilities.end()) {
            REPORT_UTILITY added;
            added.tag = line.Utility;
            added.tag.segment = 0;
            model.utilities.push_back(added);
            it = model.utilities.end() - 1;
        }
        ++it->segments;
        it->points += line.points.size();
        it->dfLength += line.dfLength;
        if (line.MinDepth)
            it->MinDepth = it->MinDepth ? std::min(*it->MinDepth, *line.MinDepth) : *line.MinDepth;
        if (line.MaxDepth)
            it->MaxDepth = it->MaxDepth ? std::max(*it->MaxDepth, *line.MaxDepth) : *line.MaxDepth;
        if (!line.Utility.method.empty())
            AddOnce(it->methods, line.Utility.method);
        // The quality level of the utility is the best its segments reached
        // only where they agree; differing levels are listed together.
        if (line.Utility.qualityLevel != it->tag.qualityLevel &&
            it->tag.qualityLevel.find(line.Utility.qualityLevel) == std::string::npos)
            it->tag.qualityLevel += (it->tag.qualityLevel.empty() ? "" : ", ") + line.Utility.qualityLevel;
    }
}

} // namespace

std::string DecimalText(const std::optional<double>& value, int decimals)
{
    if (!value || !std::isfinite(*value))
        return {};
    return Fixed(*value, decimals);
}

std::string MetresText(const std::optional<double>& metres, int decimals)
{
    const std::string text = DecimalText(metres, decimals);
    return text.empty() ? text : text + " m";
}

std::string UtcTimeText(const LOGGED_POINT& point)
{
    double utc = point.Point.GpsFix.dfUTC;
    if (!(utc > 0.0))
        utc = point.Point.ZdaData.dfUTC;
    if (!(utc > 0.0) || utc >= 240000.0)
        return {};
    const long whole = static_cast<long>(utc);
    char text[64];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", whole / 10000, whole / 100 % 100, whole % 100);
    return text;
}

std::string FixText(const LOGGED_POINT& point)
{
    const char* text = FixTypeText(EffectiveFixType(point));
    return text != nullptr ? text : "code " + std::to_string(EffectiveFixType(point));
}

const char* QualityLevelMeaning(const std::string& level)
{
    // The utility-mapping standards' four quality levels.
    if (level == "A")
        return "precise horizontal and vertical position obtained by exposing the utility and measuring it "
               "(or by verifying one exposed and surveyed before), at the exposed point";
    if (level == "B")
        return "existence and approximate horizontal position obtained by surface geophysical methods "
               "(designating); its depth is an estimate";
    if (level == "C")
        return "position from surveyed visible above-ground features, correlated with records by professional "
               "judgement";
    if (level == "D")
        return "from existing records or oral recollections only";
    return "no quality level was recorded";
}

bool BuildReportModel(std::vector<REPORT_SURVEY> surveys, const std::string& crs, REPORT_MODEL& model,
                      std::string& error)
{
    model = REPORT_MODEL{};
    model.surveys = std::move(surveys);
    // The first fixed point chooses the default grid.
    double lat0 = 0.0, lon0 = 0.0;
    bool bAnyFix = false;
    double west = 180.0, east = -180.0, south = 90.0, north = -90.0;
    for (const REPORT_SURVEY& survey : model.surveys) {
        JoinInto(model.job.ticket, survey.job.ticket);
        JoinInto(model.job.client, survey.job.client);
        JoinInto(model.job.site, survey.job.site);
        JoinInto(model.job.crew, survey.job.crew);
        for (const LOGGED_POINT& p : survey.points) {
            const std::string date = DateText(p.Point);
            if (!date.empty()) {
                if (model.firstDate.empty() || date < model.firstDate)
                    model.firstDate = date;
                if (date > model.lastDate)
                    model.lastDate = date;
            }
            if (p.Point.GpsFix.nGpsFix == 0)
                continue;
            const double lat = SignedLatitude(p.Point.GpsFix), lon = SignedLongitude(p.Point.GpsFix);
            if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90.0 || std::fabs(lon) > 180.0)
                continue;
            if (!bAnyFix)
                lat0 = lat, lon0 = lon, bAnyFix = true;
            west = std::min(west, lon), east = std::max(east, lon);
            south = std::min(south, lat), north = std::max(north, lat);
        }
    }
    model.bCrsChosen = !crs.empty();
    model.crs = crs.empty() ? UtmCrsFor(lat0, lon0) : crs;
    std::optional<CRS_AREA> area;
    if (bAnyFix)
        area = CRS_AREA{west, south, east, north};
    std::unique_ptr<CMapGrid> grid = CMapGrid::Create(model.crs, error, area);
    if (!grid)
        return false;
    if (!DescribeMapGrid(*grid, model.crsName, model.dfMetresPerUnit, error))
        return false;
    model.grid = std::move(grid);

    size_t total = 0;
    for (const REPORT_SURVEY& survey : model.surveys)
        total += survey.points.size();
    model.points.reserve(total);
    std::vector<double> xs, ys, zs;
    xs.reserve(total), ys.reserve(total), zs.reserve(total);
    for (size_t s = 0; s < model.surveys.size(); ++s) {
        const REPORT_SURVEY& survey = model.surveys[s];
        for (const LOGGED_POINT& p : survey.points) {
            REPORT_POINT rp;
            rp.pLogged = &p;
            rp.survey = s;
            rp.bFix = p.Point.GpsFix.nGpsFix != 0;
            rp.bBelowGate = BelowGate(p.Point.Quality);
            if (p.Record.Utility.IsSet())
                rp.utility = p.Record.Utility.type + (p.Record.Utility.id.empty() ? "" : " " + p.Record.Utility.id);
            model.points.push_back(rp);
            xs.push_back(rp.bFix ? SignedLongitude(p.Point.GpsFix) : std::nan(""));
            ys.push_back(rp.bFix ? SignedLatitude(p.Point.GpsFix) : std::nan(""));
            zs.push_back(std::nan(""));
        }
    }
    model.grid->TransformMany(xs.data(), ys.data(), zs.data(), xs.size());
    const double unit = model.dfMetresPerUnit;
    for (size_t i = 0; i < model.points.size(); ++i) {
        REPORT_POINT& rp = model.points[i];
        if (!rp.bFix || !std::isfinite(xs[i]) || !std::isfinite(ys[i])) {
            rp.bFix = false;
            continue;
        }
        rp.x = xs[i] * unit;
        rp.y = ys[i] * unit;
        if (!model.bExtent) {
            model.minX = model.maxX = rp.x;
            model.minY = model.maxY = rp.y;
            model.bExtent = true;
        }
        model.minX = std::min(model.minX, rp.x), model.maxX = std::max(model.maxX, rp.x);
        model.minY = std::min(model.minY, rp.y), model.maxY = std::max(model.maxY, rp.y);
    }

    // Lines per survey: a utility's line never joins two logs.
    size_t offset = 0;
    for (const REPORT_SURVEY& survey : model.surveys) {
        for (UTILITY_LINE& line : BuildUtilityLines(survey.points.data(), survey.points.size())) {
            REPORT_LINE rl;
            for (size_t index : line.points) {
                const REPORT_POINT& rp = model.points[offset + index];
                if (!rp.bFix)
                    continue;
                rl.x.push_back(rp.x);
                rl.y.push_back(rp.y);
            }
            rl.line = std::move(line);
            model.lines.push_back(std::move(rl));
        }
        offset += survey.points.size();
    }
    BuildUtilities(model);
    BuildStatement(model);

    if (bAnyFix) {
        double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0, z = std::nan("");
        const double latC = (south + north) / 2.0, lonC = (west + east) / 2.0;
        if (model.grid->Transform(latC, lonC, z, x0, y0, z) &&
            model.grid->Transform(std::min(latC + 0.001, 89.9), lonC, z, x1, y1, z))
            model.dfConvergence = std::atan2(x1 - x0, y1 - y0);
    }
    return true;
}
