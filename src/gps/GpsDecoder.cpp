#include "gps/GpsDecoder.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "gps/NmeaFields.h"
#include "platform/Folders.h"

namespace {

// Collection flags.
constexpr uint32_t kFlagStart = 0x1;    // "$" seen
constexpr uint32_t kFlagComplete = 0x2; // line end or "$" ended the stored text
constexpr uint32_t kFlagChecksum = 0x4; // reading the digits after "*"
constexpr uint32_t kFlagMismatch = 0x8; // received checksum differs

// The text buffer is twice the sentence record, but no more characters are
// ever stored than the record could hold, so an overlong line is cut short
// instead of running on.
constexpr uint32_t kTextBufferSize = 256;
constexpr uint32_t kMaxStored = 128;

bool IsUpperLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}

// Digit value of text[index], -1 past the end of the field: a short ZDA time
// reads as non-digits rather than as whatever follows it.
int DigitAt(const char* text, uint32_t length, uint32_t index)
{
    return index < length ? NmeaDigitValue(text[index]) : -1;
}

// Whole seconds of a ZDA time; a conversion beyond the int range (only a
// nonsense field can give one) saturates instead of being undefined.
int32_t WholeSeconds(double seconds)
{
    if (!(seconds < static_cast<double>(INT32_MAX)))
        return INT32_MAX;
    if (!(seconds > static_cast<double>(INT32_MIN)))
        return INT32_MIN;
    return static_cast<int32_t>(seconds);
}

// An epoch's UTC (hhmmss.sss) as whole milliseconds, so "150119.00" and
// "150119.000" are one epoch; -1 for a field that holds no time.
int64_t UtcKey(const char* text, uint32_t length)
{
    const double utc = NmeaDecimal(text, length);
    if (!(utc >= 0.0 && utc < 1e7))
        return -1;
    return std::llround(utc * 1000.0);
}

} // namespace

CGpsDecoder::CGpsDecoder() = default;

CGpsDecoder::~CGpsDecoder() { Close(); }

int CGpsDecoder::Init()
{
    if (m_bInitialised)
        return 0;
    if (!m_pText) {
        m_pText.reset(new (std::nothrow) char[kTextBufferSize]());
        if (!m_pText)
            return GPS_ERR_NO_MEMORY;
    }
    if (!m_pSentence) {
        m_pSentence.reset(new (std::nothrow) NMEA_SENTENCE());
        if (!m_pSentence)
            return GPS_ERR_NO_MEMORY;
    }
    if (!m_pFix) {
        m_pFix.reset(new (std::nothrow) GPS_FIX());
        if (!m_pFix)
            return GPS_ERR_NO_MEMORY;
    }
    if (!m_pZda) {
        m_pZda.reset(new (std::nothrow) ZDA_DATA());
        if (!m_pZda)
            return GPS_ERR_NO_MEMORY;
    }
    if (!m_pCalculator) {
        m_pCalculator.reset(new (std::nothrow) CGeoDistance());
        if (!m_pCalculator)
            return GPS_ERR_NO_MEMORY;
    }
    if (!m_pSemaphore) {
        try {
            m_pSemaphore = std::make_unique<CSemaphore>("GpsDataSemaphore");
        } catch (const std::bad_alloc&) {
            return GPS_ERR_SEMAPHORE_CREATE;
        }
    }
    m_bInitialised = true;
    return 0;
}

void CGpsDecoder::SetDebug(bool enable)
{
    if (!enable || m_debugFile.IsOpen())
        return;
    if (m_debugFile.Open(DocumentsPath("GpsDecoder.txt"), CDebugFile::Mode::Truncate))
        m_debugFile.Printf("Opened GpsDecoder.txt\n");
}

uint32_t CGpsDecoder::GetConsumed() const { return m_u32Consumed; }

void CGpsDecoder::ResetCollection()
{
    if (m_pText)
        std::memset(m_pText.get(), 0, m_u32Length);
    m_dwFlags = 0;
    m_u32Length = 0;
    m_u8Checksum = 0;
    m_u8ReceivedChecksum = 0;
    m_u32ChecksumDigits = 0;
    m_bResynchronise = false;
}

int CGpsDecoder::EndSentence()
{
    m_pText[m_u32Length++] = '\0';
    m_dwFlags = (m_dwFlags & ~(kFlagStart | kFlagComplete)) | kFlagComplete;
    return (m_dwFlags & kFlagMismatch) ? GPS_ERR_CHECKSUM : GPS_SENTENCE_COMPLETE;
}

