#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "gps/GpsDecoder.h"
#include "gps/NmeaFields.h"

namespace {

// Each text is also given with its length cut short (limit), to show that
// nothing past the field is read: the rest of the text would change the value.
struct DecimalCase {
    const char* text;
    size_t limit;
    double value;
};

TEST(NmeaFields, DecimalTakesTheLongestNumericPrefix)
{
    const DecimalCase cases[] = {
        {"545.4", 5, 545.4},     {"  -12.5", 7, -12.5},  {"+7", 2, 7.0},       {".5", 2, 0.5},
        {"5.", 2, 5.0},          {"0.9e1m", 6, 9.0},     {"1E-2", 4, 0.01},    {"1e", 2, 1.0},
        {"1e+", 3, 1.0},         {"1.5e-x", 6, 1.5},     {"-", 1, 0.0},        {".", 1, 0.0},
        {"-.e5", 4, 0.0},        {"abc", 3, 0.0},        {"", 0, 0.0},         {"\t\n3", 3, 3.0},
        {"0x1A", 4, 0.0},        {"inf", 3, 0.0},        {"nan", 3, 0.0},      {"1,5", 3, 1.0},
        {"123519.00", 9, 123519.0},
        // cut short
        {"12345", 2, 12.0},      {"1.5e10", 4, 1.5},     {"1.5e10", 3, 1.5},   {"  7", 2, 0.0},
        // beyond the double range: as strtod, overflow is HUGE_VAL, underflow 0
        {"1e400", 5, HUGE_VAL},  {"-1e400", 6, -HUGE_VAL}, {"0.0001e-400", 11, 0.0}, {"0e999999", 8, 0.0},
        {"123456789012345678901234567890e300", 34, HUGE_VAL},
    };
    for (const DecimalCase& c : cases)
        EXPECT_EQ(NmeaDecimal(c.text, c.limit), c.value) << '"' << c.text << "\" limit " << c.limit;
}

struct IntegerCase {
    const char* text;
    size_t limit;
    int32_t value;
};

TEST(NmeaFields, IntegerCutsFractionsAndSaturatesAtThirtyTwoBits)
{
    const IntegerCase cases[] = {
        {"08", 2, 8},           {"0133", 4, 133},          {"7.6", 3, 7},          {"-05", 3, -5},
        {"+01", 3, 1},          {" 12", 3, 12},            {"8sats", 5, 8},        {"abc", 3, 0},
        {"-", 1, 0},            {"", 0, 0},                {"2147483647", 10, 2147483647},
        {"2147483648", 10, 2147483647},                    {"-2147483648", 11, INT32_MIN},
        {"-2147483649", 11, INT32_MIN},                    {"99999999999999999999999", 23, 2147483647},
        {"12345", 3, 123},      {"-9", 1, 0},
    };
    for (const IntegerCase& c : cases)
        EXPECT_EQ(NmeaInteger(c.text, c.limit), c.value) << '"' << c.text << "\" limit " << c.limit;
}

struct CoordinateCase {
    const char* text;
    size_t degreeDigits;
    int result;
    double value; // -1: unchanged
};

TEST(NmeaFields, CoordinateNeedsItsDegreeDigits)
{
    const CoordinateCase cases[] = {
        {"4807.038", 2, 0, 48.1173},
        {"01131.000", 3, 0, 11.516666666666667},
        {"12118.8515", 3, 0, 121.31419166666667},
        {"4404.1295864", 2, 0, 44.068826440000003},
        {"48", 2, 0, 48.0},
        {"4860", 2, 0, 49.0},
        {"0000.0", 2, 0, 0.0},
        {"4A07.0", 2, GPS_ERR_NOT_DIGIT, -1},
        {" 4807.0", 2, GPS_ERR_NOT_DIGIT, -1},
        {"-4807.0", 2, GPS_ERR_NOT_DIGIT, -1},
        {"4", 2, GPS_ERR_NOT_DIGIT, -1},
        {"01", 3, GPS_ERR_NOT_DIGIT, -1},
        {"", 2, GPS_ERR_NOT_DIGIT, -1},
    };
    for (const CoordinateCase& c : cases) {
        double value = -1.0;
        EXPECT_EQ(NmeaCoordinate(c.text, std::strlen(c.text), c.degreeDigits, &value), c.result) << c.text;
        EXPECT_NEAR(value, c.value, 1e-12) << c.text;
    }
    // Degree digits past the field's end are not read, whatever follows it.
    double value = -1.0;
    EXPECT_EQ(NmeaCoordinate("4807.038", 1, 2, &value), GPS_ERR_NOT_DIGIT);
    EXPECT_EQ(value, -1.0);
}

} // namespace
