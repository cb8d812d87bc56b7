#include "app/StatusBanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string Metres(double metres)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f m", metres);
    return text;
}

std::string Points(size_t count)
{
    return std::to_string(count) + (count == 1 ? " point" : " points");
}

// A port hint arrives as "GPS port: COM7 is not ...": the banner says the
// device's name itself.
std::string WithoutPrefix(const std::string& hint, const char* prefix)
{
    const size_t length = std::strlen(prefix);
    return hint.compare(0, length, prefix) == 0 ? hint.substr(length) : hint;
}

} // namespace

std::string GateShortfall(const GPS_QUALITY& quality, const QUALITY_GATE& gate)
{
    const char* fixType = quality.Has(QUALITY_FIX_TYPE) ? FixTypeText(quality.nFixType) : nullptr;
    std::string text = "below " + GateText(gate) + ": " + (fixType != nullptr ? fixType : "unknown fix") + ", ";
    text += quality.Has(QUALITY_H_ACCURACY) ? Metres(quality.dfHAccuracy) : "no accuracy";
    return text;
}

bool CorrectionsReachReceiver(const BANNER_STATE& s)
{
    return s.bCorrectionsStreaming && s.hints.gps.empty() && (s.bGpsLampGreen || s.bHaveFix);
}

std::vector<BANNER_LINE> BannerLines(const BANNER_STATE& s)
{
    std::vector<BANNER_LINE> lines;
    auto add = [&lines](BannerLevel level, std::string text, std::string detail) {
        lines.push_back({level, std::move(text), std::move(detail)});
    };
    const std::string gpsName = s.nGpsPort == 0 ? "gpsd " + s.gpsd : PortName(s.nGpsPort);
    const std::string locatorName = PortName(s.nBluetoothPort);

    // The survey log first: points not on disk are the one thing that can be lost.
    if (s.nSaveError != 0) {
        add(BannerLevel::Alarm,
            "Log NOT saved: " + std::to_string(s.nOnDisk) + " of " + std::to_string(s.nOnDisk + s.nHeld) +
                " points on disk, " + std::to_string(s.nHeld) + " held in memory only",
            "The survey log " + s.logPath + " cannot be written (" + strerrordesc_np(s.nSaveError) +
                "). The points in memory are written as soon as it can be: free space on the disk or make the "
                "folder writable. Do not end fieldbook before this line is gone, or the points held are lost.");
    } else if (s.bSaveRecovered) {
        add(BannerLevel::Info, "Log saved again: all " + Points(s.nOnDisk) + " on disk",
            "The survey log " + s.logPath + " holds every point again.");
    }

    if (s.bStopping) {
        add(BannerLevel::Info, "Transfer stopping: closing the ports", "The lamps turn red once the ports are closed.");
    } else if (!s.bRunning) {
        add(BannerLevel::Info, "Transfer stopped: lamps are red because the ports are closed; tap Transfer to start",
            "Nothing is wrong: while the transfer is stopped no port is open and no point is logged. Settings can "
            "change the ports now.");
    }

    if (s.bRunning) {
        if (!s.hints.bluetooth.empty())
            add(BannerLevel::Alarm, "Locator: " + WithoutPrefix(s.hints.bluetooth, "Locator port: "),
                "Plug in or pair the locator, or choose its port in Settings. fieldbook tries the port again "
                "every second.");
        else if (!s.bBluetoothLampGreen)
            add(BannerLevel::Warning, "Locator: waiting for the locator on " + locatorName,
                "The port " + locatorName + " is there but the locator is not connected: switch it on, or check "
                "the Bluetooth pairing.");
        if (!s.hints.gps.empty())
            add(BannerLevel::Alarm, "GPS: " + WithoutPrefix(s.hints.gps, "GPS port: "),
                "Plug in the GPS receiver, or choose its port in Settings. fieldbook tries the port again every "
                "second.");
        else if (!s.bGpsLampGreen && !s.bHaveFix)
            add(BannerLevel::Warning, "GPS: no position yet from " + gpsName,
                "The receiver on " + gpsName + " has not sent a position: check its cable and that it sees the sky. "
                "Points logged meanwhile have no position.");
        else if (s.bHaveFix && LampAmber(s.quality, s.gate))
            add(BannerLevel::Warning, "GPS " + GateShortfall(s.quality, s.gate),
                "The receiver's fix does not meet the quality gate set in Settings. Points are still logged but "
                "marked (hollow on the track).");
    }

    if (s.gate.IsSet()) {
        if (!s.belowGate.empty())
            add(BannerLevel::Warning,
                "Gate " + GateText(s.gate) + ": point " + std::to_string(s.nBelowGatePoint) + " " + s.belowGate,
                "The last point did not meet the quality gate. It is logged and drawn hollow on the track; measure "
                "it again once the fix is good.");
        else
            add(BannerLevel::Info, "Gate: points need " + GateText(s.gate),
                "Points below the gate are logged, marked and drawn hollow on the track.");
    }

    if (s.bCorrectionsSet && s.bRunning) {
        const bool receiverThere = CorrectionsReachReceiver(s) || !s.bCorrectionsStreaming;
        if (!s.bCorrectionsSpoke)
            add(BannerLevel::Warning, "Corrections: connecting to the caster", "RTK corrections are set in Settings.");
        else if (s.bCorrectionsStreaming && !receiverThere)
            add(BannerLevel::Warning, "Corrections: received, but the GPS receiver is not connected",
                "The caster sends corrections, but they reach no receiver until " + gpsName + " is back.");
        else
            add(s.bCorrectionsStreaming ? BannerLevel::Info : BannerLevel::Warning,
                "Corrections: " + s.correctionsLine, "RTK corrections from the caster set in Settings.");
    }

    std::stable_sort(lines.begin(), lines.end(),
                     [](const BANNER_LINE& a, const BANNER_LINE& b) { return a.level > b.level; });
    return lines;
}