int CGpsDecoder::CharacterStep(uint8_t byte)
{
    m_cPrevious = m_cCurrent;
    m_cCurrent = static_cast<char>(byte);
    const char c = m_cCurrent;

    // A "$" never opens a second sentence on top of stored text: receivers
    // that drop the line end still get their sentence ended by the next one.
    if (c == '$') {
        if (m_u32Length == 0) {
            m_dwFlags |= kFlagStart;
            return GPS_MORE_DATA;
        }
        return EndSentence();
    }
    if (c == '\n' && m_cPrevious == '\r') {
        if ((m_dwFlags & kFlagStart) && m_u32Length > 0)
            return EndSentence();
        return GPS_ERR_NO_START;
    }
    // Receivers that end their lines with LF alone: after text it ends the line
    // as CR LF does, or every sentence would wait for the next "$". A digit
    // pair cut short by it is a checksum that cannot match.
    if (c == '\n') {
        if (m_u32Length == 0)
            return GPS_MORE_DATA; // a blank line
        if (!(m_dwFlags & kFlagStart))
            return GPS_ERR_NO_START;
        if (m_u32ChecksumDigits == 1)
            m_dwFlags |= kFlagMismatch;
        return EndSentence();
    }
    if (m_u32Length >= kMaxStored)
        return GPS_ERR_OVERFLOW;
    if (c == '*') {
        if (m_dwFlags & kFlagChecksum)
            return GPS_ERR_DOUBLE_STAR;
        m_dwFlags |= kFlagChecksum;
        return GPS_MORE_DATA;
    }
    // Everything after "*" is a checksum digit, a carriage return too: "*" CR LF
    // is then a sentence without checksum, "*7" CR LF a checksum that fails.
    if (m_dwFlags & kFlagChecksum) {
        if (m_u32ChecksumDigits >= 2)
            return GPS_ERR_CHECKSUM_DIGITS;
        const int value = NmeaDigitValue(c);
        if (m_u32ChecksumDigits == 0) {
            m_u8ReceivedChecksum = static_cast<uint8_t>(value * 16);
        } else {
            m_u8ReceivedChecksum = static_cast<uint8_t>(m_u8ReceivedChecksum + value);
            if (m_u8ReceivedChecksum != m_u8Checksum)
                m_dwFlags |= kFlagMismatch;
            m_dwFlags &= ~kFlagChecksum;
        }
        ++m_u32ChecksumDigits;
        return GPS_MORE_DATA;
    }
    if (c == '\r')
        return GPS_MORE_DATA;
    m_pText[m_u32Length++] = c;
    m_u8Checksum ^= static_cast<uint8_t>(c);
    return GPS_MORE_DATA;
}

int CGpsDecoder::HandOff()
{
    if (!(m_dwFlags & kFlagComplete))
        return GPS_ERR_NOT_COMPLETE;
    if (m_u32Length > kSentenceSize) {
        m_bResynchronise = true;
        return GPS_ERR_TOO_LONG;
    }
    std::memset(m_pSentence.get(), 0, sizeof(NMEA_SENTENCE));
    std::memcpy(m_pSentence->text, m_pText.get(), m_u32Length);
    m_pSentence->length = m_u32Length;
    ResetCollection();
    return GPS_SENTENCE_COMPLETE;
}

int CGpsDecoder::Obtain()
{
    if (!m_pSemaphore)
        return GPS_ERR_WAIT_FAILED;
    switch (m_pSemaphore->Wait(kSemaphoreWaitMs)) {
    case SemWait::Obtained:
        return 0;
    case SemWait::TimedOut:
        return GPS_ERR_WAIT_TIMEOUT;
    case SemWait::Failed:
        break;
    }
    return GPS_ERR_WAIT_FAILED;
}

