// The crew's command path without a socket: what the current utility becomes
// after each command (type, colour, method, quality level, segment), row by row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ConfigFile.h"
#include "app/CrewCommands.h"

namespace {

struct STEP {
    std::vector<std::string> words;
    int status;
    // The current utility after it: "type id colour method level segment".
    const char* current;
};

std::string Describe(const UTILITY_TAG& u)
{
    return u.type + " " + u.id + " " + u.colour + " " + u.method + " " + u.qualityLevel + " " +
           std::to_string(u.segment);
}

struct CrewCase {
    const char* name;
    const char* colours; // LOG#COLOURS
    std::vector<STEP> steps;
};

class CrewCommands : public ::testing::TestWithParam<CrewCase> {};

TEST_P(CrewCommands, CurrentUtilityAfterEachCommand)
{
    const CrewCase& c = GetParam();
    GetConfig().ResetToDefaults();
    GetConfig().m_strColours = c.colours;
    CCrewActions& actions = CCrewActions::Get();
    actions.Reset();
    for (const STEP& step : c.steps) {
        const CREW_REPLY reply = actions.Run(step.words, nullptr);
        EXPECT_EQ(reply.status, step.status) << step.words[0] << ": " << reply.text;
        EXPECT_EQ(Describe(actions.Current()), step.current) << step.words[0];
    }
    actions.Reset();
    GetConfig().ResetToDefaults();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CrewCommands,
    ::testing::Values(
        CrewCase{"LevelFollowsTheMethodUnlessSet",
                 "APWA",
                 {{{"utility", "Electric", "--id", "F12"}, 0, "electric F12 red active B 1"},
                  {{"utility", "gas", "--method", "exposed"}, 0, "gas  yellow exposed A 1"},
                  {{"utility", "gas", "--method", "passive-radio", "--level", "c"}, 0,
                   "gas  yellow passive radio C 1"},
                  {{"utility", "water", "--method", "sonde", "--level", "Q"}, 2, "gas  yellow passive radio C 1"}}},
        CrewCase{"SegmentsCountPerUtilityAndGoOnWhenItComesBack",
                 "APWA",
                 {{{"segment"}, 1, "     0"},
                  {{"utility", "sewer", "--id", "S1"}, 0, "sewer S1 green active B 1"},
                  {{"segment"}, 0, "sewer S1 green active B 2"},
                  {{"utility", "water", "--id", "W1"}, 0, "water W1 blue active B 1"},
                  {{"utility", "sewer", "--id", "S1"}, 0, "sewer S1 green active B 2"},
                  {{"segment"}, 0, "sewer S1 green active B 3"},
                  {{"utility", "sewer", "--id", "S2"}, 0, "sewer S2 green active B 1"}}},
        CrewCase{"TheUkTableGivesItsOwnTypesAndColours",
                 "UK",
                 {{{"utility", "electric"}, 0, "electric  black active B 1"},
                  {{"utility", "cabletv"}, 0, "cabletv  green active B 1"},
                  {{"utility", "reclaimed"}, 2, "cabletv  green active B 1"}}}),
    [](const ::testing::TestParamInfo<CrewCase>& info) { return info.param.name; });

} // namespace
