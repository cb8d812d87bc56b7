#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gps/GpsDecoder.h"
#include "point/QualityGate.h"
#include "platform/Folders.h"
#include "support/NmeaStream.h"
#include "support/ScratchDir.h"

using namespace std::string_literals;

namespace {

// The textbook fix: 48 07.038 N, 011 31.000 E, GPS fix, 8 satellites.
const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kZda = "$GPZDA,201530.00,04,07,2002,00,00*60\r\n";

GPS_FIX TextbookFix()
{
    GPS_FIX fix;
    fix.dfUTC = 123519.0;
    fix.dfLatAng = 48.1173;
    fix.nLatDir = DIR_NORTH;
    fix.dfLongAng = 11.516666666666667;
    fix.nLongDir = DIR_EAST;
    fix.nGpsFix = 1;
    fix.nNoSats = 8;
    fix.dfHorizDil = 0.9;
    fix.dfAltVal = 545.4;
    fix.nAltUnits = UNITS_METRES;
    fix.dfGeoidVal = 46.9;
    fix.nGeoidUnits = UNITS_METRES;
    return fix;
}

ZDA_DATA TextbookZda()
{
    ZDA_DATA zda;
    zda.dfUTC = 201530.0;
    zda.nHour = 20;
    zda.nMinute = 15;
    zda.nSecond = 30;
    zda.nDay = 4;
    zda.nMonth = 7;
    zda.nYear = 2002;
    return zda;
}

void ExpectFix(const GPS_FIX& actual, const GPS_FIX& expected)
{
    EXPECT_NEAR(actual.dfUTC, expected.dfUTC, 1e-9);
    EXPECT_NEAR(actual.dfLatAng, expected.dfLatAng, 1e-9);
    EXPECT_EQ(actual.nLatDir, expected.nLatDir);
    EXPECT_NEAR(actual.dfLongAng, expected.dfLongAng, 1e-9);
    EXPECT_EQ(actual.nLongDir, expected.nLongDir);
    EXPECT_EQ(actual.nGpsFix, expected.nGpsFix);
    EXPECT_EQ(actual.nNoSats, expected.nNoSats);
    EXPECT_NEAR(actual.dfHorizDil, expected.dfHorizDil, 1e-9);
    EXPECT_NEAR(actual.dfAltVal, expected.dfAltVal, 1e-9);
    EXPECT_EQ(actual.nAltUnits, expected.nAltUnits);
    EXPECT_NEAR(actual.dfGeoidVal, expected.dfGeoidVal, 1e-9);
    EXPECT_EQ(actual.nGeoidUnits, expected.nGeoidUnits);
    EXPECT_EQ(actual.nDgpsTime, expected.nDgpsTime);
    EXPECT_EQ(actual.nDgpsId, expected.nDgpsId);
    EXPECT_EQ(actual.nTimeInd, 0u);
}

class GpsDecoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDocumentsFolder(m_scratch.Path());
        ASSERT_EQ(m_decoder.Init(), 0);
    }
    void TearDown() override
    {
        m_decoder.Close();
        SetDocumentsFolder("");
    }
    GPS_FIX Fix()
    {
        GPS_FIX fix;
        EXPECT_EQ(m_decoder.CopyGgaData(&fix), 0);
        return fix;
    }
    ZDA_DATA Zda()
    {
        ZDA_DATA zda;
        EXPECT_EQ(m_decoder.CopyZdaData(&zda), 0);
        return zda;
    }
    std::vector<int> Feed(const std::string& bytes, size_t chunk = 0) { return DecodeAll(m_decoder, bytes, chunk); }
    std::string DebugText() { return ReadWholeFile(m_scratch.File("GpsDecoder.txt")); }

    ScratchDir m_scratch;
    CGpsDecoder m_decoder;
};

// ---- sentence assembly: the results a stream gives, in order ----

struct StreamCase {
    const char* name;
    std::string input;
    std::vector<int> results;
};

class DecoderResults : public GpsDecoderTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(DecoderResults, InOrder)
{
    const StreamCase& c = GetParam();
    EXPECT_EQ(Feed(c.input), c.results);
}

const std::string k127 = "GPXXX," + std::string(121, 'A'); // 127 stored characters
const std::string k128 = k127 + "B";
const std::string k129 = k128 + "C";