int CGpsDecoder::Decode(const uint8_t* data, uint32_t length)
{
    int result = GPS_MORE_DATA;
    if (!m_bInitialised)
        result = GPS_ERR_NOT_INITIALISED;
    else if (data == nullptr || !m_pText || !m_pSentence)
        result = GPS_ERR_NO_BUFFER;

    if (m_bResynchronise)
        ResetCollection();
    m_u32Consumed = 0;
    if (result == GPS_MORE_DATA) {
        while (m_u32Consumed < length) {
            result = CharacterStep(data[m_u32Consumed]);
            ++m_u32Consumed;
            if (result != GPS_MORE_DATA)
                break;
        }
        if (result == GPS_MORE_DATA)
            return GPS_MORE_DATA;
    }
    if (result != GPS_SENTENCE_COMPLETE) {
        m_bResynchronise = true;
        m_dwFlags &= ~kFlagStart;
        return result;
    }

    result = HandOff();
    if (result != GPS_SENTENCE_COMPLETE)
        return result;
    result = Obtain();
    if (result != 0)
        return result;
    result = SplitAndDispatch();
    m_pSemaphore->Release();
    return result;
}

int CGpsDecoder::SplitAndDispatch()
{
    FIELD_LIST list;
    list.nCount = 0;
    std::memcpy(list.text, m_pSentence->text, kSentenceSize);

    // A NUL that came in as data ends the sentence just as the terminator does.
    const uint32_t end = m_pSentence->length > 0 ? m_pSentence->length - 1 : 0;
    uint32_t position = 0;
    uint32_t fieldStart = 0;
    for (uint32_t i = 0; i <= end; ++i) {
        const char c = list.text[i];
        if (c != ',' && c != '\0')
            continue;
        list.text[i] = '\0';
        if (i > fieldStart && list.nCount < kMaxFields)
            list.fields[list.nCount++] = NMEA_FIELD{position, list.text + fieldStart, i - fieldStart};
        if (c == '\0')
            break;
        ++position;
        fieldStart = i + 1;
    }

    // The identifier must be the sentence's own first field: in "$,GPGGA,..."
    // every field would land one position off and fill the fix with nonsense.
    if (list.nCount == 0 || list.fields[0].nPosition != 0)
        return GPS_SENTENCE_IGNORED;
    // The identifier is a two-letter talker and the sentence type: GP for GPS
    // alone, GN for a multi-constellation solution, GL, GA, BD... for one system.
    const NMEA_FIELD& id = list.fields[0];
    if (id.nLength != 5 || !IsUpperLetter(id.pszText[0]) || !IsUpperLetter(id.pszText[1]))
        return GPS_SENTENCE_IGNORED;
    const int64_t utc = StartSentenceLocked(list);
    const bool gga = std::memcmp(id.pszText + 2, "GGA", 3) == 0;
    const bool zda = std::memcmp(id.pszText + 2, "ZDA", 3) == 0;
    const bool gst = std::memcmp(id.pszText + 2, "GST", 3) == 0;
    const bool gsa = std::memcmp(id.pszText + 2, "GSA", 3) == 0;
    const bool taken = m_bAnyTalker.load(std::memory_order_relaxed) || std::memcmp(id.pszText, "GP", 2) == 0;
    const bool solution = taken || std::memcmp(id.pszText, "GN", 2) == 0;
    if (gga && !taken) {
        // Remembered for the reader, who tells the user why no fix comes.
        for (uint32_t i = 1; i < list.nCount; ++i) {
            if (list.fields[i].nPosition == 6 && NmeaInteger(list.fields[i].pszText, list.fields[i].nLength) != 0)
                std::memcpy(m_szIgnoredGga, id.pszText, 6);
        }
    }
    if (gga && taken) {
        GetGGAData(list);
        m_ggaUtc = utc;
        m_lastGga = std::chrono::steady_clock::now();
        m_bHaveGga = true;
        return GPS_GGA_DECODED;
    }
    if (zda && taken) {
        GetZDAData(list);
        return GPS_ZDA_DECODED;
    }
    if (gst && solution) {
        GetGSTData(list, utc);
        return GPS_GST_DECODED;
    }
    if (gsa && solution) {
        GetGSAData(list);
        return GPS_GSA_DECODED;
    }
    return GPS_SENTENCE_IGNORED;
}

