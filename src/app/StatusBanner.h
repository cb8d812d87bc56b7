// The status banner: in plain words, everything a crew must see without a
// tooltip (a touch screen shows none): why each lamp that is not green is not,
// what stands between a port and its device, a failing save with the counts the
// disk really holds, the corrections, the quality gate and why the last point
// failed it. One line per matter, worst first; the window draws the lines and
// shows a line's detail when it is tapped, the headless face could print them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/PortList.h"
#include "gps/GpsQuality.h"
#include "point/QualityGate.h"

// What the banner is made from: plain values the view and the frame gather on
// the user-interface thread.
struct BANNER_STATE {
    bool bRunning = false;
    bool bStopping = false;
    int nGpsPort = 0;        // 0: from gpsd
    std::string gpsd;        // the gpsd address when nGpsPort is 0
    int nBluetoothPort = 0;
    PORT_HINTS hints;
    bool bGpsLampGreen = false;
    bool bBluetoothLampGreen = false;
    bool bHaveFix = false;   // a current fix (the lamp's text)
    GPS_QUALITY quality;     // of that fix
    QUALITY_GATE gate;
    // The last point the gate turned down and why ("" for none since the
    // last one that passed).
    size_t nBelowGatePoint = 0;
    std::string belowGate;
    // The survey log: the last save's error (0 worked), its path, and how many
    // points the file holds and how many only memory holds.
    int nSaveError = 0;
    std::string logPath;
    size_t nOnDisk = 0;
    size_t nHeld = 0;
    bool bSaveRecovered = false; // saves work again after failing: told once
    // The RTK corrections: set in Settings, and what the client last said.
    bool bCorrectionsSet = false;
    bool bCorrectionsSpoke = false;
    bool bCorrectionsStreaming = false;
    std::string correctionsLine;
};

enum class BannerLevel { Info = 0, Warning = 1, Alarm = 2 };

struct BANNER_LINE {
    BannerLevel level = BannerLevel::Info;
    std::string text;   // one line, short enough for the banner
    std::string detail; // what to do about it, shown when the line is tapped
    bool operator==(const BANNER_LINE&) const = default;
};

// Why a point fell below the gate: "below RTK fixed: RTK float, 0.21 m".
std::string GateShortfall(const GPS_QUALITY& quality, const QUALITY_GATE& gate);

// The corrections lamp is green only while the caster streams and the
// receiver they are for is there to take them.
bool CorrectionsReachReceiver(const BANNER_STATE& state);

// The banner's lines, alarms first; empty when every lamp is green and there
// is nothing to say.
std::vector<BANNER_LINE> BannerLines(const BANNER_STATE& state);
