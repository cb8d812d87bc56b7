#include "FuzzEntries.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/ConfigFile.h"
#include "gps/GpsDecoder.h"
#include "link/LocatorLink.h"
#include "corrections/NtripReply.h"
#include "corrections/Rtcm.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "support/FakeSerialDevice.h"
#include "support/LocatorPackets.h"
#include "support/NmeaStream.h"
#include "support/RecordingOwner.h"
#include "surveylog/LogFormat.h"
#include "surveylog/SurveyLog.h"

namespace {

// The link reads the locator's and the receiver's ports this much at a time.
constexpr size_t kReadChunk = 128;

// Files the entries write go to one folder per process, on tmpfs when there is
// one: the configuration and the survey log are synced to disk on every write,
// which on a real disk would cost more than the rest of a run.
class ScratchFolder {
public:
    ScratchFolder()
    {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fieldbook-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern + "/";
    }
    ~ScratchFolder()
    {
        if (m_path.empty())
            return;
        for (const char* name : {kConfigFileName, "input.txt", "written.txt"})
            ::unlink((m_path + name).c_str());
        ::rmdir(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The program's folders and clock, the same for every run.
const std::string& Scratch()
{
    static ScratchFolder folder;
    static const bool once = [] {
        SetDocumentsFolder(folder.Path());
        SetLogFolder(folder.Path());
        static const LOCAL_TIME clock{2024, 3, 5, 14, 7, 9};
        SetLocalTimeForTest(&clock);
        return true;
    }();
    (void)once;
    return folder.Path();
}

bool WriteBytes(const std::string& path, const void* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const char* p = static_cast<const char*>(data);
    bool ok = true;
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return (::close(fd) == 0) && ok;
}

std::string Hex(std::string_view bytes)
{
    std::string text;
    char two[4];
    for (unsigned char c : bytes.substr(0, 80)) {
        std::snprintf(two, sizeof two, "%02X", c);
        text += two;
    }
    return bytes.size() > 80 ? text + "..." : text;
}

// Feeds the GPS reader's way: reads of at most 128 bytes, each handed to
// Decode until it is used up. Every call must take at least one byte and no
// more than it was given, and say one of the results the reader knows.
std::string FeedDecoder(CGpsDecoder& decoder, const uint8_t* data, size_t size, int* ggaCount)
{
    for (size_t at = 0; at < size;) {
        const uint32_t read = static_cast<uint32_t>(std::min(kReadChunk, size - at));
        uint32_t consumed = 0;
        while (consumed < read) {
            const int rc = decoder.Decode(data + at + consumed, read - consumed);
            switch (rc) {
            case GPS_MORE_DATA:
            case GPS_GGA_DECODED:
            case GPS_ZDA_DECODED:
            case GPS_GST_DECODED:
            case GPS_GSA_DECODED:
            case GPS_SENTENCE_IGNORED:
            case GPS_ERR_TOO_LONG:
            case GPS_ERR_OVERFLOW:
            case GPS_ERR_NO_START:
            case GPS_ERR_DOUBLE_STAR:
            case GPS_ERR_CHECKSUM_DIGITS:
            case GPS_ERR_CHECKSUM:
                break;
            default:
                return "Decode gave " + std::to_string(rc);
            }
            if (rc == GPS_GGA_DECODED && ggaCount != nullptr)
                ++*ggaCount;
            const uint32_t step = decoder.GetConsumed();
            if (step == 0 || step > read - consumed)
                return "Decode took " + std::to_string(step) + " of " + std::to_string(read - consumed) + " bytes";
            consumed += step;
        }
        at += read;
    }
    return "";
}

// A reply the link wrote: one whole frame with a good FCS around FF 03 00 21,
// the command answered (only 1 and 2 earn one), ACK or NAK, and the long form
// only for an ACK, with its data length 64.
std::string CheckReply(const std::string& frame)
{
    const std::string payload = Unframe(frame);
    if (payload.empty())
        return "reply is not one good frame: " + Hex(frame);
    if (payload.size() != 6 && payload.size() != 72)
        return "reply of " + std::to_string(payload.size()) + " bytes: " + Hex(payload);
    if (payload.compare(0, 4, "\xFF\x03\x00\x21", 4) != 0)
        return "reply header " + Hex(payload.substr(0, 4));
    const uint8_t command = static_cast<uint8_t>(payload[4]);
    const uint8_t type = static_cast<uint8_t>(payload[5]);
    if (command != 1 && command != 2)
        return "reply to command " + std::to_string(command);
    if (type != REPLY_ACK && type != REPLY_NAK)
        return "reply type " + std::to_string(type);
    if (payload.size() == 72 && (type != REPLY_ACK || payload[6] != 64 || payload[7] != 0))
        return "long reply " + Hex(payload.substr(0, 8));
    return "";
}

int32_t DirectionAsLogged(int32_t code) { return code >= DIR_NORTH && code <= DIR_EAST ? code : DIR_NONE; }
int32_t UnitsAsLogged(int32_t code) { return code == UNITS_METRES ? code : UNITS_NONE; }

// The survey log's line of a point, whatever its values (NaN, infinities,
// 3.4e38 in every float, 1e308 in every double): one line of 43 fields that
// reads back with every whole-number field as it was printed.
std::string CheckLogLine(const SURVEY_POINT& point)
{
    char line[kLogLineSize];
    const size_t length = FormatLogLine(point, 0.0f, line, sizeof line);
    if (length == 0 || length >= sizeof line - 1 || std::strlen(line) != length || line[length - 1] != '\n')
        return "log line cut or not ended: " + Hex(std::string_view(line, length));
    if (std::count(line, line + length, ',') != kLogColumns - 1 || std::count(line, line + length, '\n') != 1)
        return "log line without 43 fields: " + std::string(line, length);
    SURVEY_POINT back;
    if (!ReadLogLine(line, back))
        return "log line does not read back: " + std::string(line, length);

    const LOCATE_DATA& a = point.LocateData;
    const LOCATE_DATA& b = back.LocateData;
    const GPS_FIX& f = point.GpsFix;
    const GPS_FIX& g = back.GpsFix;
    const int32_t mode = (point.nLocatorMode >= 1 && point.nLocatorMode <= 72) ? point.nLocatorMode : 0;
    bool same = back.nLocatorMode == (mode == 11 ? 0 : mode) && b.u32EepromFileIndex == a.u32EepromFileIndex &&
                b.nProtocolId == a.nProtocolId && b.nCompass == a.nCompass && b.nArrows == a.nArrows &&
                b.nAntennaMode == a.nAntennaMode && b.nAccessoryType == a.nAccessoryType &&
                b.nSondeLine == a.nSondeLine && b.nBattery == a.nBattery && b.nVolume == a.nVolume &&
                b.nOverload == a.nOverload && back.nGpsMode == point.nGpsMode &&
                back.nMarkerType == point.nMarkerType && back.RtcDate == point.RtcDate &&
                (back.RtcTime.u32Word & 0xFFFFFFu) == (point.RtcTime.u32Word & 0xFFFFFFu) &&
                back.nRtcUpdated == point.nRtcUpdated && back.ZdaData.nDay == point.ZdaData.nDay &&
                back.ZdaData.nMonth == point.ZdaData.nMonth && back.ZdaData.nYear == point.ZdaData.nYear &&
                g.nGpsFix == f.nGpsFix && g.nTimeInd == f.nTimeInd;
    if (f.nGpsFix != 0) {
        same = same && g.nLatDir == DirectionAsLogged(f.nLatDir) && g.nLongDir == DirectionAsLogged(f.nLongDir) &&
               g.nNoSats == f.nNoSats && g.nAltUnits == UnitsAsLogged(f.nAltUnits) &&
               g.nGeoidUnits == UnitsAsLogged(f.nGeoidUnits) && g.nDgpsTime == f.nDgpsTime &&
               g.nDgpsId == f.nDgpsId;
    }
    if (!same)
        return "log line reads back other whole numbers: " + std::string(line, length);
    return "";
}

// Every line of a written log: the two heading lines, then data lines of 43 fields.
std::string CheckWrittenLog(const std::string& text, size_t points)
{
    const std::string headings = std::string(kLogHeaderLine) + kLogUnitsLine;
    if (text.compare(0, headings.size(), headings) != 0)
        return "written log does not start with the heading lines";
    size_t lines = 0;
    for (size_t at = headings.size(); at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return "written log ends inside a line";
        if (std::count(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(end), ',') !=
            kLogColumns - 1)
            return "written line without 43 fields: " + text.substr(at, end - at);
        ++lines;
        at = end + 1;
    }
    if (lines != points)
        return "written log holds " + std::to_string(lines) + " lines for " + std::to_string(points) + " points";
    return "";
}

// A GGA that sets every field the decoder reads, and what it must decode to.
const std::string kProbeGga =
    NmeaSentence("GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,3.0,0120");

bool Near(double a, double b) { return std::fabs(a - b) < 1e-9; }

bool IsProbeFix(const GPS_FIX& fix)
{
    return fix.dfUTC == 123519.0 && Near(fix.dfLatAng, 48.1173) && fix.nLatDir == DIR_NORTH &&
           Near(fix.dfLongAng, 11.516666666666667) && fix.nLongDir == DIR_EAST && fix.nGpsFix == 1 &&
           fix.nNoSats == 8 && Near(fix.dfHorizDil, 0.9) && Near(fix.dfAltVal, 545.4) &&
           fix.nAltUnits == UNITS_METRES && Near(fix.dfGeoidVal, 46.9) && fix.nGeoidUnits == UNITS_METRES &&
           fix.nDgpsTime == 3 && fix.nDgpsId == 120;
}

bool SameRecord(const CConfigFile& a, const CConfigFile& b)
{
    return a.m_nGpsPort == b.m_nGpsPort && a.m_bGpsEnabled == b.m_bGpsEnabled &&
           a.m_nBluetoothPort == b.m_nBluetoothPort && a.m_bBluetoothEnabled == b.m_bBluetoothEnabled &&
           a.m_dwDebugLevel == b.m_dwDebugLevel && a.m_bFullResolution == b.m_bFullResolution;
}

// At most one message, and only the illegal-token kind: its line, then (when
// it came from a file) the line that says where it stopped.
std::string CheckMessages(const std::vector<std::string>& messages)
{
    if (messages.size() > 1)
        return std::to_string(messages.size()) + " configuration messages";
    if (messages.empty())
        return "";
    const std::string& text = messages[0];
    const size_t feed = text.find('\n');
    const std::string first = text.substr(0, feed);
    const std::string second = feed == std::string::npos ? std::string() : text.substr(feed + 1);
    const std::string tail = "; the settings after it are not read and keep their defaults";
    const bool whereOk = feed == std::string::npos ||
                         (second.rfind("fieldbook: in ", 0) == 0 && second.find('\n') == std::string::npos &&
                          second.size() > tail.size() &&
                          second.compare(second.size() - tail.size(), tail.size(), tail) == 0);
    if (first.rfind("Illegal ", 0) != 0 || first.back() != '>' || !whereOk)
        return "configuration message " + Hex(text);
    return "";
}

} // namespace

std::string FuzzLocatorStream(const uint8_t* data, size_t size)
{
    Scratch();
    FakeSerialDevice bluetooth;
    FakeSerialDevice gps;
    RecordingOwner owner;
    CLocatorLink link(owner);
    link.SetDeviceFactory([&](bool isBluetooth) { return isBluetooth ? bluetooth.MakeDevice() : gps.MakeDevice(); });
    link.SetPortCloseWait(std::chrono::milliseconds(0));
    if (link.Initialise() != LINK_OK)
        return "Initialise gave " + std::to_string(link.LastRetCode());
    link.GetBluetoothPort()->OpenPort(owner.bluetoothPort);

    const void* flag = size > 0 ? std::memchr(data, FRAME_FLAG, size) : nullptr;
    const size_t nmea = flag != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(flag) - data) : size;
    std::string failure = FeedDecoder(*link.GetGpsDecoder(), data, nmea, nullptr);

    std::vector<SURVEY_POINT> records;
    for (size_t at = nmea; at < size && failure.empty();) {
        const uint32_t read = static_cast<uint32_t>(std::min(kReadChunk, size - at));
        link.AssembleFrames(data + at, read);
        at += read;
        while (SURVEY_POINT* point = link.PeekLocateRecord()) {
            records.push_back(*point);
            link.PopLocateRecord();
        }
    }

    size_t acks = 0;
    for (const std::string& reply : bluetooth.Writes()) {
        if (failure.empty())
            failure = CheckReply(reply);
        const std::string payload = Unframe(reply);
        if (payload.size() >= 6 && static_cast<uint8_t>(payload[5]) == REPLY_ACK)
            ++acks;
    }
    // Each record queued is acknowledged but for command 2 with protocol ids
    // 4-7, which the locator's own rules leave unanswered; nothing else is.
    size_t answerable = 0;
    for (size_t i = 0; i < records.size() && failure.empty(); ++i) {
        const SURVEY_POINT& point = records[i];
        if (point.u32AppIdentifier != i + 1)
            failure = "record " + std::to_string(i + 1) + " numbered " + std::to_string(point.u32AppIdentifier);
        else if (point.nLocatorMode < 0 || point.nLocatorMode > 72)
            failure = "locator mode index " + std::to_string(point.nLocatorMode);
        else
            failure = CheckLogLine(point);
        if (point.LocateData.nProtocolId >= 0 && point.LocateData.nProtocolId <= 3)
            ++answerable;
    }
    if (failure.empty() && acks != answerable)
        failure = std::to_string(acks) + " ACKs for " + std::to_string(answerable) + " answerable records of " +
                  std::to_string(records.size());
    link.Shutdown();
    return failure;
}

std::string FuzzNmeaStream(const uint8_t* data, size_t size)
{
    CGpsDecoder decoder;
    if (decoder.Init() != 0)
        return "Init failed";
    // Half the inputs go through the any-talker rules.
    decoder.SetAnyTalker(size > 0 && (data[0] & 1) != 0);
    int ggaCount = 0;
    std::string failure = FeedDecoder(decoder, data, size, &ggaCount);
    if (!failure.empty())
        return failure;

    // Whatever came before, a line end and one good sentence decode.
    const std::string probe = "\r\n" + kProbeGga;
    const int before = ggaCount;
    failure = FeedDecoder(decoder, reinterpret_cast<const uint8_t*>(probe.data()), probe.size(), &ggaCount);
    if (!failure.empty())
        return failure;
    GPS_FIX fix;
    if (ggaCount == before || decoder.CopyGgaData(&fix) != 0 || !IsProbeFix(fix))
        return "a good GGA after the stream was not decoded";

    // A lost receiver: the fix held stops counting, its position stays.
    decoder.InvalidateFix();
    GPS_FIX lost;
    if (decoder.CopyGgaData(&lost) != 0 || lost.nGpsFix != 0 || lost.dfLatAng != fix.dfLatAng)
        return "InvalidateFix left the fix counting";
    return "";
}

std::string FuzzConfigFile(const uint8_t* data, size_t size)
{
    Scratch();
    std::vector<std::string> messages;
    SetConfigMessageHook([&messages](const std::string& text) { messages.push_back(text); });
    std::string failure;

    if (!WriteBytes(ConfigFilePath(), data, size))
        failure = "cannot write the configuration file";
    CConfigFile fromFile;
    fromFile.Read();
    if (failure.empty())
        failure = CheckMessages(messages);

    // Parse alone, on the bytes cut at every '#' (line feeds stay in the tokens).
    std::vector<std::string> tokens;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('#', at), text.size());
        if (end > at)
            tokens.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    messages.clear();
    CConfigFile parsed;
    parsed.Parse(tokens);
    if (failure.empty())
        failure = CheckMessages(messages);

