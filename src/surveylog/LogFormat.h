// The survey log's text: a comma-separated file with a header line, a units line
// and one 43-column data line per survey point, oldest first. Fields are never
// quoted; every line ends in a single line feed. Dates and times are printed
// without leading zeros (5/3/2016, 9:5:0) whatever the units line says.
#pragma once

#include <cstddef>

#include "gps/GeoDistance.h"
#include "link/SurveyPoint.h"

// Both heading lines have 43 fields, like every data line.
inline constexpr char kLogHeaderLine[] =
    "Log,Mode,Distance,Depth,Locate,Phase,Signal,Strength,Gain,Frequency,Protocol,Compass,Arrows,Antenna,"
    "Accessory,Sonde/Line,Battery,Volume,Overload,GPSMode,MarkerType,MarkerDepth,MarkerSignal,MarkerGain,"
    "RTCDate,RTC_UTC,RTCUpdated,GPSDate,GPS_UTC,LatAng,LatDir,LongAng,LongDir,GpsFix,NoSats,HorizDil,AltVal,"
    "AltUnits,GeoidVal,GeoidUnits,DgpsTime,DgpsId,TimeInd\n";

inline constexpr char kLogUnitsLine[] =
    ",,(m),(cm),(mA),(degrees),(dBuV),(Percent),(dB),Hz,,(degrees),,,,,,,,,,(m),(dB),,(DD/MM/YYYY),"
    "(hh:mm:ss),,(DD/MM/YYYY),(hhmmss.ss),(degrees),,(degrees),,,,,,,,,(seconds),,\n";

constexpr int kLogColumns = 43;

// Room for the longest data line the formats can produce: five "%f" doubles near
// 1e308 take over 300 characters each, so a line can pass 2000 characters.
constexpr size_t kLogLineSize = 4096;

// Stored logs are read back with a buffer of this size: at most 1999 characters
// per read, the rest of a longer line coming in as a line of its own.
constexpr size_t kLogReadBufferSize = 2000;

// The Distance column: the track length in metres summed leg by leg between
// successive points that have a fix, carried from line to line as a 32-bit float
// because the stored logs were summed that way. A point without a fix prints 0.0
// and restarts the sum; the next fixed point adds its leg from the last fixed
// point to that 0.0.
class CTrackDistance {
public:
    // Distance to print on the line of point, which follows every point already
    // passed to Next.
    float Next(const SURVEY_POINT& point);
    void Reset();

private:
    CGeoDistance m_geo;
    bool m_bStarted = false;
    // Only what the legs need of the reference point (the last fixed point, or
    // the first point of the log until a leg has been measured).
    bool m_bRefFix = false;
    double m_dfRefLat = 0.0;
    double m_dfRefLong = 0.0;
    float m_fRunning = 0.0f;
};

// Prints the data line of point (line feed included) into line; returns its
// length. size should be kLogLineSize; a smaller buffer cuts the line short
// (always NUL-terminated) and the length returned is what fits.
size_t FormatLogLine(const SURVEY_POINT& point, float fDistance, char* line, size_t size);

// Reads one data line back. Tokens are cut at every comma and line feed, a run of
// separators counting as one, so an empty field shifts the later columns left.
// False (point untouched) when fewer than 43 tokens are found; tokens after the
// 43rd are ignored. Fields that no column carries come back as 0.
bool ReadLogLine(const char* line, SURVEY_POINT& point);
