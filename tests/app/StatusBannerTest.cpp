#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/StatusBanner.h"

namespace {

// A running survey with both lamps green and nothing to say.
BANNER_STATE AllGreen()
{
    BANNER_STATE s;
    s.bRunning = true;
    s.nGpsPort = 4;
    s.nBluetoothPort = 5;
    s.bGpsLampGreen = true;
    s.bBluetoothLampGreen = true;
    s.bHaveFix = true;
    s.quality.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY;
    s.quality.nFixType = FIX_RTK_FIXED;
    s.quality.dfHAccuracy = 0.02;
    s.logPath = "/logs/0612143005.txt";
    return s;
}

struct Case {
    const char* name;
    std::function<void(BANNER_STATE&)> change;
    // The banner's lines (text and level), worst first.
    std::vector<std::pair<std::string, BannerLevel>> lines;
};

class StatusBannerTest : public ::testing::TestWithParam<Case> {};

TEST_P(StatusBannerTest, LinesInWords)
{
    BANNER_STATE state = AllGreen();
    GetParam().change(state);
    std::vector<std::pair<std::string, BannerLevel>> got;
    for (const BANNER_LINE& line : BannerLines(state)) {
        got.emplace_back(line.text, line.level);
        EXPECT_FALSE(line.detail.empty()) << line.text;
    }
    EXPECT_EQ(got, GetParam().lines);
}

const Case kCases[] = {
    {"AllGreen", [](BANNER_STATE&) {}, {}},
    {"Stopped",
     [](BANNER_STATE& s) { s.bRunning = s.bGpsLampGreen = s.bBluetoothLampGreen = s.bHaveFix = false; },
     {{"Transfer stopped: lamps are red because the ports are closed; tap Transfer to start", BannerLevel::Info}}},
    {"UnpluggedLocator",
     [](BANNER_STATE& s) {
         s.bBluetoothLampGreen = false;
         s.hints.bluetooth = "Locator port: COM5 points at /dev/rfcomm0, which does not exist";
     },
     {{"Locator: COM5 points at /dev/rfcomm0, which does not exist", BannerLevel::Alarm}}},
    {"LocatorNotConnected", [](BANNER_STATE& s) { s.bBluetoothLampGreen = false; },
     {{"Locator: waiting for the locator on COM5", BannerLevel::Warning}}},
    {"NoFixFromGpsd",
     [](BANNER_STATE& s) {
         s.nGpsPort = 0;
         s.gpsd = "localhost:2947";
         s.bGpsLampGreen = s.bHaveFix = false;
     },
     {{"GPS: no position yet from gpsd localhost:2947", BannerLevel::Warning}}},
    {"FixBelowGateAndLastPointFailedIt",
     [](BANNER_STATE& s) {
         s.gate.nRequire = REQUIRE_RTK;
         s.quality.nFixType = FIX_RTK_FLOAT;
         s.quality.dfHAccuracy = 0.21;
         s.nBelowGatePoint = 12;
         s.belowGate = GateShortfall(s.quality, s.gate);
     },
     {{"GPS below RTK fixed: RTK float, 0.21 m", BannerLevel::Warning},
      {"Gate RTK fixed: point 12 below RTK fixed: RTK float, 0.21 m", BannerLevel::Warning}}},
    {"SaveFailingWithTheRealCounts",
     [](BANNER_STATE& s) {
         s.nSaveError = 13;
         s.nOnDisk = 8;
         s.nHeld = 4;
     },
     {{"Log NOT saved: 8 of 12 points on disk, 4 held in memory only", BannerLevel::Alarm}}},
    {"SavesWorkAgain",
     [](BANNER_STATE& s) {
         s.bSaveRecovered = true;
         s.nOnDisk = 12;
     },
     {{"Log saved again: all 12 points on disk", BannerLevel::Info}}},
    // The caster streams, but nothing reaches an unplugged receiver: not green.
    {"CorrectionsWithoutReceiver",
     [](BANNER_STATE& s) {
         s.bCorrectionsSet = s.bCorrectionsSpoke = s.bCorrectionsStreaming = true;
         s.correctionsLine = "streaming RTCM3 from caster.example";
         s.bGpsLampGreen = s.bHaveFix = false;
         s.hints.gps = "GPS port: COM4 is not in the ports folder /p/";
     },
     {{"GPS: COM4 is not in the ports folder /p/", BannerLevel::Alarm},
      {"Corrections: received, but the GPS receiver is not connected", BannerLevel::Warning}}},
    {"CorrectionsStreaming",
     [](BANNER_STATE& s) {
         s.bCorrectionsSet = s.bCorrectionsSpoke = s.bCorrectionsStreaming = true;
         s.correctionsLine = "streaming RTCM3 from caster.example";
     },
     {{"Corrections: streaming RTCM3 from caster.example", BannerLevel::Info}}},
};

INSTANTIATE_TEST_SUITE_P(States, StatusBannerTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