// Sentences that carry their epoch's UTC in a known field. ZDA is left out:
// some receivers time it to the coming pulse-per-second rather than to the
// epoch they are sending.
int64_t CGpsDecoder::StartSentenceLocked(const FIELD_LIST& list)
{
    // The coarse clock: its few milliseconds are nothing beside kBurstQuiet,
    // and it costs a fraction of the precise one.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (nowMs - m_lastSentenceMs > kBurstQuiet.count()) {
        ++m_u32Burst;
        m_burstUtc = -1;
    }
    m_lastSentenceMs = nowMs;
    const char* type = list.fields[0].pszText + 2;
    uint32_t timeField = 0;
    if (std::memcmp(type, "GGA", 3) == 0 || std::memcmp(type, "GST", 3) == 0 || std::memcmp(type, "RMC", 3) == 0 ||
        std::memcmp(type, "GNS", 3) == 0)
        timeField = 1;
    else if (std::memcmp(type, "GLL", 3) == 0)
        timeField = 5;
    if (timeField == 0)
        return -1;
    for (uint32_t i = 1; i < list.nCount && list.fields[i].nPosition <= timeField; ++i) {
        if (list.fields[i].nPosition != timeField)
            continue;
        const int64_t utc = UtcKey(list.fields[i].pszText, list.fields[i].nLength);
        if (utc < 0)
            return -1;
        if (m_burstUtc >= 0 && utc != m_burstUtc)
            ++m_u32Burst;
        m_burstUtc = utc;
        return utc;
    }
    return -1;
}

void CGpsDecoder::GetGGAData(const FIELD_LIST& list)
{
    GPS_FIX& fix = *m_pFix;
    // The fix record keeps an empty field's old value, as the handheld did; its
    // quality does not: an empty correction age is no correction.
    GPS_QUALITY& quality = m_ggaQuality;
    quality.Clear();
    m_u32GgaBurst = m_u32Burst;
    fix.u32Missing = FIX_NO_ALTITUDE | FIX_NO_SEPARATION;
    for (uint32_t i = 0; i < list.nCount; ++i) {
        const char* text = list.fields[i].pszText;
        const uint32_t length = list.fields[i].nLength;
        switch (list.fields[i].nPosition) {
        case 1: fix.dfUTC = NmeaDecimal(text, length); break;
        case 2: NmeaCoordinate(text, length, 2, &fix.dfLatAng); break;
        case 3: fix.nLatDir = (text[0] == 'N' || text[0] == 'n') ? DIR_NORTH : (text[0] == 'S' || text[0] == 's') ? DIR_SOUTH : DIR_NONE; break;
        case 4: NmeaCoordinate(text, length, 3, &fix.dfLongAng); break;
        case 5: fix.nLongDir = (text[0] == 'W' || text[0] == 'w') ? DIR_WEST : (text[0] == 'E' || text[0] == 'e') ? DIR_EAST : DIR_NONE; break;
        case 6:
            fix.nGpsFix = static_cast<uint32_t>(NmeaInteger(text, length));
            quality.u32Present |= QUALITY_FIX_TYPE;
            break;
        case 7: fix.nNoSats = static_cast<uint32_t>(NmeaInteger(text, length)); break;
        case 8: fix.dfHorizDil = NmeaDecimal(text, length); break;
        case 9:
            fix.dfAltVal = NmeaDecimal(text, length);
            fix.u32Missing &= ~FIX_NO_ALTITUDE;
            break;
        case 10: fix.nAltUnits = (text[0] == 'M' || text[0] == 'm') ? UNITS_METRES : UNITS_NONE; break;
        case 11:
            fix.dfGeoidVal = NmeaDecimal(text, length);
            fix.u32Missing &= ~FIX_NO_SEPARATION;
            break;
        case 12: fix.nGeoidUnits = (text[0] == 'M' || text[0] == 'm') ? UNITS_METRES : UNITS_NONE; break;
        case 13:
            fix.nDgpsTime = static_cast<uint32_t>(NmeaInteger(text, length));
            quality.dfCorrectionAge = NmeaDecimal(text, length);
            quality.u32Present |= QUALITY_CORRECTION_AGE;
            break;
        case 14:
            fix.nDgpsId = static_cast<uint32_t>(NmeaInteger(text, length));
            quality.u32Station = fix.nDgpsId;
            quality.u32Present |= QUALITY_STATION;
            break;
        default: break;
        }
    }

    // Only valid fixes take part in the distance trace, so after a loss of fix
    // the next one is measured from the last good position.
    if (fix.nGpsFix == 0)
        return;
    double haversine = 0.0;
    double vincenty = 0.0;
    if (m_pCalculator && m_nFixCount > 0) {
        haversine = m_pCalculator->HaversineDistance(m_dfPrevLat, fix.dfLatAng, m_dfPrevLong, fix.dfLongAng,
                                                     CGeoDistance::kEarthRadius);
        vincenty = m_pCalculator->VincentyDistance(m_dfPrevLat, fix.dfLatAng, m_dfPrevLong, fix.dfLongAng,
                                                   CGeoDistance::kSemiMajor, CGeoDistance::kSemiMinor);
    }
    if (m_debugFile.IsOpen()) {
        m_debugFile.Printf("\nGetGGAData GPS_FIX"
                           "\ndfUTC = %f"
                           "\nNo. Satellites = %u"
                           "\nPrev Lat. Angle  = %f"
                           "\nLat. Angle       = %f"
                           "\nPrev Long. Angle = %f"
                           "\nLong. Angle      = %f"
                           "\nHaversine Distance (meters) = %f"
                           "\nVincenty Distance (meters)  = %f\n",
                           fix.dfUTC, fix.nNoSats, m_dfPrevLat, fix.dfLatAng, m_dfPrevLong, fix.dfLongAng, haversine,
                           vincenty);
    }
    m_dfPrevLat = fix.dfLatAng;
    m_dfPrevLong = fix.dfLongAng;
    ++m_nFixCount;
}

