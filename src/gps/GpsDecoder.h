// NMEA 0183 sentence decoder for the GPS port: collects sentences byte by byte,
// checks the optional checksum, splits complete sentences into fields and decodes
// "GPGGA" into the fix, "GPZDA" into the date and time record, and "GPGST" and
// "GPGSA" into the fix's quality (each of every talker when told to take any;
// GST and GSA of the multi-constellation talker "GN" always, as receivers that
// keep "GP" for their GGA send the solution's GSA so).
// Lines end with CR LF or LF. Other threads take copies of the records under
// "GpsDataSemaphore".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "gps/GeoDistance.h"
#include "gps/GpsQuality.h"
#include "gps/GpsRecords.h"
#include "platform/DebugFile.h"
#include "platform/Semaphore.h"

enum : int {
    GPS_MORE_DATA = 0,
    GPS_SENTENCE_COMPLETE = 131,
    GPS_GGA_DECODED = 132,
    GPS_ZDA_DECODED = 133,
    GPS_GST_DECODED = 134,
    GPS_GSA_DECODED = 135,
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
    GPS_ERR_FIX_STALE = 157, // the last GGA is older than the maximum age
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
    CGpsDecoder(const CGpsDecoder&) = delete;
    CGpsDecoder& operator=(const CGpsDecoder&) = delete;

    // 0 (also when already initialised), 147 (what was allocated stays until
    // Close), 152.
    int Init();
    // true opens "GpsDecoder.txt" in the documents folder, truncating it; false
    // changes nothing. Debug output stays off if the file cannot be opened.
    void SetDebug(bool enable);
    // GPS reader thread only. Takes bytes until a sentence ends, an error occurs
    // or the chunk runs out: 0, 132, 133, -1 or an error code. The caller goes
    // on with the rest of the chunk after GetConsumed() bytes.
    int Decode(const uint8_t* data, uint32_t length);
    uint32_t GetConsumed() const;
    // Any thread; 0, or 153/154 (nothing copied), or 155.
    int CopyGgaData(GPS_FIX* out, GPS_QUALITY* quality = nullptr);
    int CopyZdaData(ZDA_DATA* out);
    // Takes GGA and ZDA of any talker (GN, GL, GA, BD...) as those of GP. Any
    // thread; the next sentence sees it.
    void SetAnyTalker(bool any) { m_bAnyTalker = any; }
    // A fix is current for this long after the GGA that gave it; 0 for ever.
    void SetMaxFixAge(std::chrono::milliseconds age) { m_maxAgeMs = age.count(); }
    // As CopyGgaData, but 157 (nothing copied) when the fix is older than the
    // maximum age: a receiver that fell silent must not lend its last position
    // to every later point.
    // With quality, the fix's quality record comes from the same epoch: the
    // GGA's fix type, correction age and station, the accuracies of the GST
    // with the GGA's UTC and the DOPs of the GSAs of its burst; what has not
    // come (yet) is absent, as the copy never waits. When the fix is stale
    // the record says "no fix". Both records are whole or untouched.
    int CopyCurrentGga(GPS_FIX* out, GPS_QUALITY* quality = nullptr);
    // Tells the quality records where the bytes come from (SOURCE_RECEIVER,
    // SOURCE_GPSD). Any thread; the next copy sees it.
    void SetPositionSource(int32_t source) { m_nSource = source; }
    // Marks a held fix that has grown too old as "no fix"; true when it did so.
    bool RetireStaleFix();
    // GPS reader thread: the identifier of a GGA with a fix that was ignored for
    // its talker since the last call ("GNGGA"); false when there was none.
    bool TakeIgnoredGga(char (&id)[6]);
    // Any thread. Marks the held fix as "no fix" (nGpsFix 0) and changes nothing
    // else, so that a fix received before the GPS port was lost is not handed on
    // as current. Waits at most 250 ms for "GpsDataSemaphore"; if the wait fails
    // the fix stays as it was.
    void InvalidateFix();
    // Frees everything Init made and returns to the constructed state. Neither
    // Decode nor a copy may run meanwhile.
    void Close();

