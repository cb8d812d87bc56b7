#include "gps/NmeaFields.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "gps/GpsDecoder.h"

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading white space and an optional sign, as strtod and strtol take them;
// returns the index of what follows.
size_t SkipSpaceAndSign(const char* text, size_t length, bool* negative)
{
    size_t i = 0;
    while (i < length && IsSpace(text[i]))
        ++i;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        *negative = text[i] == '-';
        ++i;
    }
    return i;
}

// The receivers' logs have always used this rounded value of 1/60; keeping it
// keeps the decoded coordinates identical to the ones in stored surveys.
constexpr double kOneSixtieth = 0.016666666666666666;

} // namespace

int NmeaDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

double NmeaDecimal(const char* text, size_t length)
{
    bool negative = false;
    size_t i = SkipSpaceAndSign(text, length, &negative);
    const size_t start = i;

    // Decimal position of the first significant digit, relative to the point;
    // needed only to tell overflow from underflow when the value is out of range.
    long magnitude = 0;
    bool significant = false;
    size_t digits = 0;
    while (i < length && IsDigit(text[i])) {
        if (significant)
            ++magnitude;
        else if (text[i] != '0')
            significant = true;
        ++i;
        ++digits;
    }
    if (i < length && text[i] == '.') {
        ++i;
        while (i < length && IsDigit(text[i])) {
            if (!significant) {
                --magnitude;
                significant = text[i] != '0';
            }
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0.0;

    // "1.5e" and "1.5e+" end before the 'e': an exponent needs a digit.
    long exponent = 0;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool negativeExponent = false;
        if (j < length && (text[j] == '+' || text[j] == '-')) {
            negativeExponent = text[j] == '-';
            ++j;
        }
        if (j < length && IsDigit(text[j])) {
            while (j < length && IsDigit(text[j])) {
                if (exponent < 100000)
                    exponent = exponent * 10 + (text[j] - '0');
                ++j;
            }
            if (negativeExponent)
                exponent = -exponent;
            i = j;
        }
    }

    double value = 0.0;
    const std::from_chars_result parsed = std::from_chars(text + start, text + i, value, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range)
        value = (significant && magnitude + exponent > 0) ? HUGE_VAL : 0.0;
    else if (parsed.ec != std::errc())
        value = 0.0;
    return negative ? -value : value;
}

int32_t NmeaInteger(const char* text, size_t length)
{
    bool negative = false;
    size_t i = SkipSpaceAndSign(text, length, &negative);
    // Accumulated as a magnitude that stops growing just past the 32-bit range.
    int64_t magnitude = 0;
    constexpr int64_t kCeiling = int64_t{INT32_MAX} + 1;
    while (i < length && IsDigit(text[i])) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kCeiling)
            magnitude = kCeiling;
        ++i;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int NmeaCoordinate(const char* text, size_t length, size_t degreeDigits, double* value)
{
    if (length < degreeDigits)
        return GPS_ERR_NOT_DIGIT;
    int degrees = 0;
    for (size_t i = 0; i < degreeDigits; ++i) {
        if (!IsDigit(text[i]))
            return GPS_ERR_NOT_DIGIT;
        degrees = degrees * 10 + (text[i] - '0');
    }
    const double minutes = NmeaDecimal(text + degreeDigits, length - degreeDigits);
    *value = degrees + minutes * kOneSixtieth;
    return 0;
}
