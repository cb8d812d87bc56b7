#include "gps/GpsQuality.h"

namespace {

constexpr const char* kFixTypes[] = {"no fix",    "autonomous", "DGPS",   "PPS",      "RTK fixed",
                                     "RTK float", "estimated",  "manual", "simulated", "SBAS"};

bool IsDifferential(uint32_t fixQuality)
{
    return fixQuality == FIX_DGPS || fixQuality == FIX_RTK_FIXED || fixQuality == FIX_RTK_FLOAT ||
           fixQuality == FIX_SBAS;
}

} // namespace

const char* FixTypeText(int32_t fixType)
{
    if (fixType < 0 || fixType >= static_cast<int32_t>(sizeof kFixTypes / sizeof kFixTypes[0]))
        return nullptr;
    return kFixTypes[fixType];
}

const char* PositionSourceText(int32_t source)
{
    switch (source) {
    case SOURCE_LOCATOR: return "locator";
    case SOURCE_RECEIVER: return "receiver";
    case SOURCE_GPSD: return "gpsd";
    default: return nullptr;
    }
}

const char* FixTypeShortText(int32_t fixType)
{
    switch (fixType) {
    case FIX_NONE: return "no fix";
    case FIX_RTK_FIXED: return "RTK fixed";
    case FIX_RTK_FLOAT: return "RTK float";
    case FIX_DGPS: return "DGPS";
    case FIX_SBAS: return "SBAS";
    default: return "GPS";
    }
}

GPS_QUALITY QualityFromLocatorBlock(uint32_t fixQuality, uint32_t correctionAge, uint32_t station)
{
    GPS_QUALITY quality;
    quality.nSource = SOURCE_LOCATOR;
    if (fixQuality <= FIX_SBAS) {
        quality.u32Present |= QUALITY_FIX_TYPE;
        quality.nFixType = static_cast<int32_t>(fixQuality);
    }
    // The block has no empty field: an age and station of an undifferenced fix
    // are the zeros of a field the receiver left out.
    if (IsDifferential(fixQuality)) {
        quality.u32Present |= QUALITY_CORRECTION_AGE | QUALITY_STATION;
        quality.dfCorrectionAge = static_cast<double>(correctionAge);
        quality.u32Station = station;
    }
    return quality;
}