    // Text the hand-off record holds, terminating NUL included.
    static constexpr uint32_t kSentenceSize = sizeof(NMEA_SENTENCE::text);
    // Every wait on "GpsDataSemaphore".
    static constexpr uint32_t kSemaphoreWaitMs = 250;
    // Two sentences that end this far apart lie in two bursts: between them
    // the line was quiet. Within a burst they end one sentence's time on the
    // line apart (an 82-character sentence takes 171 ms at 4800 baud), as
    // gpsd hands them on too.
    static constexpr std::chrono::milliseconds kBurstQuiet{200};

private:
    // One non-empty field of a sentence: its NMEA position (0 the identifier)
    // and its NUL-terminated text.
    struct NMEA_FIELD {
        uint32_t nPosition;
        const char* pszText;
        uint32_t nLength;
    };
    // Non-empty fields need a separator each, so a sentence that fits the
    // hand-off record has at most kSentenceSize / 2 of them.
    static constexpr uint32_t kMaxFields = kSentenceSize / 2;
    struct FIELD_LIST {
        char text[kSentenceSize]; // the sentence with its commas turned to NULs
        NMEA_FIELD fields[kMaxFields];
        uint32_t nCount;
    };

    int CharacterStep(uint8_t byte);
    int EndSentence();
    void ResetCollection();
    int HandOff();
    int SplitAndDispatch();
    void GetGGAData(const FIELD_LIST& list);
    void GetZDAData(const FIELD_LIST& list);
    void GetGSTData(const FIELD_LIST& list, int64_t utc);
    void GetGSAData(const FIELD_LIST& list);
    void FillQualityLocked(GPS_QUALITY& quality) const;                        // under the semaphore
    int Obtain();
    bool FixIsCurrentLocked() const; // under the semaphore

    uint32_t m_u32Consumed = 0;
    uint32_t m_dwFlags = 0;
    std::unique_ptr<char[]> m_pText;
    uint32_t m_u32Length = 0;
    uint8_t m_u8Checksum = 0;
    uint8_t m_u8ReceivedChecksum = 0;
    uint32_t m_u32ChecksumDigits = 0;
    char m_cCurrent = 0;
    char m_cPrevious = 0;
    std::unique_ptr<NMEA_SENTENCE> m_pSentence;
    std::unique_ptr<GPS_FIX> m_pFix;
    std::unique_ptr<ZDA_DATA> m_pZda;
    std::unique_ptr<CSemaphore> m_pSemaphore;
    std::unique_ptr<CGeoDistance> m_pCalculator;
    double m_dfPrevLat = 0.0;
    double m_dfPrevLong = 0.0;
    int32_t m_nFixCount = 0;
    std::atomic<bool> m_bAnyTalker{false};
    std::atomic<long long> m_maxAgeMs{0};
    std::chrono::steady_clock::time_point m_lastGga{}; // under the semaphore
    bool m_bHaveGga = false;                           // under the semaphore
    char m_szIgnoredGga[6] = {};                       // GPS reader thread only
    std::atomic<int32_t> m_nSource{SOURCE_RECEIVER};
    // Quality of the held fix, under the semaphore, each value from the fix's
    // own epoch. A receiver sends an epoch's sentences as one burst. GST
    // carries the epoch's UTC and counts only for the GGA with the same one;
    // GSA carries none and counts for the GGA of the burst it came in, before
    // or after that GGA. A burst ends when a sentence carries another UTC
    // (GGA, GST, RMC, GNS, GLL) or after the line was quiet for kBurstQuiet.
    // The two latest bursts are kept, so an epoch's values survive the first
    // sentences of the next until its GGA comes.
    struct EPOCH_GST {
        GPS_QUALITY quality;
        int64_t utc = -1; // UtcKey of field 1; -1 none
        uint32_t burst = 0;
    };
    struct EPOCH_GSA {
        GPS_QUALITY quality; // the GSAs of one burst (one per constellation) as one record
        uint32_t burst = 0;
    };
    // Burst bookkeeping for every sentence; the UtcKey of its time field, -1
    // when it has none. Under the semaphore.
    int64_t StartSentenceLocked(const FIELD_LIST& list);
    GPS_QUALITY m_ggaQuality;
    int64_t m_ggaUtc = -1;
    uint32_t m_u32GgaBurst = 0;
    EPOCH_GST m_gst[2];
    uint32_t m_u32GstNewest = 0;
    EPOCH_GSA m_gsa[2]; // by burst parity
    uint32_t m_u32Burst = 1;
    int64_t m_burstUtc = -1;
    int64_t m_lastSentenceMs = INT64_MIN / 2; // CLOCK_MONOTONIC_COARSE at the last sentence
    bool m_bResynchronise = false;
    bool m_bInitialised = false;
    CDebugFile m_debugFile;
};
