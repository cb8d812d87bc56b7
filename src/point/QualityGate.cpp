#include "point/QualityGate.h"

#include <charconv>
#include <cstdio>
#include <strings.h>

namespace {

// SBAS corrects the position with a satellite-broadcast differential
// correction: a differential fix, like DGPS, and no more than one.
bool FixTypeMeets(int32_t fixType, int32_t require)
{
    switch (require) {
    case REQUIRE_NONE: return true;
    case REQUIRE_ANY: return (fixType >= FIX_AUTONOMOUS && fixType <= FIX_RTK_FLOAT) || fixType == FIX_SBAS;
    case REQUIRE_DGPS: return (fixType >= FIX_DGPS && fixType <= FIX_RTK_FLOAT) || fixType == FIX_SBAS;
    case REQUIRE_FLOAT: return fixType == FIX_RTK_FIXED || fixType == FIX_RTK_FLOAT;
    case REQUIRE_RTK: return fixType == FIX_RTK_FIXED;
    default: return false;
    }
}

const char* RequireWords(int32_t require)
{
    switch (require) {
    case REQUIRE_ANY: return "a fix";
    case REQUIRE_DGPS: return "DGPS";
    case REQUIRE_FLOAT: return "RTK float";
    case REQUIRE_RTK: return "RTK fixed";
    default: return "";
    }
}

// Centimetres are what a crew reads off an RTK rover; the accuracy is an
// estimate, so more digits would claim what it does not know.
std::string Metres(double metres)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f m", metres);
    return text;
}

// The figure the gate compares is the DRMS (about 63-68 %), not the 95 % a
// client's contract usually asks for: the words say which.
std::string Drms(double metres)
{
    return Metres(metres) + " DRMS";
}

} // namespace

bool MeetsGate(const GPS_QUALITY& quality, const QUALITY_GATE& gate)
{
    if (gate.nRequire != REQUIRE_NONE &&
        (!quality.Has(QUALITY_FIX_TYPE) || !FixTypeMeets(quality.nFixType, gate.nRequire)))
        return false;
    if (gate.dfMaxHAccuracy > 0.0 &&
        (!quality.Has(QUALITY_H_ACCURACY) || !(quality.dfHAccuracy <= gate.dfMaxHAccuracy)))
        return false;
    return true;
}

bool ApplyGate(GPS_QUALITY& quality, const QUALITY_GATE& gate)
{
    if (!gate.IsSet())
        return true;
    quality.bQualityOK = MeetsGate(quality, gate);
    quality.u32Present |= QUALITY_CHECKED;
    return quality.bQualityOK;
}

std::string GateText(const QUALITY_GATE& gate)
{
    std::string text = RequireWords(gate.nRequire);
    if (gate.dfMaxHAccuracy > 0.0)
        text += (text.empty() ? "" : " and ") + Drms(gate.dfMaxHAccuracy);
    return text;
}

std::string GateWarning(size_t pointNumber, const GPS_QUALITY& quality, const QUALITY_GATE& gate)
{
    const char* fixType = quality.Has(QUALITY_FIX_TYPE) ? FixTypeText(quality.nFixType) : nullptr;
    std::string text = "GPS: point " + std::to_string(pointNumber) + " below " + GateText(gate) + " (" +
                       (fixType != nullptr ? fixType : "unknown fix") + ", ";
    text += quality.Has(QUALITY_H_ACCURACY) ? Drms(quality.dfHAccuracy) : "no accuracy";
    return text + ")";
}

const char* RequireToText(int32_t require)
{
    switch (require) {
    case REQUIRE_ANY: return "ANY";
    case REQUIRE_DGPS: return "DGPS";
    case REQUIRE_FLOAT: return "FLOAT";
    case REQUIRE_RTK: return "RTK";
    default: return "NONE";
    }
}

bool TextToRequire(std::string_view text, int32_t& require)
{
    for (int32_t r = REQUIRE_NONE; r <= REQUIRE_RTK; ++r) {
        const std::string_view word = RequireToText(r);
        if (text.size() == word.size() && ::strncasecmp(text.data(), word.data(), word.size()) == 0) {
            require = r;
            return true;
        }
    }
    return false;
}

bool TextToMaxHAccuracy(std::string_view text, double& metres)
{
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0.0 && value <= 1000.0))
        return false;
    metres = value;
    return true;
}

std::string MaxHAccuracyToText(double metres)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, metres);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

std::string LampText(const GPS_QUALITY& quality)
{
    if (!quality.Has(QUALITY_FIX_TYPE))
        return "GPS";
    std::string text = FixTypeShortText(quality.nFixType);
    if (quality.nFixType == FIX_NONE)
        return text;
    if (quality.Has(QUALITY_H_ACCURACY))
        text += " " + Metres(quality.dfHAccuracy);
    if (quality.Has(QUALITY_CORRECTION_AGE)) {
        char age[32];
        std::snprintf(age, sizeof age, ", age %.0f s", quality.dfCorrectionAge);
        text += age;
    }
    return text;
}

bool LampAmber(const GPS_QUALITY& quality, const QUALITY_GATE& gate)
{
    return gate.IsSet() && quality.Has(QUALITY_FIX_TYPE) && quality.nFixType != FIX_NONE && !MeetsGate(quality, gate);
}
