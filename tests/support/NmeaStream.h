// A realistic GPS port byte stream for the decoder's tests and benchmark: a
// receiver walking a track at 1 Hz sending GGA, GSA, GSV, RMC and ZDA, with
// stretches without fix, stretches where a multi-constellation talker ("GN")
// replaces "GP", and line damage (changed bytes, lost bytes, a lost checksum
// digit, a sentence cut short by the next one, noise bursts). Alongside the
// bytes it lists what the decoder must report, so a test can check every
// result and every record. Built from a fixed seed: the same options give the
// same bytes. Needs no GoogleTest, so the benchmarks link it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gps/GpsRecords.h"

class CGpsDecoder;

// "$" + body + "*" + the two upper-case hexadecimal digits of the XOR of the
// body's bytes + CR LF.
std::string NmeaSentence(std::string_view body);

// One non-zero Decode result in stream order. After 132 (GGA) fix is the
// whole record the decoder must hold, after 133 (ZDA) zda is.
struct NmeaEvent {
    int nResult = 0;
    GPS_FIX fix;
    ZDA_DATA zda;
};

struct NmeaStreamOptions {
    uint32_t nSeconds = 3600;
    uint32_t nSeed = 20231231;
    bool bDamage = true;
};

struct NmeaStream {
    std::string bytes;
    std::vector<NmeaEvent> events;
    uint32_t nSentences = 0; // sentences begun, damaged ones included
    uint32_t nGga = 0;       // 132s expected
    uint32_t nZda = 0;       // 133s expected
    uint32_t nDamaged = 0;   // damaged sentences and noise bursts
};

// Starts at 23:30:00 UTC on 31 December 2023, just west of the zero meridian,
// so an hour crosses midnight, the new year and from west to east longitude.
// The stream opens in the middle of a sentence, as a port opened at any time
// does.
NmeaStream MakeNmeaStream(const NmeaStreamOptions& options = {});

// Feeds bytes as the GPS reader does: chunks of at most chunkSize bytes, each
// handed to Decode again and again until consumed. Returns every non-zero
// result; onResult, when given, runs right after each one (the decoder's
// records then belong to that sentence). Stops early if Decode consumes
// nothing (not initialised, no buffer).
std::vector<int> DecodeAll(CGpsDecoder& decoder, std::string_view bytes, size_t chunkSize = 128,
                           const std::function<void(int)>& onResult = {});
