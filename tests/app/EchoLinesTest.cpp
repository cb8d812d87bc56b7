#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/EchoLines.h"

namespace {

struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines; // all the chunks gave, in order
    std::string pending;            // still waiting at the end
};

class EchoLinesTest : public ::testing::TestWithParam<Case> {};

TEST_P(EchoLinesTest, ChunksToLines)
{
    CEchoLines echo;
    std::vector<std::string> lines;
    for (const std::string& chunk : GetParam().chunks)
        for (std::string& line : echo.Take(chunk))
            lines.push_back(std::move(line));
    EXPECT_EQ(lines, GetParam().lines);
    EXPECT_EQ(echo.Flush(), GetParam().pending);
}

const Case kCases[] = {
    {"SentenceInThreeReads", {"$GPGGA,1", "23519,48", "07.038,N*47\r\n"}, {"$GPGGA,123519,4807.038,N*47"}, ""},
    {"CrAndLfInTwoReads", {"$GPZDA,1*00\r", "\n$GPGGA,2*00\r\n"}, {"$GPZDA,1*00", "$GPGGA,2*00"}, ""},
    {"TwoSentencesAndABegunOne", {"$A*00\r\n$B*00\r\n$GPG"}, {"$A*00", "$B*00"}, "$GPG"},
    {"FrameBetweenPiecesIsHexAndWhole",
     {"$GPZ", std::string("\x7E\x01\x00\xFF", 4), "DA*00\r\n"},
     {"7E 01 00 FF", "$GPZDA*00"},
     ""},
    {"TextWithoutASentenceStartIsOneLinePerChunk", {"B0:BBB", "G0:GGG"}, {"B0:BBB", "G0:GGG"}, ""},
    {"BegunSentenceNeverEndingIsShownOnceTooLong",
     {"$" + std::string(200, 'X'), std::string(100, 'Y')},
     {"$" + std::string(200, 'X') + std::string(100, 'Y')},
     ""},
};

INSTANTIATE_TEST_SUITE_P(Echo, EchoLinesTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
