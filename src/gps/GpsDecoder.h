// NMEA 0183 sentence decoder for the GPS port: collects sentences byte by byte,
// checks the optional checksum, splits complete sentences into fields and decodes
// "GPGGA" into the fix and "GPZDA" into the date and time record. Other threads
// take copies of the two records under "GpsDataSemaphore".
#pragma once

#include <cstdint>
#include <memory>

#include "gps/GeoDistance.h"
#include "gps/GpsRecords.h"
#include "platform/DebugFile.h"
#include "platform/Semaphore.h"

enum : int {
    GPS_MORE_DATA = 0,
    GPS_SENTENCE_COMPLETE = 131,
    GPS_GGA_DECODED = 132,
    GPS_ZDA_DECODED = 133,
    GPS_SENTENCE_IGNORED = -1,
    GPS_ERR_NOT_INITIALISED = 140,
    GPS_ERR_NO_BUFFER = 141,
    GPS_ERR_TOO_LONG = 142,
    GPS_ERR_NOT_COMPLETE = 143,
    GPS_ERR_OVERFLOW = 145,
    GPS_ERR_NO_START = 146,
    GPS_ERR_NO_MEMORY = 147,
    GPS_ERR_DOUBLE_STAR = 148,
    GPS_ERR_CHECKSUM_DIGITS = 149,
    GPS_ERR_CHECKSUM = 150,
    GPS_ERR_SEMAPHORE_CREATE = 152,
    GPS_ERR_WAIT_TIMEOUT = 153,
    GPS_ERR_WAIT_FAILED = 154,
    GPS_ERR_RELEASE_FAILED = 155,
    GPS_ERR_NOT_DIGIT = 156,
};

// Hand-off copy of the latest complete sentence: text without "$", "*", checksum
// digits and line end, NUL-terminated; length counts the NUL (at most 128).
struct NMEA_SENTENCE {
    char text[128];
    uint32_t length;
};

class CGpsDecoder {
public:
    CGpsDecoder();   // allocates nothing
    ~CGpsDecoder();  // Close()

    int Init();
    void SetDebug(bool enable);
    // GPS reader thread only.
    int Decode(const uint8_t* data, uint32_t length);
    uint32_t GetConsumed() const;
    // Any thread; 0, or 153/154 (nothing copied), or 155.
    int CopyGgaData(GPS_FIX* out);
    int CopyZdaData(ZDA_DATA* out);
    void Close();

    // ... private members as the implementation needs
};
