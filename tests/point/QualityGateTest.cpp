#include "point/QualityGate.h"
#include "point/Accuracy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

GPS_QUALITY Quality(int32_t fixType, double hAccuracy = -1.0, double age = -1.0)
{
    GPS_QUALITY q;
    q.u32Present = QUALITY_FIX_TYPE;
    q.nFixType = fixType;
    if (hAccuracy >= 0.0) {
        q.u32Present |= QUALITY_H_ACCURACY;
        q.dfHAccuracy = hAccuracy;
    }
    if (age >= 0.0) {
        q.u32Present |= QUALITY_CORRECTION_AGE;
        q.dfCorrectionAge = age;
    }
    return q;
}

struct GateCase {
    const char* name;
    QUALITY_GATE gate;
    GPS_QUALITY quality;
    bool meets;
    const char* warning; // for point 17 when below; lamp amber likewise
};

class Gates : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gates, JudgeAndWord)
{
    const GateCase& c = GetParam();
    EXPECT_EQ(MeetsGate(c.quality, c.gate), c.meets);
    GPS_QUALITY marked = c.quality;
    EXPECT_EQ(ApplyGate(marked, c.gate), c.meets);
    EXPECT_EQ(marked.Has(QUALITY_CHECKED), c.gate.IsSet());
    EXPECT_EQ(BelowGate(marked), !c.meets);
    EXPECT_EQ(LampAmber(c.quality, c.gate), !c.meets && c.quality.nFixType != FIX_NONE);
    EXPECT_EQ(c.meets ? std::string() : GateWarning(17, c.quality, c.gate), c.warning);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Gates,
    ::testing::Values(
        GateCase{"no_gate_takes_no_fix", {}, Quality(FIX_NONE), true, ""},
        GateCase{"rtk_takes_fixed", {REQUIRE_RTK, 0.0}, Quality(FIX_RTK_FIXED, 0.02), true, ""},
        GateCase{"rtk_refuses_float", {REQUIRE_RTK, 0.0}, Quality(FIX_RTK_FLOAT, 0.214), false,
                 "GPS: point 17 below RTK fixed (RTK float, 0.21 m DRMS)"},
        GateCase{"float_takes_fixed", {REQUIRE_FLOAT, 0.0}, Quality(FIX_RTK_FIXED), true, ""},
        GateCase{"float_refuses_dgps", {REQUIRE_FLOAT, 0.0}, Quality(FIX_DGPS), false,
                 "GPS: point 17 below RTK float (DGPS, no accuracy)"},
        GateCase{"dgps_takes_pps", {REQUIRE_DGPS, 0.0}, Quality(FIX_PPS), true, ""},
        // SBAS is a differential fix: DGPS takes it, RTK does not.
        GateCase{"dgps_takes_sbas", {REQUIRE_DGPS, 0.0}, Quality(FIX_SBAS), true, ""},
        GateCase{"any_takes_sbas", {REQUIRE_ANY, 0.0}, Quality(FIX_SBAS), true, ""},
        GateCase{"float_refuses_sbas", {REQUIRE_FLOAT, 0.0}, Quality(FIX_SBAS, 0.9), false,
                 "GPS: point 17 below RTK float (SBAS, 0.90 m DRMS)"},
        GateCase{"dgps_refuses_autonomous", {REQUIRE_DGPS, 0.0}, Quality(FIX_AUTONOMOUS, 3.0), false,
                 "GPS: point 17 below DGPS (autonomous, 3.00 m DRMS)"},
        GateCase{"any_refuses_estimated", {REQUIRE_ANY, 0.0}, Quality(FIX_ESTIMATED), false,
                 "GPS: point 17 below a fix (estimated, no accuracy)"},
        GateCase{"any_refuses_no_fix", {REQUIRE_ANY, 0.0}, Quality(FIX_NONE), false,
                 "GPS: point 17 below a fix (no fix, no accuracy)"},
        GateCase{"unknown_fix_type", {REQUIRE_ANY, 0.0}, GPS_QUALITY{}, false,
                 "GPS: point 17 below a fix (unknown fix, no accuracy)"},
        GateCase{"accuracy_at_the_limit", {REQUIRE_NONE, 0.05}, Quality(FIX_AUTONOMOUS, 0.05), true, ""},
        GateCase{"accuracy_over_the_limit", {REQUIRE_RTK, 0.05}, Quality(FIX_RTK_FIXED, 0.051), false,
                 "GPS: point 17 below RTK fixed and 0.05 m DRMS (RTK fixed, 0.05 m DRMS)"},
        // Nothing proves a point without an accuracy good enough.
        GateCase{"accuracy_absent", {REQUIRE_NONE, 1.0}, Quality(FIX_RTK_FIXED), false,
                 "GPS: point 17 below 1.00 m DRMS (RTK fixed, no accuracy)"}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

TEST(GpsLamp, SaysFixTypeAccuracyAndCorrectionAge)
{
    EXPECT_EQ(LampText(Quality(FIX_RTK_FIXED, 0.0198, 3.2)), "RTK fixed 0.02 m, age 3 s");
    EXPECT_EQ(LampText(Quality(FIX_RTK_FLOAT, 0.3)), "RTK float 0.30 m");
    EXPECT_EQ(LampText(Quality(FIX_DGPS, -1.0, 12.0)), "DGPS, age 12 s");
    EXPECT_EQ(LampText(Quality(FIX_AUTONOMOUS, 4.1)), "GPS 4.10 m");
    EXPECT_EQ(LampText(Quality(FIX_SBAS, 1.2)), "SBAS 1.20 m");
    EXPECT_EQ(LampText(Quality(FIX_NONE, 4.1)), "no fix");
}

// NSSDA figures worked by hand: DRMS 0.05 m x 1.7308 = 0.08654 m; a vertical
// sigma of 0.08 m x 1.96 = 0.1568 m.
TEST(Accuracy95, NssdaFactorsAndAbsence)
{
    GPS_QUALITY q = Quality(FIX_RTK_FIXED, 0.05);
    q.u32Present |= QUALITY_V_ACCURACY;
    q.dfVAccuracy = 0.08;
    ASSERT_TRUE(HAccuracy95(q).has_value());
    EXPECT_NEAR(*HAccuracy95(q), 0.08654, 1e-12);
    ASSERT_TRUE(VAccuracy95(q).has_value());
    EXPECT_NEAR(*VAccuracy95(q), 0.1568, 1e-12);

    const struct {
        const char* name;
        uint32_t present;
        double h, v;
    } absent[] = {
        {"no GST", QUALITY_FIX_TYPE, 0.05, 0.08},
        {"NaN", QUALITY_H_ACCURACY | QUALITY_V_ACCURACY, NAN, NAN},
        {"negative", QUALITY_H_ACCURACY | QUALITY_V_ACCURACY, -0.1, -0.1},
    };
    for (const auto& c : absent) {
        GPS_QUALITY a;
        a.u32Present = c.present;
        a.dfHAccuracy = c.h;
        a.dfVAccuracy = c.v;
        EXPECT_FALSE(HAccuracy95(a).has_value()) << c.name;
        EXPECT_FALSE(VAccuracy95(a).has_value()) << c.name;
    }
}

} // namespace