// $GPGST,150119.000,004.0,008.7,004.7,132.3,006.8,007.2,00014*71
// 1 UTC, 2 RMS of the range residuals, 3/4 error ellipse semi-major/semi-minor
// (m, 1 sigma), 5 its orientation, 6/7/8 latitude/longitude/height error (m,
// 1 sigma). The horizontal accuracy is the root of the sum of the latitude and
// longitude variances; the ellipse axes give the same sum but not every
// receiver fills them.
void CGpsDecoder::GetGSTData(const FIELD_LIST& list, int64_t utc)
{
    // A second GST of one epoch replaces the first; another epoch's takes the
    // older slot.
    if (m_gst[m_u32GstNewest].utc != utc || utc < 0)
        m_u32GstNewest ^= 1u;
    EPOCH_GST& slot = m_gst[m_u32GstNewest];
    slot.utc = utc;
    slot.burst = m_u32Burst;
    GPS_QUALITY& quality = slot.quality;
    quality.Clear();
    bool haveLat = false;
    bool haveLong = false;
    double latSigma = 0.0;
    double longSigma = 0.0;
    for (uint32_t i = 0; i < list.nCount; ++i) {
        const char* text = list.fields[i].pszText;
        const uint32_t length = list.fields[i].nLength;
        switch (list.fields[i].nPosition) {
        case 6: latSigma = NmeaDecimal(text, length); haveLat = true; break;
        case 7: longSigma = NmeaDecimal(text, length); haveLong = true; break;
        case 8:
            quality.dfVAccuracy = NmeaDecimal(text, length);
            quality.u32Present |= QUALITY_V_ACCURACY;
            break;
        default: break;
        }
    }
    if (haveLat && haveLong) {
        quality.dfHAccuracy = std::sqrt(latSigma * latSigma + longSigma * longSigma);
        quality.u32Present |= QUALITY_H_ACCURACY;
    }
}

// $GPGSA,A,3,04,09,16,26,07,03,27,02,,,,,1.21,0.94,0.76*01
// 1 M/A selection, 2 fix mode (1 none, 2 2D, 3 3D), 3-14 satellites used,
// 15 PDOP, 16 HDOP, 17 VDOP (18 system id from NMEA 4.10). A receiver that
// uses several constellations sends one GSA for each, all in one epoch: the
// solution's DOPs are the same in each, or only in some, so the burst keeps
// the first value of each and the best fix mode.
void CGpsDecoder::GetGSAData(const FIELD_LIST& list)
{
    EPOCH_GSA& slot = m_gsa[m_u32Burst & 1u];
    if (slot.burst != m_u32Burst) {
        slot.quality.Clear();
        slot.burst = m_u32Burst;
    }
    GPS_QUALITY& quality = slot.quality;
    for (uint32_t i = 0; i < list.nCount; ++i) {
        const char* text = list.fields[i].pszText;
        const uint32_t length = list.fields[i].nLength;
        switch (list.fields[i].nPosition) {
        case 2: {
            const int32_t mode = NmeaInteger(text, length);
            if (!quality.Has(QUALITY_FIX_MODE) || mode > quality.nFixMode)
                quality.nFixMode = mode;
            quality.u32Present |= QUALITY_FIX_MODE;
            break;
        }
        case 15:
            if (!quality.Has(QUALITY_PDOP)) {
                quality.dfPdop = NmeaDecimal(text, length);
                quality.u32Present |= QUALITY_PDOP;
            }
            break;
        case 17:
            if (!quality.Has(QUALITY_VDOP)) {
                quality.dfVdop = NmeaDecimal(text, length);
                quality.u32Present |= QUALITY_VDOP;
            }
            break;
        default: break;
        }
    }
}

