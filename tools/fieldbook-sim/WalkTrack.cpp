#include "WalkTrack.h"

#include <cmath>
#include <ctime>

namespace {

// A flat-earth step is plenty for a walk: at 1.4 m/s an hour is 5 km, where the
// error against the ellipsoid stays far below the receiver's own noise.
constexpr double kEarthRadius = 6371000.0;
constexpr double kPi = 3.14159265358979323846;

} // namespace

CWalkTrack::CWalkTrack(double startLat, double startLon, double headingDeg, double speedMps,
                       double fixLossEvery, double fixLossFor)
    : m_lat0(startLat), m_lon0(startLon), m_heading(headingDeg), m_speed(speedMps),
      m_lossEvery(fixLossEvery), m_lossFor(fixLossFor)
{
}

void CWalkTrack::Position(double elapsed, double& lat, double& lon) const
{
    const double distance = m_speed * elapsed;
    const double heading = m_heading * kPi / 180.0;
    const double north = distance * std::cos(heading);
    const double east = distance * std::sin(heading);
    lat = m_lat0 + north / kEarthRadius * 180.0 / kPi;
    const double cosLat = std::cos(m_lat0 * kPi / 180.0);
    // Near a pole the east step is meaningless; keep the longitude there.
    lon = cosLat > 1e-6 ? m_lon0 + east / (kEarthRadius * cosLat) * 180.0 / kPi : m_lon0;
    if (lon > 180.0)
        lon -= 360.0;
    else if (lon < -180.0)
        lon += 360.0;
}

bool CWalkTrack::FixLost(double elapsed) const
{
    if (m_lossEvery <= 0.0 || m_lossFor <= 0.0 || elapsed < m_lossEvery)
        return false;
    return std::fmod(elapsed, m_lossEvery) < m_lossFor;
}

void SplitNmeaDegrees(double absDegrees, int& whole, double& minutes)
{
    const double degrees = std::floor(absDegrees);
    whole = static_cast<int>(degrees);
    minutes = std::round((absDegrees - degrees) * 60.0 * 10000.0) / 10000.0;
    if (minutes >= 60.0) { // 59.99996 rounds up into the next degree
        whole += 1;
        minutes -= 60.0;
    }
}

double RoundToNmeaMinutes(double absDegrees)
{
    int whole = 0;
    double minutes = 0.0;
    SplitNmeaDegrees(absDegrees, whole, minutes);
    return whole + minutes / 60.0;
}

GPS_SAMPLE CWalkTrack::Sample(double elapsed, double unixTime) const
{
    GPS_SAMPLE s;
    s.dfElapsed = elapsed;
    const double wholeSeconds = std::floor(unixTime);
    const time_t t = static_cast<time_t>(wholeSeconds);
    struct tm utc {};
    gmtime_r(&t, &utc);
    s.nYear = utc.tm_year + 1900;
    s.nMonth = utc.tm_mon + 1;
    s.nDay = utc.tm_mday;
    const double centis = std::floor((unixTime - wholeSeconds) * 100.0) / 100.0;
    s.dfUTC = utc.tm_hour * 10000.0 + utc.tm_min * 100.0 + utc.tm_sec + centis;

    s.bFix = !FixLost(elapsed);
    s.dfSpeedMps = m_speed;
    s.dfCourse = m_heading;
    if (!s.bFix)
        return s;
    double lat = 0.0, lon = 0.0;
    Position(elapsed, lat, lon);
    s.nQuality = 1;
    // A little life in the numbers a receiver reports, repeating every minute.
    const int phase = static_cast<int>(elapsed) % 60;
    s.nSatellites = 7 + phase % 4;
    s.dfHdop = 0.8 + 0.1 * (phase % 5);
    s.dfAltitude = 512.3 + 0.1 * (phase % 7);
    s.dfGeoid = 47.4;
    s.dfLat = std::copysign(RoundToNmeaMinutes(std::fabs(lat)), lat);
    s.dfLon = std::copysign(RoundToNmeaMinutes(std::fabs(lon)), lon);
    return s;
}
