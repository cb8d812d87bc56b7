// The simulated surveyor: walks a straight line from a start position at a
// steady pace, and now and then loses the GPS fix. Positions are signed decimal
// degrees (south and west negative), times seconds since the simulation began.
#pragma once

#include <cstdint>

// What the receiver reports at one epoch, as it goes on the wire: the position
// is rounded the way the NMEA text rounds it, so that what a listener decodes
// from the sentence can be compared with it.
struct GPS_SAMPLE {
    double dfElapsed = 0.0;  // seconds since the simulation began (steady clock)
    int nYear = 0, nMonth = 0, nDay = 0; // UTC calendar date
    double dfUTC = 0.0;      // hhmmss.ss
    bool bFix = false;
    int nQuality = 0;        // GGA fix quality: 0 none, 1 GPS
    int nSatellites = 0;
    double dfHdop = 0.0;
    double dfAltitude = 0.0; // metres above mean sea level
    double dfGeoid = 0.0;    // geoid separation, metres
    double dfLat = 0.0;      // signed degrees, as rounded in the sentence
    double dfLon = 0.0;
    double dfSpeedMps = 0.0;
    double dfCourse = 0.0;   // degrees true
    // Set by a quality plan only: without one GGA leaves age and station empty
    // and no GST goes out.
    double dfHAccuracy = 0.0;     // metres, 1 sigma; 0 none
    double dfCorrectionAge = -1.0; // seconds; negative none
    int nStation = 0;
};

class CWalkTrack {
public:
    // headingDeg: degrees clockwise from north. fixLossEvery/fixLossFor in seconds;
    // 0 for no fix loss.
    CWalkTrack(double startLat, double startLon, double headingDeg, double speedMps,
               double fixLossEvery = 0.0, double fixLossFor = 0.0);

    // Exact position after elapsed seconds of walking.
    void Position(double elapsed, double& lat, double& lon) const;
    // The fix is lost for fixLossFor seconds at every multiple of fixLossEvery.
    bool FixLost(double elapsed) const;

    // The receiver's report at elapsed seconds, stamped with the UTC time given as
    // seconds since 1970 (the system clock).
    GPS_SAMPLE Sample(double elapsed, double unixTime) const;

private:
    double m_lat0, m_lon0, m_heading, m_speed, m_lossEvery, m_lossFor;
};

// Whole degrees followed by minutes with four decimals, the way the sentences
// carry a coordinate: 48.1173 -> degrees 48, minutes 7.0380.
void SplitNmeaDegrees(double absDegrees, int& whole, double& minutes);
// The value a listener decodes from that text (degrees + minutes / 60), unsigned.
double RoundToNmeaMinutes(double absDegrees);