void CGpsDecoder::GetZDAData(const FIELD_LIST& list)
{
    ZDA_DATA& zda = *m_pZda;
    for (uint32_t i = 0; i < list.nCount; ++i) {
        const char* text = list.fields[i].pszText;
        const uint32_t length = list.fields[i].nLength;
        switch (list.fields[i].nPosition) {
        case 1:
            zda.dfUTC = NmeaDecimal(text, length);
            zda.nHour = 10 * DigitAt(text, length, 0) + DigitAt(text, length, 1);
            zda.nMinute = 10 * DigitAt(text, length, 2) + DigitAt(text, length, 3);
            zda.nSecond = length > 4 ? WholeSeconds(NmeaDecimal(text + 4, length - 4)) : 0;
            break;
        case 2: zda.nDay = NmeaInteger(text, length); break;
        case 3: zda.nMonth = NmeaInteger(text, length); break;
        case 4: zda.nYear = NmeaInteger(text, length); break;
        case 5: zda.nLocalZoneHour = NmeaInteger(text, length); break;
        case 6: zda.nLocalZoneMinute = NmeaInteger(text, length); break;
        default: break;
        }
    }
    if (m_debugFile.IsOpen()) {
        m_debugFile.Printf("\nZDAData : "
                           "\ndfUTC            = %f"
                           "\nnHour            = %d"
                           "\nnMinute          = %d"
                           "\nnSecond          = %d"
                           "\nnDay             = %d"
                           "\nnMonth           = %d"
                           "\nnYear            = %d"
                           "\nnLocalZoneHour   = %d"
                           "\nnLocalZoneMinute = %d\n",
                           zda.dfUTC, zda.nHour, zda.nMinute, zda.nSecond, zda.nDay, zda.nMonth, zda.nYear,
                           zda.nLocalZoneHour, zda.nLocalZoneMinute);
    }
}

int CGpsDecoder::CopyGgaData(GPS_FIX* out, GPS_QUALITY* quality)
{
    const int waited = Obtain();
    if (waited != 0)
        return waited;
    if (m_pFix && out != nullptr) {
        std::memset(static_cast<void*>(out), 0, sizeof(GPS_FIX));
        *out = *m_pFix;
    }
    if (m_pFix && quality != nullptr) {
        quality->Clear();
        quality->nSource = m_nSource.load(std::memory_order_relaxed);
        quality->u32Present = QUALITY_FIX_TYPE;
        FillQualityLocked(*quality);
    }
    return m_pSemaphore->Release() ? 0 : GPS_ERR_RELEASE_FAILED;
}

int CGpsDecoder::CopyZdaData(ZDA_DATA* out)
{
    const int waited = Obtain();
    if (waited != 0)
        return waited;
    if (m_pZda && out != nullptr) {
        std::memset(static_cast<void*>(out), 0, sizeof(ZDA_DATA));
        *out = *m_pZda;
    }
    return m_pSemaphore->Release() ? 0 : GPS_ERR_RELEASE_FAILED;
}

int CGpsDecoder::CopyCurrentGga(GPS_FIX* out, GPS_QUALITY* quality)
{
    const int waited = Obtain();
    if (waited != 0)
        return waited;
    int result = 0;
    const bool current = FixIsCurrentLocked();
    if (!current)
        result = GPS_ERR_FIX_STALE;
    else if (m_pFix && out != nullptr)
        *out = *m_pFix;
    if (quality != nullptr) {
        quality->Clear();
        quality->nSource = m_nSource.load(std::memory_order_relaxed);
        quality->u32Present = QUALITY_FIX_TYPE;
        if (current && m_pFix)
            FillQualityLocked(*quality);
    }
    if (!m_pSemaphore->Release() && result == 0)
        result = GPS_ERR_RELEASE_FAILED;
    return result;
}

