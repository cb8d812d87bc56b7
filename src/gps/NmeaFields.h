// Conversions of NMEA field text to numbers. A field is given as text and length
// and nothing past the length is read, so a field may sit in the middle of a
// sentence without a terminator of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// Value of a hexadecimal digit as checksum digits and ZDA time digits use it:
// 0-9, A-F and a-f give 0 to 15, any other byte -1.
int NmeaDigitValue(char c);

// Longest numeric prefix after leading white space, as the C library's
// strtod reads it in the "C" locale (sign, digits, point, exponent) but without
// the hexadecimal, infinity and NaN forms no receiver sends. 0 when there is no
// number. A value beyond the double range gives +/-HUGE_VAL, one below it 0.
double NmeaDecimal(const char* text, size_t length);

// Whole number prefix after leading white space (sign and digits; a fraction
// is cut off), 0 when there is none. Values beyond the 32-bit range saturate at
// its ends, as the handheld's 32-bit strtol did.
int32_t NmeaInteger(const char* text, size_t length);

// Latitude (degreeDigits 2, "ddmm.mmmm") or longitude (3, "dddmm.mmmm") in
// decimal degrees. Returns 0 and sets *value, or GPS_ERR_NOT_DIGIT (156) and
// leaves *value alone when one of the degree characters is missing or not a
// decimal digit. Minutes of 60 or more are taken as they are.
int NmeaCoordinate(const char* text, size_t length, size_t degreeDigits, double* value);
