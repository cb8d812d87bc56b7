// Command line of fieldbook-sim.
#pragma once

#include <cstdint>
#include <string>

#include "PacketBuilder.h"
#include "QualityPlan.h"

struct SIM_OPTIONS {
    std::string portsDir;
    int nGpsPort = 4;
    int nBluetoothPort = 5;
    bool bGps = true;
    bool bLocator = true;

    // GPS receiver
    double dfRateHz = 1.0;
    double dfStartLat = 48.1173;
    double dfStartLon = 11.516667;
    double dfHeading = 45.0;   // degrees from north
    double dfSpeed = 1.4;      // m/s
    double dfFixLossEvery = 0.0;
    double dfFixLossFor = 0.0;
    std::string talker = "GP";
    bool bAnyTalker = false;   // the listener reads every talker (GPS#TALKER#ANY)
    bool bLfOnly = false;      // lines end with LF alone
    double dfSilentAfter = 0.0; // 0: never; else the receiver falls silent then
    uint32_t dwSentences = 0;  // NMEA_* bits; 0 until parsed
    QUALITY_PLAN qualityPlan;  // empty: an autonomous fix throughout
    std::string recordGpsInput; // "": what fieldbook writes to the receiver is dropped

    // Locator
    PACKET_SPEC packet;        // command, protocol, GPS mode, log mode, frequency
    double dfInterval = 1.0;
    long nCount = -1;          // -1: no limit
    double dfDuration = 0.0;   // 0: no limit
    std::string scriptPath;
    bool bMix = false;
    long nCorruptEvery = 0;
    double dfReplyTimeout = 2.0;
    double dfOpenTimeout = 30.0;
    double dfStartDelay = 0.5;
    bool bTolerateUnanswered = false;
    std::string logPath;
    double dfDropAfter = 0.0;  // 0: the Bluetooth device never vanishes
    double dfDropPause = 2.0;
    long nDropTimes = 1;
    uint32_t u32Seed = 1;

    bool bVerbose = false;
    bool bQuiet = false;
};

enum class PARSE_RESULT { Run, Help, Version, Error };

// error is one line without the program name.
PARSE_RESULT ParseSimOptions(int argc, const char* const* argv, SIM_OPTIONS& options, std::string& error);

const char* SimUsageText();
