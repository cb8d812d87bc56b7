#include "app/TrackModel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "point/QualityGate.h"
#include "gps/GeoDistance.h"
#include "platform/ClassicNumbers.h"
#include "surveylog/ModeNames.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMetresPerDegree = CGeoDistance::kEarthRadius * kPi / 180.0;

// Longitude difference the short way round, in (-180, 180].
double LongitudeDelta(double longitude, double origin)
{
    double delta = std::fmod(longitude - origin, 360.0);
    if (delta > 180.0)
        delta -= 360.0;
    else if (delta <= -180.0)
        delta += 360.0;
    return delta;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    const CClassicNumbers classic;
    char text[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* FixQualityName(uint32_t quality)
{
    // The GGA fix quality codes.
    switch (quality) {
    case 1: return "GPS";
    case 2: return "DGPS";
    case 3: return "PPS";
    case 4: return "RTK fixed";
    case 5: return "RTK float";
    case 6: return "estimated";
    case 7: return "manual";
    case 8: return "simulated";
    default: return nullptr;
    }
}

} // namespace

void CTrackModel::Reset()
{
    *this = CTrackModel{};
}

void CTrackModel::SetOriginIfNone(double latitude, double longitude)
{
    if (m_bOrigin)
        return;
    m_bOrigin = true;
    m_dfOriginLat = latitude;
    m_dfOriginLong = longitude;
    m_dfEastPerDegree = kMetresPerDegree * std::cos(latitude * kPi / 180.0);
}

bool CTrackModel::Project(double latitude, double longitude, double& east, double& north) const
{
    if (!m_bOrigin)
        return false;
    east = LongitudeDelta(longitude, m_dfOriginLong) * m_dfEastPerDegree;
    north = (latitude - m_dfOriginLat) * kMetresPerDegree;
    return true;
}

void CTrackModel::Add(const SURVEY_POINT& point, uint32_t logIndex)
{
    const GPS_FIX& fix = point.GpsFix;
    if (fix.nGpsFix == 0 || !std::isfinite(fix.dfLatAng) || !std::isfinite(fix.dfLongAng)) {
        ++m_withoutFix;
        return;
    }
    SetOriginIfNone(fix.dfLatAng, fix.dfLongAng);
    TRACK_POINT p;
    Project(fix.dfLatAng, fix.dfLongAng, p.dfEast, p.dfNorth);
    p.fDepth = DepthMetres(point);
    p.nLogIndex = logIndex;
    p.bBelowGate = ::BelowGate(point.Quality);
    if (p.bBelowGate)
        ++m_belowGate;
    if (!std::isfinite(p.fDepth))
        p.fDepth = 0.0f;
    if (m_points.empty()) {
        m_bounds = {true, p.dfEast, p.dfEast, p.dfNorth, p.dfNorth};
        m_fMinDepth = m_fMaxDepth = p.fDepth;
    } else {
        m_bounds.dfMinEast = std::min(m_bounds.dfMinEast, p.dfEast);
        m_bounds.dfMaxEast = std::max(m_bounds.dfMaxEast, p.dfEast);
        m_bounds.dfMinNorth = std::min(m_bounds.dfMinNorth, p.dfNorth);
        m_bounds.dfMaxNorth = std::max(m_bounds.dfMaxNorth, p.dfNorth);
        m_fMinDepth = std::min(m_fMinDepth, p.fDepth);
        m_fMaxDepth = std::max(m_fMaxDepth, p.fDepth);
    }
    m_points.push_back(p);
}

void TRACK_VIEWPORT::ToScreen(double east, double north, double& x, double& y) const
{
    x = nWidth / 2.0 + (east - dfCentreEast) * dfScale;
    y = nHeight / 2.0 - (north - dfCentreNorth) * dfScale;
}

void TRACK_VIEWPORT::ToPlane(double x, double y, double& east, double& north) const
{
    east = dfCentreEast + (x - nWidth / 2.0) / dfScale;
    north = dfCentreNorth - (y - nHeight / 2.0) / dfScale;
}

void TRACK_VIEWPORT::ZoomAt(double x, double y, double factor)
{
    double east = 0.0;
    double north = 0.0;
    ToPlane(x, y, east, north);
    dfScale = std::clamp(dfScale * factor, kMinScale, kMaxScale);
    // The same plane point back under (x, y).
    dfCentreEast = east - (x - nWidth / 2.0) / dfScale;
    dfCentreNorth = north + (y - nHeight / 2.0) / dfScale;
}

void TRACK_VIEWPORT::PanBy(double dx, double dy)
{
    dfCentreEast -= dx / dfScale;
    dfCentreNorth += dy / dfScale;
}

TRACK_VIEWPORT FitViewport(const TRACK_BOUNDS& bounds, int width, int height, int margin)
{
    TRACK_VIEWPORT v;
    v.nWidth = std::max(width, 1);
    v.nHeight = std::max(height, 1);
    const double roomX = std::max(v.nWidth - 2 * margin, 1);
    const double roomY = std::max(v.nHeight - 2 * margin, 1);
    double spanEast = kFitMinimumSpan;
    double spanNorth = kFitMinimumSpan;
    if (bounds.bValid) {
        v.dfCentreEast = (bounds.dfMinEast + bounds.dfMaxEast) / 2.0;
        v.dfCentreNorth = (bounds.dfMinNorth + bounds.dfMaxNorth) / 2.0;
        spanEast = std::max(bounds.dfMaxEast - bounds.dfMinEast, kFitMinimumSpan);
        spanNorth = std::max(bounds.dfMaxNorth - bounds.dfMinNorth, kFitMinimumSpan);
    }
    v.dfScale = std::clamp(std::min(roomX / spanEast, roomY / spanNorth), TRACK_VIEWPORT::kMinScale,
                           TRACK_VIEWPORT::kMaxScale);
    return v;
}

void CTrackThinning::Build(const CTrackModel& model, const TRACK_VIEWPORT& viewport, double margin, int dotCell)
{
    // Far enough that no leg with an end inside that box looks wrong on screen.
    constexpr double kFarAway = 4.0e6;
    const int w = std::max(viewport.nWidth, 1);
    const int h = std::max(viewport.nHeight, 1);
    dotCell = std::max(dotCell, 1);
    const int cellsX = (w + dotCell - 1) / dotCell;
    const int cellsY = (h + dotCell - 1) / dotCell;
    m_line.clear();
    m_dots.clear();
    m_occupied.assign(static_cast<size_t>(cellsX) * static_cast<size_t>(cellsY), 0);
    const auto outside = [&](double x, double y) {
        return (x < -margin ? 1 : 0) | (x > w + margin ? 2 : 0) | (y < -margin ? 4 : 0) | (y > h + margin ? 8 : 0);
    };
    // The edges every vertex since the last one kept lies beyond.
    int runMask = 0;
    bool pending = false;
    TRACK_SCREEN_POINT pendingPoint;
    long lastX = LONG_MIN;
    long lastY = LONG_MIN;
    for (size_t i = 0; i < model.Size(); ++i) {
        TRACK_SCREEN_POINT sp;
        viewport.ToScreen(model.At(i).dfEast, model.At(i).dfNorth, sp.x, sp.y);
        sp.x = std::clamp(sp.x, -kFarAway, kFarAway);
        sp.y = std::clamp(sp.y, -kFarAway, kFarAway);
        sp.nIndex = static_cast<uint32_t>(i);
        const long px = std::lround(std::floor(sp.x));
        const long py = std::lround(std::floor(sp.y));
        if (px != lastX || py != lastY) {
            lastX = px;
            lastY = py;
            const int code = outside(sp.x, sp.y);
            if ((runMask & code) != 0) {
                runMask &= code;
                pending = true;
                pendingPoint = sp;
            } else {
                if (pending)
                    m_line.push_back(pendingPoint);
                pending = false;
                m_line.push_back(sp);
                runMask = code;
            }
        }
        if (px >= 0 && px < w && py >= 0 && py < h) {
            uint8_t& cell = m_occupied[static_cast<size_t>(py / dotCell) * static_cast<size_t>(cellsX) +
                                       static_cast<size_t>(px / dotCell)];
            if (cell == 0) {
                cell = 1;
                m_dots.push_back(sp);
            }
        }
    }
    if (pending)
        m_line.push_back(pendingPoint);
}

long HitTest(const CTrackModel& model, const TRACK_VIEWPORT& viewport, double x, double y, double radius)
{
    long best = -1;
    double bestSquared = radius * radius;
    for (size_t i = 0; i < model.Size(); ++i) {
        double px = 0.0;
        double py = 0.0;
        viewport.ToScreen(model.At(i).dfEast, model.At(i).dfNorth, px, py);
        const double squared = (px - x) * (px - x) + (py - y) * (py - y);
        if (squared <= bestSquared) {
            bestSquared = squared;
            best = static_cast<long>(i);
        }
    }
    return best;
}

float DepthMetres(const SURVEY_POINT& point)
{
    const LOCATE_DATA& ld = point.LocateData;
    return ld.nProtocolId == 2 || ld.nProtocolId == 3 ? ld.fDepth / 100.0f : ld.fDepth;
}

std::vector<std::pair<std::string, std::string>> PointFields(const SURVEY_POINT& point, size_t number)
{
    const LOCATE_DATA& ld = point.LocateData;
    // Protocol ids 2 and 3 send milliamperes, the others amperes.
    const bool milli = ld.nProtocolId == 2 || ld.nProtocolId == 3;
    const double current = milli ? ld.fCurrent : static_cast<double>(ld.fCurrent) * 1000.0;
    char mode[kModeNameSize];
    ModeNameFromCode(point.nLocatorMode, mode);
    const std::string modeText = std::string(mode) == "-1" ? std::string("none") : std::string(mode);
    const std::string frequency =
        ld.fFrequency < 0.0f ? std::string("none") : Format("%.10g Hz", static_cast<double>(ld.fFrequency));
    std::string fix = "no fix";
    if (point.GpsFix.nGpsFix != 0) {
        const char* name = FixQualityName(point.GpsFix.nGpsFix);
        fix = name != nullptr ? Format("%s, %u satellites", name, point.GpsFix.nNoSats)
                              : Format("quality %u, %u satellites", point.GpsFix.nGpsFix, point.GpsFix.nNoSats);
    }
    return {
        {"Point", Format("%zu", number)},
        {"Depth", Format("%.2f m", static_cast<double>(DepthMetres(point)))},
        {"Current", Format("%.1f mA", current)},
        {"Signal", Format("%.1f dBuV", static_cast<double>(ld.fSignal))},
        {"Frequency", frequency},
        {"Mode", modeText},
        {"Time", Format("%u:%02u:%02u", point.RtcTime.Hours(), point.RtcTime.Minutes(), point.RtcTime.Seconds())},
        {"Fix", fix},
        // The receiver's own 1-sigma estimate (GST); HDOP is no distance.
        {"Accuracy", point.Quality.Has(QUALITY_H_ACCURACY) ? Format("%.2f m", point.Quality.dfHAccuracy)
                                                           : std::string("unknown")},
    };
}