    // Whatever was read, written out, reads back the same, and silently
    // unless the file held lines the read did not take: those are written
    // back as they were, so their message comes again.
    const bool bKept = !fromFile.KeptLinesNote().empty();
    fromFile.Write();
    messages.clear();
    CConfigFile again;
    again.Read();
    if (failure.empty() && ((!bKept && !messages.empty()) || !SameRecord(fromFile, again)))
        failure = "written settings read back otherwise";
    SetConfigMessageHook({});
    return failure;
}

std::string FuzzSurveyLog(const uint8_t* data, size_t size)
{
    const std::string& folder = Scratch();
    std::string failure;

    const std::string line(reinterpret_cast<const char*>(data), size);
    SURVEY_POINT point;
    if (ReadLogLine(line.c_str(), point))
        failure = CheckLogLine(point);

    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    const std::string input = folder + "input.txt";
    if (failure.empty() && !WriteBytes(input, data, size))
        failure = "cannot write the input file";
    log->ReadFile(input);
    for (size_t i = 0; i < log->GetCount() && failure.empty(); ++i)
        failure = CheckLogLine(log->GetAt(i));

    // Written whole, every point is a line of 43 fields.
    const std::string written = folder + "written.txt";
    const size_t points = log->GetCount();
    if (failure.empty() && !log->WriteFile(written))
        failure = "the log could not be written";
    if (failure.empty()) {
        std::string text;
        if (std::FILE* file = std::fopen(written.c_str(), "rb")) {
            char buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                text.append(buffer, n);
            std::fclose(file);
        }
        failure = CheckWrittenLog(text, points);
    }
    log->Clear();
    return failure;
}

namespace {

struct FrameList : IRtcmFrameSink {
    std::vector<std::string> frames;
    uint64_t bad = 0;
    void OnRtcmFrame(const uint8_t* frame, size_t size) override
    {
        frames.emplace_back(reinterpret_cast<const char*>(frame), size);
    }
    void OnRtcmBadCrc() override { ++bad; }
};

struct BodyText : INtripBodySink {
    std::string bytes;
    void OnBody(const uint8_t* data, size_t size) override { bytes.append(reinterpret_cast<const char*>(data), size); }
};

} // namespace

std::string FuzzRtcmStream(const uint8_t* data, size_t size)
{
    // Whole, byte by byte, and in reads of 128: the same frames every way.
    FrameList runs[3];
    for (int way = 0; way < 3; ++way) {
        CRtcmFramer framer;
        const size_t piece = way == 0 ? std::max<size_t>(size, 1) : way == 1 ? 1 : kReadChunk;
        for (size_t at = 0; at < size; at += piece)
            framer.Feed(data + at, std::min(piece, size - at), runs[way]);
    }
    if (runs[1].frames != runs[0].frames || runs[2].frames != runs[0].frames || runs[1].bad != runs[0].bad)
        return "the frames depend on how the bytes were split";
    size_t total = 0;
    for (const std::string& f : runs[0].frames) {
        const auto* p = reinterpret_cast<const uint8_t*>(f.data());
        const size_t message = (static_cast<size_t>(p[1] & 3) << 8) | p[2];
        if (p[0] != kRtcmPreamble || (p[1] & 0xFC) != 0 || f.size() != message + 6)
            return "frame badly formed: " + Hex(f);
        const uint32_t crc = (uint32_t{p[f.size() - 3]} << 16) | (uint32_t{p[f.size() - 2]} << 8) | p[f.size() - 1];
        if (Crc24q(p, f.size() - 3) != crc)
            return "frame with a bad CRC handed on: " + Hex(f);
        RTCM_STATION station;
        if (DecodeStationPosition(p + 3, message, station) && !(std::isfinite(station.dfX) && std::fabs(station.dfX) < 1.4e7))
            return "station position out of range";
        total += f.size();
    }
    if (total > size)
        return "more frame bytes than came in";
    return "";
}

std::string FuzzNtripReply(const uint8_t* data, size_t size)
{
    NtripReplyKind kinds[3];
    BodyText bodies[3];
    bool good[3];
    for (int way = 0; way < 3; ++way) {
        CNtripReply reply;
        const size_t piece = way == 0 ? std::max<size_t>(size, 1) : way == 1 ? 1 : 7;
        good[way] = true;
        for (size_t at = 0; at < size && good[way]; at += piece)
            good[way] = reply.Feed(data + at, std::min(piece, size - at), bodies[way]);
        kinds[way] = reply.Kind();
    }
    for (int way = 1; way < 3; ++way) {
        if (kinds[way] != kinds[0] || good[way] != good[0] || bodies[way].bytes != bodies[0].bytes)
            return "the reply reads differently when split";
    }
    if (bodies[0].bytes.size() > size)
        return "more body than bytes";
    for (const NTRIP_STREAM& stream : ParseSourcetable(bodies[0].bytes)) {
        if (stream.mountpoint.empty() || stream.mountpoint.find_first_of(" \r\n/%") != std::string::npos)
            return "a mountpoint that would bend the request: " + Hex(stream.mountpoint);
    }

    // The bytes as a stream address: one that reads, written again, reads the same.
    NTRIP_URL url;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (ParseNtripUrl(text, url)) {
        NTRIP_URL again;
        if (!ParseNtripUrl(FormatNtripUrl(url), again) || again.user != url.user || again.password != url.password ||
            again.host != url.host || again.nPort != url.nPort || again.mountpoint != url.mountpoint)
            return "the address does not survive being written: " + Hex(text);
        const std::string request = NtripRequest(url, "0");
        if (request.find("\r\n\r\n") != request.size() - 4)
            return "the request has a blank line inside: " + Hex(request);
    }
    return "";
}