// A point without a fix has no accuracy, DOPs or corrections worth keeping:
// what GST and GSA said then describes no position.
void CGpsDecoder::FillQualityLocked(GPS_QUALITY& quality) const
{
    if (m_pFix->nGpsFix > static_cast<uint32_t>(FIX_SBAS)) {
        quality.u32Present &= ~QUALITY_FIX_TYPE;
        return;
    }
    quality.nFixType = static_cast<int32_t>(m_pFix->nGpsFix);
    if (m_pFix->nGpsFix == FIX_NONE)
        return;
    const uint32_t gga = m_ggaQuality.u32Present & (QUALITY_CORRECTION_AGE | QUALITY_STATION);
    quality.u32Present |= gga;
    quality.dfCorrectionAge = m_ggaQuality.dfCorrectionAge;
    quality.u32Station = m_ggaQuality.u32Station;
    // A gap split the epoch's burst at worst once: its GST may sit in the
    // burst next to the GGA's.
    for (const EPOCH_GST& gst : m_gst) {
        if (m_ggaUtc < 0 || gst.utc != m_ggaUtc || gst.burst + 1 < m_u32GgaBurst || gst.burst > m_u32GgaBurst + 1)
            continue;
        quality.u32Present |= gst.quality.u32Present & (QUALITY_H_ACCURACY | QUALITY_V_ACCURACY);
        quality.dfHAccuracy = gst.quality.dfHAccuracy;
        quality.dfVAccuracy = gst.quality.dfVAccuracy;
    }
    const EPOCH_GSA& gsa = m_gsa[m_u32GgaBurst & 1u];
    if (gsa.burst == m_u32GgaBurst) {
        quality.u32Present |= gsa.quality.u32Present & (QUALITY_PDOP | QUALITY_VDOP | QUALITY_FIX_MODE);
        quality.dfPdop = gsa.quality.dfPdop;
        quality.dfVdop = gsa.quality.dfVdop;
        quality.nFixMode = gsa.quality.nFixMode;
    }
}

bool CGpsDecoder::FixIsCurrentLocked() const
{
    const auto maxAge = std::chrono::milliseconds(m_maxAgeMs.load(std::memory_order_relaxed));
    if (maxAge.count() <= 0 || !m_bHaveGga)
        return true;
    return std::chrono::steady_clock::now() - m_lastGga <= maxAge;
}

bool CGpsDecoder::RetireStaleFix()
{
    if (Obtain() != 0)
        return false;
    const bool retire = m_pFix && m_pFix->nGpsFix != 0 && !FixIsCurrentLocked();
    if (retire)
        m_pFix->nGpsFix = 0;
    m_pSemaphore->Release();
    return retire;
}

bool CGpsDecoder::TakeIgnoredGga(char (&id)[6])
{
    if (m_szIgnoredGga[0] == '\0')
        return false;
    std::memcpy(id, m_szIgnoredGga, sizeof id);
    m_szIgnoredGga[0] = '\0';
    return true;
}

void CGpsDecoder::InvalidateFix()
{
    if (Obtain() != 0)
        return;
    if (m_pFix)
        m_pFix->nGpsFix = 0;
    m_pSemaphore->Release();
}

void CGpsDecoder::Close()
{
    m_pText.reset();
    m_pSentence.reset();
    m_pFix.reset();
    m_pZda.reset();
    m_pCalculator.reset();
    m_pSemaphore.reset();
    m_debugFile.Close();
    m_u32Consumed = 0;
    m_dwFlags = 0;
    m_u32Length = 0;
    m_u8Checksum = 0;
    m_u8ReceivedChecksum = 0;
    m_u32ChecksumDigits = 0;
    m_cCurrent = 0;
    m_cPrevious = 0;
    m_dfPrevLat = 0.0;
    m_dfPrevLong = 0.0;
    m_nFixCount = 0;
    m_bHaveGga = false;
    m_szIgnoredGga[0] = '\0';
    m_ggaQuality.Clear();
    m_ggaUtc = -1;
    m_u32GgaBurst = 0;
    m_gst[0] = EPOCH_GST{};
    m_gst[1] = EPOCH_GST{};
    m_u32GstNewest = 0;
    m_gsa[0] = EPOCH_GSA{};
    m_gsa[1] = EPOCH_GSA{};
    m_u32Burst = 1;
    m_burstUtc = -1;
    m_lastSentenceMs = INT64_MIN / 2;
    m_bResynchronise = false;
    m_bInitialised = false;
}
