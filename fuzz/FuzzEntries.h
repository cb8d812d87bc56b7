// What the fuzz targets run, one entry per way hostile bytes get in: the
// locator's byte stream, the GPS receiver's byte stream, the configuration file,
// a survey log read back, and what an NTRIP caster sends. Each entry takes any bytes, drives the same calls
// the running program makes, and checks what must hold whatever came in. It
// returns "" when all held, else what broke; crashes and sanitizer reports are
// left to the sanitizers. libFuzzer's programs and the regression test (which
// replays fuzz/regressions/<target>/ and fuzz/corpus/<target>/) share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes before the first 0x7E are the handheld GPS receiver's output (so the
// fuzzer can shape the fix a reply carries back); the rest is the locator's
// stream, fed to the link in reads of at most 128 bytes.
std::string FuzzLocatorStream(const uint8_t* data, size_t size);
// The GPS port's stream, in reads of at most 128 bytes.
std::string FuzzNmeaStream(const uint8_t* data, size_t size);
// The bytes as the configuration file, and as a token list for Parse.
std::string FuzzConfigFile(const uint8_t* data, size_t size);
// The bytes as one data line, and as a whole survey log file.
std::string FuzzSurveyLog(const uint8_t* data, size_t size);
// A caster's stream into the RTCM framer, split in three ways.
std::string FuzzRtcmStream(const uint8_t* data, size_t size);
// A caster's reply (status line, headers, chunk sizes, body, sourcetable), and
// the bytes as a stream address.
std::string FuzzNtripReply(const uint8_t* data, size_t size);

struct FUZZ_TARGET {
    const char* name; // folder name under fuzz/corpus and fuzz/regressions
    std::string (*entry)(const uint8_t* data, size_t size);
};
inline constexpr FUZZ_TARGET kFuzzTargets[] = {
    {"frames", FuzzLocatorStream},
    {"nmea", FuzzNmeaStream},
    {"config", FuzzConfigFile},
    {"surveylog", FuzzSurveyLog},
    {"rtcm", FuzzRtcmStream},
    {"ntrip", FuzzNtripReply},
};