INSTANTIATE_TEST_SUITE_P(
    Assembly, DecoderResults,
    ::testing::Values(
        StreamCase{"gga_then_zda", kGga + kZda, {132, 133}},
        StreamCase{"wrong_checksum_then_good", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*48\r\n" + kZda, {150, 133}},
        StreamCase{"no_star", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,\r\n", {132}},
        StreamCase{"star_then_line_end", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*\r\n", {132}},
        // "4" then CR read as the second digit: 0x40 - 1 = 0x3F, not 0x47.
        StreamCase{"single_digit", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*4\r\n", {150}},
        StreamCase{"lower_case_digits", "$GPGGA,123521,5200.006,N,00100.000,E,1,08,0.9,545.4,M,46.9,M,,*4e\r\n", {132}},
        StreamCase{"tail_without_start", ",E,1,08,0.9,545.4,M,46.9,M,,*47\r\n" + kGga, {146, 132}},
        StreamCase{"start_then_line_end", "$\r\n" + kZda, {146, 133}},
        StreamCase{"line_end_alone", "\r\n" + kZda, {146, 133}},
        // No line end: the ZDA's "$" ends the GGA, and the ZDA has no start mark.
        StreamCase{"dollar_right_after_sentence", kGga.substr(0, kGga.size() - 2) + kZda, {132, 146}},
        StreamCase{"double_star", "$GPGGA,1**4B\r\n" + kZda, {148, 146, 133}},
        // "*4B" matches "GPGGA,1"; the second "*" reopens the digits, a third digit is refused.
        StreamCase{"third_checksum_digit", "$GPGGA,1*4B*1\r\n" + kZda, {149, 146, 133}},
        StreamCase{"stored_127_fits", "$" + k127 + "\r\n" + kZda, {-1, 133}},
        // With 128 stored even the CR is one byte too many; only a "$" can end
        // such a sentence, and then it does not fit the hand-off record.
        StreamCase{"stored_128_then_cr_overflows", "$" + k128 + "\r\n" + kZda, {145, 146, 133}},
        StreamCase{"stored_128_too_long", "$" + k128 + kZda, {142, 146}},
        StreamCase{"byte_129_overflows", "$" + k129 + "\r\n" + kGga, {145, 146, 132}},
        StreamCase{"gn_talker", "$GNGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*59\r\n", {-1}},
        StreamCase{"only_commas", "$,,,,,\r\n", {-1}},
        StreamCase{"lower_case_identifier", "$gpgga,123519,4807.038,N\r\n", {-1}},
        StreamCase{"identifier_with_suffix", "$GPGGAX,123519,4807.038,N\r\n", {-1}},
        StreamCase{"identifier_not_first", "$,GPGGA,123519,4807.038,N\r\n", {-1}},
        StreamCase{"other_sentences", "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W\r\n$PMTK001,604,3\r\n", {-1, -1}}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

// ---- talkers and line ends: which sentences count, and when each ends ----

struct TalkerCase {
    const char* name;
    bool anyTalker;
    std::string input;
    std::vector<int> results;
    uint32_t fixQuality; // of the held fix afterwards
    const char* ignoredGga; // what the reader hears about, "" nothing
};

class TalkersAndLineEnds : public GpsDecoderTest, public ::testing::WithParamInterface<TalkerCase> {};

TEST_P(TalkersAndLineEnds, Decode)
{
    const TalkerCase& c = GetParam();
    m_decoder.SetAnyTalker(c.anyTalker);
    EXPECT_EQ(Feed(c.input), c.results);
    EXPECT_EQ(Fix().nGpsFix, c.fixQuality);
    char id[6] = {};
    EXPECT_EQ(m_decoder.TakeIgnoredGga(id) ? std::string(id) : std::string(), c.ignoredGga);
    EXPECT_FALSE(m_decoder.TakeIgnoredGga(id)); // told once per sentence
}

const std::string kGnGga = "$GNGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*59\r\n";
const std::string kGnNoFix = "$GNGGA,123522,,,,,0,00,,,M,,M,,\r\n";

INSTANTIATE_TEST_SUITE_P(
    Talkers, TalkersAndLineEnds,
    ::testing::Values(
        TalkerCase{"gp_default", false, kGga + kZda, {132, 133}, 1, ""},
        TalkerCase{"gn_default_ignored_and_told", false, kGnGga, {-1}, 0, "GNGGA"},
        TalkerCase{"gn_without_fix_not_told", false, kGnNoFix, {-1}, 0, ""},
        TalkerCase{"gn_any", true, kGnGga + "$GNZDA,201530.00,04,07,2002,00,00*7E\r\n", {132, 133}, 1, ""},
        TalkerCase{"gl_ga_bd_any", true,
                   "$GLGGA,1,,,,,2\r\n$GAGGA,1,,,,,4\r\n$BDGGA,1,,,,,5\r\n$GQZDA,1\r\n$GIGGA,1,,,,,6\r\n",
                   {132, 132, 132, 133, 132}, 6, ""},
        TalkerCase{"gp_any", true, kGga, {132}, 1, ""},
        TalkerCase{"not_a_talker_any", true, "$G1GGA,1,,,,,1\r\n$gnGGA,1,,,,,1\r\n$PGGA,1,,,,,1\r\n", {-1, -1, -1}, 0, ""},
        TalkerCase{"other_types_any", true, "$GNRMC,123519,A\r\n$GNGGAX,1,,,,,1\r\n", {-1, -1}, 0, ""},
        // LF alone ends a sentence as CR LF does: no sentence is one late.
        TalkerCase{"lf_only_lines", false,
                   "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n"
                   "$GPZDA,201530.00,04,07,2002,00,00*60\n"
                   "$GPGGA,123522,,,,,0,00,,,M,,M,,\n",
                   {132, 133, 132}, 0, ""},
        TalkerCase{"lf_tail_without_start", false, ",E,1,08,0.9,545.4,M,46.9,M,,*47\n" + kGga, {146, 132}, 1, ""},
        TalkerCase{"lf_blank_lines_skipped", false, "\n\n" + kZda + "\n" + kGga, {133, 132}, 1, ""},
        TalkerCase{"lf_after_star", false, "$GPGGA,1,,,,,1*\n", {132}, 1, ""},
        TalkerCase{"lf_after_one_digit", false, "$GPGGA,1,,,,,1*4\n", {150}, 0, ""},
        TalkerCase{"lf_wrong_checksum", false, "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*48\n", {150}, 0, ""}),
    [](const ::testing::TestParamInfo<TalkerCase>& info) { return std::string(info.param.name); });

TEST_F(GpsDecoderTest, FixOlderThanTheMaximumAgeIsNotCurrent)
{
    GPS_FIX fix;
    fix.nNoSats = 99;
    ASSERT_EQ(Feed(kGga), (std::vector<int>{132}));
    m_decoder.SetMaxFixAge(std::chrono::milliseconds(0)); // for ever
    EXPECT_EQ(m_decoder.CopyCurrentGga(&fix), 0);
    EXPECT_EQ(fix.nNoSats, 8u);

    m_decoder.SetMaxFixAge(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fix.nNoSats = 99;
    EXPECT_EQ(m_decoder.CopyCurrentGga(&fix), GPS_ERR_FIX_STALE);
    EXPECT_EQ(fix.nNoSats, 99u);
    EXPECT_TRUE(m_decoder.RetireStaleFix());
    EXPECT_FALSE(m_decoder.RetireStaleFix());
    EXPECT_EQ(Fix().nGpsFix, 0u);

    // The next GGA makes it current again.
    m_decoder.SetMaxFixAge(std::chrono::minutes(1));
    ASSERT_EQ(Feed(kGga), (std::vector<int>{132}));
    EXPECT_EQ(m_decoder.CopyCurrentGga(&fix), 0);
    EXPECT_EQ(fix.nGpsFix, 1u);
}

TEST_F(GpsDecoderTest, EachCallStopsJustPastTheLineEndOfItsSentence)
{
    const std::string chunk = kGga + kZda;
    const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
    EXPECT_EQ(m_decoder.Decode(data, static_cast<uint32_t>(chunk.size())), GPS_GGA_DECODED);
    ASSERT_EQ(m_decoder.GetConsumed(), kGga.size());
    EXPECT_EQ(m_decoder.Decode(data + kGga.size(), static_cast<uint32_t>(kZda.size())), GPS_ZDA_DECODED);
    EXPECT_EQ(m_decoder.GetConsumed(), kZda.size());
    ExpectFix(Fix(), TextbookFix());
    EXPECT_EQ(Zda(), TextbookZda());
}

TEST_F(GpsDecoderTest, ChunkEndingMidSentenceIsContinuedByTheNext)
{
    const auto* data = reinterpret_cast<const uint8_t*>(kGga.data());
    EXPECT_EQ(m_decoder.Decode(data, 20), GPS_MORE_DATA);
    EXPECT_EQ(m_decoder.GetConsumed(), 20u);
    EXPECT_EQ(m_decoder.Decode(data + 20, static_cast<uint32_t>(kGga.size() - 20)), GPS_GGA_DECODED);
    EXPECT_EQ(m_decoder.GetConsumed(), kGga.size() - 20);
    ExpectFix(Fix(), TextbookFix());
}

TEST_F(GpsDecoderTest, CollectionErrorsConsumeUpToTheFailingByteAndKeepTheRecords)
{
    ASSERT_EQ(Feed(kGga + kZda), (std::vector<int>{132, 133}));
    const std::string bad = "$GPGGA,999999,5200.000,S,00100.000,W,2,04,9.9,1.0,M,1.0,M,,*48\r\n";
    const auto* data = reinterpret_cast<const uint8_t*>(bad.data());
    EXPECT_EQ(m_decoder.Decode(data, static_cast<uint32_t>(bad.size())), GPS_ERR_CHECKSUM);
    EXPECT_EQ(m_decoder.GetConsumed(), bad.size());
    ExpectFix(Fix(), TextbookFix());

    const std::string twoStars = "$GPZDA,1**0\r\n";
    data = reinterpret_cast<const uint8_t*>(twoStars.data());
    EXPECT_EQ(m_decoder.Decode(data, static_cast<uint32_t>(twoStars.size())), GPS_ERR_DOUBLE_STAR);
    EXPECT_EQ(m_decoder.GetConsumed(), twoStars.find("**") + 2);
    EXPECT_EQ(Zda(), TextbookZda());
}

TEST(GpsDecoderLifecycle, RefusesWorkBeforeInitAndAfterClose)
{
    CGpsDecoder decoder;
    const uint8_t byte = '$';
    GPS_FIX fix;
    fix.nGpsFix = 7;
    ZDA_DATA zda;
    zda.nYear = 1999;

    EXPECT_EQ(decoder.Decode(&byte, 1), GPS_ERR_NOT_INITIALISED);
    EXPECT_EQ(decoder.GetConsumed(), 0u);
    EXPECT_EQ(decoder.CopyGgaData(&fix), GPS_ERR_WAIT_FAILED);
    EXPECT_EQ(decoder.CopyZdaData(&zda), GPS_ERR_WAIT_FAILED);
    EXPECT_EQ(fix.nGpsFix, 7u);
    EXPECT_EQ(zda.nYear, 1999);
    decoder.InvalidateFix();

    ASSERT_EQ(decoder.Init(), 0);
    EXPECT_EQ(decoder.Init(), 0);
    EXPECT_EQ(decoder.Decode(nullptr, 5), GPS_ERR_NO_BUFFER);
    EXPECT_EQ(decoder.GetConsumed(), 0u);
    EXPECT_EQ(DecodeAll(decoder, kGga), (std::vector<int>{132}));
    EXPECT_EQ(decoder.CopyGgaData(nullptr), 0);

    decoder.Close();
    EXPECT_EQ(decoder.Decode(&byte, 1), GPS_ERR_NOT_INITIALISED);
    EXPECT_EQ(decoder.CopyGgaData(&fix), GPS_ERR_WAIT_FAILED);
    decoder.Close();

    // A second life starts from empty records and a fresh collection state.
    ASSERT_EQ(decoder.Init(), 0);
    EXPECT_EQ(decoder.CopyGgaData(&fix), 0);
    EXPECT_EQ(fix, GPS_FIX{});
    EXPECT_EQ(DecodeAll(decoder, kZda), (std::vector<int>{133}));
}

TEST_F(GpsDecoderTest, SplitAtEveryByteGivesTheSameResultsAndRecords)
{
    const std::string stream = kGga + kZda;
    const std::vector<int> whole = Feed(stream);
    ASSERT_EQ(whole, (std::vector<int>{132, 133}));
    const GPS_FIX wholeFix = Fix();
    const ZDA_DATA wholeZda = Zda();

    for (size_t split = 0; split <= stream.size(); ++split) {
        CGpsDecoder decoder;
        ASSERT_EQ(decoder.Init(), 0);
        std::vector<int> results = DecodeAll(decoder, stream.substr(0, split));
        const std::vector<int> rest = DecodeAll(decoder, stream.substr(split));
        results.insert(results.end(), rest.begin(), rest.end());
        GPS_FIX fix;
        ZDA_DATA zda;
        ASSERT_EQ(decoder.CopyGgaData(&fix), 0);
        ASSERT_EQ(decoder.CopyZdaData(&zda), 0);
        EXPECT_EQ(results, whole) << "split at " << split;
        EXPECT_EQ(fix, wholeFix) << "split at " << split;
        EXPECT_EQ(zda, wholeZda) << "split at " << split;
    }
}

// ---- GGA fields: the textbook fix, then one more sentence ----

struct GgaCase {
    const char* name;
    std::string second;
    GPS_FIX expected;
};

GPS_FIX Textbook(void (*change)(GPS_FIX&))
{
    GPS_FIX fix = TextbookFix();
    change(fix);
    return fix;
}

class GgaFields : public GpsDecoderTest, public ::testing::WithParamInterface<GgaCase> {};

TEST_P(GgaFields, UpdateOnlyWhatTheSentenceCarries)
{
    ASSERT_EQ(Feed(kGga), (std::vector<int>{132}));
    ASSERT_EQ(Feed(GetParam().second), (std::vector<int>{132}));
    ExpectFix(Fix(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Gga, GgaFields,
    ::testing::Values(
        GgaCase{"no_fix_keeps_position", "$GPGGA,123600,,,,,0,00,99.9,,,,,,\r\n",
                Textbook([](GPS_FIX& f) { f.dfUTC = 123600; f.nGpsFix = 0; f.nNoSats = 0; f.dfHorizDil = 99.9; })},
        GgaCase{"letter_in_degrees_keeps_latitude", "$GPGGA,123601,4A07.0,N,01200.000,E,1,08,0.9,545.4,M,46.9,M,,\r\n",
                Textbook([](GPS_FIX& f) { f.dfUTC = 123601; f.dfLongAng = 12.0; })},
        GgaCase{"short_coordinates_keep_both", "$GPGGA,123602,4,S,01,W,1\r\n",
                Textbook([](GPS_FIX& f) { f.dfUTC = 123602; f.nLatDir = DIR_SOUTH; f.nLongDir = DIR_WEST; })},
        GgaCase{"degrees_only", "$GPGGA,,33,N,151,E\r\n",
                Textbook([](GPS_FIX& f) { f.dfLatAng = 33.0; f.dfLongAng = 151.0; })},
        GgaCase{"south_west_lower_case_dgps",
                "$GPGGA,123603,3351.5,s,15112.25,w,2,5,1.5,-12.5,m,-20.1,f,7.6,0133\r\n",
                Textbook([](GPS_FIX& f) {
                    f.dfUTC = 123603; f.dfLatAng = 33.858333333333333; f.nLatDir = DIR_SOUTH;
                    f.dfLongAng = 151.20416666666667; f.nLongDir = DIR_WEST; f.nGpsFix = 2; f.nNoSats = 5;
                    f.dfHorizDil = 1.5; f.dfAltVal = -12.5; f.dfGeoidVal = -20.1; f.nGeoidUnits = UNITS_NONE;
                    f.nDgpsTime = 7; f.nDgpsId = 133; })},
        GgaCase{"unknown_letters_give_code_0", "$GPGGA,123604,4807.038,X,01131.000,Q,1,08,0.9,545.4,F,46.9,x,,\r\n",
                Textbook([](GPS_FIX& f) {
                    f.dfUTC = 123604; f.nLatDir = DIR_NONE; f.nLongDir = DIR_NONE;
                    f.nAltUnits = UNITS_NONE; f.nGeoidUnits = UNITS_NONE; })},
        GgaCase{"minutes_of_60_and_more_taken_as_they_are", "$GPGGA,,4875.0,N,00090.0,E\r\n",
                Textbook([](GPS_FIX& f) { f.dfLatAng = 49.25; f.dfLongAng = 1.5; })},
        GgaCase{"numeric_prefixes", "$GPGGA,1235x,,,,,1.9,8sats, 0.9e1m,1e,M,-.5,M,+7,abc\r\n",
                Textbook([](GPS_FIX& f) {
                    f.dfUTC = 1235; f.nGpsFix = 1; f.nNoSats = 8; f.dfHorizDil = 9.0; f.dfAltVal = 1.0;
                    f.dfGeoidVal = -0.5; f.nDgpsTime = 7; f.nDgpsId = 0; })},
        // A 32-bit long saturates; a negative count is kept as sent, in the unsigned field.
        GgaCase{"integers_saturate_at_32_bits", "$GPGGA,,,,,,99999999999,-1,,,,,,4294967297\r\n",
                Textbook([](GPS_FIX& f) { f.nGpsFix = 2147483647u; f.nNoSats = 4294967295u; f.nDgpsTime = 2147483647u; })},
        GgaCase{"fields_past_14_ignored", "$GPGGA,,,,,,,,,,,,,,0042,999,abc\r\n",
                Textbook([](GPS_FIX& f) { f.nDgpsId = 42; })},
        // A NUL received as data ends the sentence as its terminator does.
        GgaCase{"nul_byte_ends_the_fields", "$GPGGA,123605\0,9999.0,S,,,0\r\n"s,
                Textbook([](GPS_FIX& f) { f.dfUTC = 123605; })}),
    [](const ::testing::TestParamInfo<GgaCase>& info) { return std::string(info.param.name); });

// ---- ZDA fields ----

struct ZdaCase {
    const char* name;
    std::string sentence;
    double utc;
    int hour, minute, second;
};

class ZdaTime : public GpsDecoderTest, public ::testing::WithParamInterface<ZdaCase> {};

TEST_P(ZdaTime, DigitsAndSeconds)
{
    const ZdaCase& c = GetParam();
    ASSERT_EQ(Feed(kZda), (std::vector<int>{133}));
    ASSERT_EQ(Feed(c.sentence), (std::vector<int>{133}));
    ZDA_DATA expected = TextbookZda();
    expected.dfUTC = c.utc;
    expected.nHour = c.hour;
    expected.nMinute = c.minute;
    expected.nSecond = c.second;
    EXPECT_EQ(Zda(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Zda, ZdaTime,
    ::testing::Values(
        ZdaCase{"full", "$GPZDA,235959.50\r\n", 235959.5, 23, 59, 59},
        ZdaCase{"five_characters", "$GPZDA,20153\r\n", 20153.0, 20, 15, 3},
        ZdaCase{"four_characters", "$GPZDA,2015\r\n", 2015.0, 20, 15, 0},
        // Digits missing from a short field count as non-digits (-1).
        ZdaCase{"three_characters", "$GPZDA,201\r\n", 201.0, 20, 10 * 1 - 1, 0},
        ZdaCase{"two_characters", "$GPZDA,20\r\n", 20.0, 20, -11, 0},
        ZdaCase{"one_character", "$GPZDA,2\r\n", 2.0, 10 * 2 - 1, -11, 0},
        ZdaCase{"empty_keeps_time", "$GPZDA,,04\r\n", 201530.0, 20, 15, 30},
        ZdaCase{"hexadecimal_and_other_digits", "$GPZDA,a1x5\r\n", 0.0, 10 * 10 + 1, 10 * -1 + 5, 0},
        ZdaCase{"seconds_cut_to_whole", "$GPZDA,00000059.99\r\n", 59.99, 0, 0, 59},
        // Seconds beyond the int range saturate rather than overflow the conversion.
        ZdaCase{"seconds_out_of_range", "$GPZDA,20153e99\r\n", 20153e99, 20, 15, 2147483647}),
    [](const ::testing::TestParamInfo<ZdaCase>& info) { return std::string(info.param.name); });

TEST_F(GpsDecoderTest, ZdaDateAndZoneFieldsAreIntegers)
{
    ASSERT_EQ(Feed("$GPZDA,201530.00,04,07,2002,-05,30*4B\r\n"), (std::vector<int>{133}));
    ZDA_DATA expected = TextbookZda();
    expected.nLocalZoneHour = -5;
    expected.nLocalZoneMinute = 30;
    EXPECT_EQ(Zda(), expected);
    // Absent fields keep their values; position 7 and beyond are not ZDA's.
    ASSERT_EQ(Feed("$GPZDA,,,08,,+01,,99\r\n"), (std::vector<int>{133}));
    expected.nMonth = 8;
    expected.nLocalZoneHour = 1;
    EXPECT_EQ(Zda(), expected);
}

// ---- previous fix, distances and the debug file ----

const std::string kAt52 = "$GPGGA,123520,5200.000,N,00100.000,E,1,08,0.9,545.4,M,46.9,M,,*49\r\n";
const std::string kAt52North = "$GPGGA,123521,5200.006,N,00100.000,E,1,08,0.9,545.4,M,46.9,M,,*4E\r\n";
const std::string kNoFix = "$GPGGA,123522,,,,,0,00,,,M,,M,,\r\n";

TEST_F(GpsDecoderTest, DebugFileOpensTruncatedAndTracesValidFixesOnly)
{
    ASSERT_TRUE(WriteWholeFile(m_scratch.File("GpsDecoder.txt"), "left over from last time\n"));
    m_decoder.SetDebug(false);
    EXPECT_EQ(DebugText(), "left over from last time\n");
    m_decoder.SetDebug(true);
    m_decoder.SetDebug(true);
    EXPECT_EQ(DebugText(), "Opened GpsDecoder.txt\n");

    ASSERT_EQ(Feed(kNoFix + kAt52 + kNoFix), (std::vector<int>{132, 132, 132}));
    const std::string firstFix = "Opened GpsDecoder.txt\n"
                                 "\nGetGGAData GPS_FIX"
                                 "\ndfUTC = 123520.000000"
                                 "\nNo. Satellites = 8"
                                 "\nPrev Lat. Angle  = 0.000000"
                                 "\nLat. Angle       = 52.000000"
                                 "\nPrev Long. Angle = 0.000000"
                                 "\nLong. Angle      = 1.000000"
                                 "\nHaversine Distance (meters) = 0.000000"
                                 "\nVincenty Distance (meters)  = 0.000000\n";
    EXPECT_EQ(DebugText(), firstFix);

    // Measured from the last valid fix, across the sentence without fix.
    ASSERT_EQ(Feed(kAt52North), (std::vector<int>{132}));
    const std::string text = DebugText();
    ASSERT_EQ(text.compare(0, firstFix.size(), firstFix), 0);
    const std::string second = text.substr(firstFix.size());
    const std::string head = "\nGetGGAData GPS_FIX"
                             "\ndfUTC = 123521.000000"
                             "\nNo. Satellites = 8"
                             "\nPrev Lat. Angle  = 52.000000"
                             "\nLat. Angle       = 52.000100"
                             "\nPrev Long. Angle = 1.000000"
                             "\nLong. Angle      = 1.000000"
                             "\nHaversine Distance (meters) = ";
    ASSERT_EQ(second.compare(0, head.size(), head), 0) << second;
    EXPECT_NEAR(std::strtod(second.c_str() + head.size(), nullptr), 11.1195, 5e-4);
    const std::string vincentyLabel = "\nVincenty Distance (meters)  = ";
    const size_t vincenty = second.find(vincentyLabel);
    ASSERT_NE(vincenty, std::string::npos);
    EXPECT_NEAR(std::strtod(second.c_str() + vincenty + vincentyLabel.size(), nullptr), 11.1267, 5e-4);
    EXPECT_EQ(second.back(), '\n');
}

TEST_F(GpsDecoderTest, DebugFileTracesEveryZdaSentence)
{
    m_decoder.SetDebug(true);
    ASSERT_EQ(Feed(kZda + "$GPZDA\r\n"), (std::vector<int>{133, 133}));
    const std::string block = "\nZDAData : "
                              "\ndfUTC            = 201530.000000"
                              "\nnHour            = 20"
                              "\nnMinute          = 15"
                              "\nnSecond          = 30"
                              "\nnDay             = 4"
                              "\nnMonth           = 7"
                              "\nnYear            = 2002"
                              "\nnLocalZoneHour   = 0"
                              "\nnLocalZoneMinute = 0\n";
    EXPECT_EQ(DebugText(), "Opened GpsDecoder.txt\n" + block + block);
}

TEST_F(GpsDecoderTest, DebugStaysOffWhenTheFileCannotBeOpened)
{
    SetDocumentsFolder(m_scratch.File("no-such-folder"));
    m_decoder.SetDebug(true);
    EXPECT_EQ(Feed(kAt52 + kZda), (std::vector<int>{132, 133}));
    EXPECT_FALSE(FileExists(m_scratch.File("no-such-folder/GpsDecoder.txt")));
}

TEST_F(GpsDecoderTest, InvalidateFixClearsOnlyTheFixQuality)
{
    m_decoder.SetDebug(true);
    ASSERT_EQ(Feed(kAt52), (std::vector<int>{132}));
    GPS_FIX expected = Fix();
    m_decoder.InvalidateFix();
    expected.nGpsFix = 0;
    EXPECT_EQ(Fix(), expected);

    // The next fix is still measured from the last valid one.
    ASSERT_EQ(Feed(kAt52North), (std::vector<int>{132}));
    EXPECT_NE(DebugText().find("\nPrev Lat. Angle  = 52.000000\nLat. Angle       = 52.000100"), std::string::npos);
    EXPECT_EQ(Fix().nGpsFix, 1u);
}

// ---- epochs: every quality value comes from the epoch of the held fix ----

// One epoch's GGA at 51 30 N, 0 07 W: UTC, fix quality, altitude and geoid
// separation as the fields are sent ("" an empty field).
std::string Gga(const char* utc, int quality, const char* altitude = "35.2", const char* separation = "45.6",
                const char* talker = "GP")
{
    char body[128];
    std::snprintf(body, sizeof body, "%sGGA,%s,5130.0000,N,00007.0000,W,%d,14,0.7,%s,M,%s,M,,", talker, utc, quality,
                  altitude, separation);
    return NmeaSentence(body);
}
// Latitude and longitude errors 0.03 and 0.04 m: a DRMS of 0.05 m.
std::string Gst(const char* utc, const char* latError = "0.03", const char* longError = "0.04", const char* talker = "GP")
{
    return NmeaSentence(std::string(talker) + "GST," + utc + ",0.5,0.1,0.1,0.0," + latError + "," + longError + ",0.08");
}
std::string Gsa(const char* pdop, const char* talker = "GP")
{
    return NmeaSentence(std::string(talker) + "GSA,A,3,02,05,07,13,,,,,,,,," + pdop + ",0.7,1.2");
}
std::string Rmc(const char* utc)
{
    return NmeaSentence(std::string("GPRMC,") + utc + ",A,5130.0000,N,00007.0000,W,0.0,0.0,071226,,");
}
// The line falls quiet between two bursts.
const std::string kQuiet = "~";

constexpr uint32_t kFixType = QUALITY_FIX_TYPE;
constexpr uint32_t kGstBits = QUALITY_H_ACCURACY | QUALITY_V_ACCURACY;
constexpr uint32_t kGsaBits = QUALITY_PDOP | QUALITY_VDOP | QUALITY_FIX_MODE;

struct EpochCase {
    const char* name;
    std::vector<std::string> sentences; // then a point is taken
    uint32_t present;
    int32_t fixType;
    double hAccuracy, pdop; // where present
    uint32_t missing;       // GPS_FIX::u32Missing
    double altitude;        // as the fix record holds it (and the log prints it)
};

class Epochs : public GpsDecoderTest, public ::testing::WithParamInterface<EpochCase> {};

TEST_P(Epochs, PointCarriesOnlyItsOwnEpoch)
{
    const EpochCase& c = GetParam();
    for (const std::string& sentence : c.sentences) {
        if (sentence == kQuiet)
            std::this_thread::sleep_for(CGpsDecoder::kBurstQuiet + std::chrono::milliseconds(50));
        else
            Feed(sentence);
    }
    GPS_FIX fix;
    GPS_QUALITY q;
    ASSERT_EQ(m_decoder.CopyCurrentGga(&fix, &q), 0);
    EXPECT_EQ(q.u32Present, c.present);
    EXPECT_EQ(q.nFixType, c.fixType);
    if (q.Has(QUALITY_H_ACCURACY)) {
        EXPECT_NEAR(q.dfHAccuracy, c.hAccuracy, 1e-9);
    }
    if (q.Has(QUALITY_PDOP)) {
        EXPECT_DOUBLE_EQ(q.dfPdop, c.pdop);
    }
    EXPECT_EQ(fix.u32Missing, c.missing);
    EXPECT_DOUBLE_EQ(fix.dfAltVal, c.altitude);
    // A 5 cm gate passes only a point whose own epoch proves 5 cm.
    EXPECT_EQ(MeetsGate(q, QUALITY_GATE{REQUIRE_NONE, 0.05}), q.Has(QUALITY_H_ACCURACY) && c.hAccuracy <= 0.05);
}

constexpr uint32_t kNoHeights = FIX_NO_ALTITUDE | FIX_NO_SEPARATION;

INSTANTIATE_TEST_SUITE_P(
    Table, Epochs,
    ::testing::Values(
        EpochCase{"gst_after_its_gga", {Gga("101500.00", 4), Gsa("1.4"), Gst("101500.00")},
                  kFixType | kGstBits | kGsaBits, FIX_RTK_FIXED, 0.05, 1.4, 0, 35.2},
        EpochCase{"gst_before_its_gga", {Gst("101500.000"), Gga("101500.00", 4)}, kFixType | kGstBits, FIX_RTK_FIXED,
                  0.05, 0, 0, 35.2},
        // The next epoch's GST before its GGA is not the held fix's.
        EpochCase{"next_gst_before_next_gga", {Gga("101500.00", 4), Gst("101500.00"), Gst("101501.00", "3.0", "4.0")},
                  kFixType | kGstBits, FIX_RTK_FIXED, 0.05, 0, 0, 35.2},
        // Taken before its GST came: absent, not the last epoch's.
        EpochCase{"gst_not_yet_come", {Gga("101500.00", 4), Gst("101500.00"), Gga("101501.00", 4)}, kFixType,
                  FIX_RTK_FIXED, 0, 0, 0, 35.2},
        EpochCase{"gst_without_time", {Gga("101500.00", 4), Gst("")}, kFixType, FIX_RTK_FIXED, 0, 0, 0, 35.2},
        // RTK fixed falls to autonomous: the fixed epoch's 5 cm stay with it.
        EpochCase{"fall_from_rtk_fixed_to_autonomous",
                  {Gga("101500.00", 4), Gsa("1.4"), Gst("101500.00"), Rmc("101501.00"), Gga("101501.00", 1)},
                  kFixType, FIX_AUTONOMOUS, 0, 0, 0, 35.2},
        EpochCase{"autonomous_epoch_with_its_own_gst",
                  {Gga("101500.00", 4), Gst("101500.00"), Gga("101501.00", 1), Gst("101501.00", "3.0", "4.0")},
                  kFixType | kGstBits, FIX_AUTONOMOUS, 5.0, 0, 0, 35.2},
        // GSAs carry no time: those after the next epoch's first timed
        // sentence, or after a quiet line, belong to the next GGA.
        EpochCase{"gsa_before_its_gga_after_rmc",
                  {Gga("101500.00", 4), Gsa("1.4"), Rmc("101501.00"), Gsa("2.2"), Gga("101501.00", 4)},
                  kFixType | kGsaBits, FIX_RTK_FIXED, 0, 2.2, 0, 35.2},
        EpochCase{"gsa_before_its_gga_after_quiet",
                  {Gga("101500.00", 4), Gsa("1.4"), kQuiet, Gsa("2.2"), Gga("101501.00", 4)},
                  kFixType | kGsaBits, FIX_RTK_FIXED, 0, 2.2, 0, 35.2},
        EpochCase{"next_gsa_after_rmc_not_lent", {Gga("101500.00", 4), Gsa("1.4"), Rmc("101501.00"), Gsa("2.2")},
                  kFixType | kGsaBits, FIX_RTK_FIXED, 0, 1.4, 0, 35.2},
        EpochCase{"next_gsa_after_quiet_not_lent", {Gga("101500.00", 4), Gsa("1.4"), kQuiet, Gsa("2.2")},
                  kFixType | kGsaBits, FIX_RTK_FIXED, 0, 1.4, 0, 35.2},
        EpochCase{"gsa_missing", {Gga("101500.00", 4), Gsa("1.4"), Rmc("101501.00"), Gga("101501.00", 4)}, kFixType,
                  FIX_RTK_FIXED, 0, 0, 0, 35.2},
        // Several constellations, one solution: the first DOPs of the burst.
        EpochCase{"gsa_per_constellation", {Gga("101500.00", 2), Gsa("1.4", "GN"), Gsa("1.9", "GN")},
                  kFixType | kGsaBits, FIX_DGPS, 0, 1.4, 0, 35.2},
        EpochCase{"gn_gst_beside_gp_gga", {Gga("101500.00", 2), Gst("101500.00", "0.03", "0.04", "GN")},
                  kFixType | kGstBits, FIX_DGPS, 0.05, 0, 0, 35.2},
        // One constellation's own GSA is not the solution's.
        EpochCase{"gl_gsa_not_taken", {Gga("101500.00", 2), Gsa("1.4", "GL")}, kFixType, FIX_DGPS, 0, 0, 0, 35.2},
        EpochCase{"quality_9_is_sbas", {Gga("101500.00", 9)}, kFixType, FIX_SBAS, 0, 0, 0, 35.2},
        EpochCase{"quality_10_unknown", {Gga("101500.00", 10)}, 0, 0, 0, 0, 0, 35.2},
        // The log keeps printing the older altitude; the fix says it is not this epoch's.
        EpochCase{"empty_altitude", {Gga("101500.00", 2, "100.0", "20.0"), Gga("101501.00", 2, "", "")}, kFixType,
                  FIX_DGPS, 0, 0, kNoHeights, 100.0},
        EpochCase{"empty_separation", {Gga("101500.00", 2, "100.0", "")}, kFixType, FIX_DGPS, 0, 0,
                  FIX_NO_SEPARATION, 100.0},
        EpochCase{"separation_0", {Gga("101500.00", 2, "100.0", "0.0")}, kFixType, FIX_DGPS, 0, 0, 0, 100.0}),
    [](const ::testing::TestParamInfo<EpochCase>& info) { return std::string(info.param.name); });

} // namespace
