#include "app/ConfigFile.h"
#include "app/UtilityCodes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <string_view>
#include <unistd.h>
#include <utility>

#include "point/QualityGate.h"
#include "platform/Folders.h"
#include "corrections/NtripReply.h"
#include "platform/RegularFile.h"

namespace {

// The file was read with a 100-byte line buffer: at most 99 characters per read,
// and each read splits into tokens on its own, so a longer line breaks apart.
constexpr size_t kReadPieceChars = 99;
// A token cut by the end of a read goes on in the next one and is joined; a
// value longer than this is refused whole, never cut (a cut caster address
// names another mountpoint).
constexpr size_t kMaxTokenChars = 1023;
// A settings file is a few hundred bytes; the cap only keeps a file that never
// ends (a device node put in its place) from growing the token list for ever.
constexpr size_t kMaxConfigBytes = 1u << 20;

std::function<void(const std::string&)> g_messageHook;

// Tokens and paths come from files and folders anybody may have written: their
// control bytes are shown escaped, never sent to the terminal.
void ShowMessage(const std::string& raw, const std::string& secondLine = {})
{
    std::string text = EscapeControlBytes(raw);
    if (!secondLine.empty())
        text += "\n" + EscapeControlBytes(secondLine);
    if (g_messageHook) {
        g_messageHook(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// keyword is upper case.
bool BeginsNoCase(std::string_view token, std::string_view keyword)
{
    if (token.size() < keyword.size())
        return false;
    for (size_t i = 0; i < keyword.size(); ++i) {
        if (AsciiUpper(token[i]) != keyword[i])
            return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view token, std::string_view keyword)
{
    return token.size() == keyword.size() && BeginsNoCase(token, keyword);
}

bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int DigitValue(char c, unsigned base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return (value >= 0 && static_cast<unsigned>(value) < base) ? value : -1;
}

// Digits from pos up to the first character that is not one; the magnitude stops
// growing at limit, so a hand-typed run of digits cannot overflow.
uint64_t TakeDigits(std::string_view text, size_t pos, unsigned base, uint64_t limit)
{
    uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = DigitValue(text[pos], base);
        if (digit < 0)
            break;
        value = value * base + static_cast<unsigned>(digit);
        if (value > limit)
            value = limit;
    }
    return value;
}

// Leading white space and one sign, as a C decimal conversion takes them.
size_t SkipSpaceAndSign(std::string_view text, bool& negative)
{
    size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos]))
        ++pos;
    negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    return pos;
}

// The line feed left on a value token ends the digits and so does no harm.
int32_t PortNumberFromText(std::string_view token)
{
    bool negative = false;
    const size_t pos = SkipSpaceAndSign(token, negative);
    const uint64_t magnitude = TakeDigits(token, pos, 10, negative ? 2147483648u : 2147483647u);
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

// "0x" marks the form Write produces; anything else is decimal. A minus sign
// wraps as an unsigned C conversion does (-1 switches every bit on).
uint32_t DebugLevelFromText(std::string_view token)
{
    if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
        return static_cast<uint32_t>(TakeDigits(token, 2, 16, 0xFFFFFFFFu));
    bool negative = false;
    const size_t pos = SkipSpaceAndSign(token, negative);
    const uint32_t magnitude = static_cast<uint32_t>(TakeDigits(token, pos, 10, 0xFFFFFFFFu));
    return negative ? 0u - magnitude : magnitude;
}

// One read of at most kReadPieceChars characters, ending after a line feed.
// Text mode: CR LF arrives as LF, so files edited on either system read alike.
size_t ReadPiece(std::FILE* file, char (&buffer)[kReadPieceChars + 1])
{
    size_t length = 0;
    while (length < kReadPieceChars) {
        int c = std::getc(file);
        if (c == EOF)
            break;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        buffer[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[length] = '\0';
    return length;
}

// Runs of '#' are one separator; no empty tokens.
void AppendTokens(std::string_view piece, std::vector<std::string>& tokens)
{
    size_t pos = 0;
    while (pos < piece.size()) {
        while (pos < piece.size() && piece[pos] == '#')
            ++pos;
        const size_t start = pos;
        while (pos < piece.size() && piece[pos] != '#')
            ++pos;
        if (pos > start)
            tokens.emplace_back(piece.substr(start, pos - start));
    }
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

enum class ParseState {
    Level0,
    Port,
    Screen,
    Debug,
    PortGps,
    PortBluetooth,
    GpsPortValue,
    GpsEnabledValue,
    BluetoothPortValue,
    BluetoothEnabledValue,
    ResolutionValue,
    DebugLevelValue,
    Gps,
    GpsSpeedValue,
    GpsdValue,
    TalkerValue,
    MaxAgeValue,
    RequireValue,
    MaxHAccValue,
    AntennaValue,
    GeoidValue,
    Log,
    GeoPackageValue,
    NtripValue,
    GpsNtrip,
    NtripGgaValue,
    NtripCaValue,
    NtripPositionValue,
    Map,
    MapRasterValue,
    ColoursValue,
};

// A value token without the line end the file left on it.
std::string_view ValueText(std::string_view token)
{
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.remove_suffix(1);
    return token;
}

// The tokens of the illegal token's line as the file spells them (without
// its line end): how the crew finds the line in an editor.
std::string LineText(const std::vector<std::string>& tokens, const std::vector<int>& lines, size_t index)
{
    std::string text;
    for (size_t i = 0; i < tokens.size() && i < lines.size(); ++i) {
        if (lines[i] != lines[index])
            continue;
        if (!text.empty())
            text += '#';
        text += ValueText(tokens[i]);
    }
    constexpr size_t kShown = 60;
    if (text.size() > kShown)
        text = text.substr(0, kShown) + "...";
    return text;
}

// Lines from (1-based) to the end of the file as they are, each with its own line end.
std::string FileLines(const std::string& path, int from)
{
    FileKind kind = FileKind::Missing;
    std::FILE* file = OpenRegularFileForReading(path, kind);
    if (file == nullptr)
        return {};
    std::string kept;
    int line = 1;
    size_t total = 0;
    for (int c = std::getc(file); c != EOF && total < kMaxConfigBytes; c = std::getc(file), ++total) {
        if (line >= from)
            kept += static_cast<char>(c);
        if (c == '\n')
            ++line;
    }
    std::fclose(file);
    if (!kept.empty() && kept.back() != '\n')
        kept += '\n';
    return kept;
}

// Whole decimal number of 1 to 9 digits, nothing else; -1 otherwise.
int32_t StrictNumber(std::string_view text)
{
    if (text.empty() || text.size() > 9)
        return -1;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool HostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// A name that can mean a host: dotted labels of letters, digits, '-' and '_',
// 1 to 63 characters each, not beginning or ending with '-', 253 in all; a name
// of digits and dots only must be an IPv4 address ("1.2.3.4.5.6.7" is none).
bool ValidHostName(std::string_view host)
{
    if (host.empty() || host.size() > 253)
        return false;
    if (host.find_first_not_of("0123456789.") == std::string_view::npos) {
        in_addr address{};
        return ::inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
    }
    for (size_t start = 0; start <= host.size();) {
        size_t end = host.find('.', start);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        start = end + 1;
    }
    return true;
}

// The values the newer settings take. Unlike the six original settings, a value
// that means nothing is refused (message and stop), not read as 0 or false.
bool SetSpeed(CConfigFile& config, std::string_view text)
{
    const int32_t speed = StrictNumber(text);
    for (int32_t allowed : kGpsSpeeds) {
        if (speed == allowed) {
            config.m_nGpsSpeed = speed;
            return true;
        }
    }
    return false;
}

bool SetGpsd(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "OFF")) {
        config.m_strGpsd.clear();
        return true;
    }
    std::string host;
    int32_t port = 0;
    if (!SplitGpsdAddress(std::string(text), host, port))
        return false;
    config.m_strGpsd = text;
    return true;
}

bool SetTalker(CConfigFile& config, std::string_view text)
{
    if (!EqualsNoCase(text, "ANY") && !EqualsNoCase(text, "GP"))
        return false;
    config.m_bGpsAnyTalker = EqualsNoCase(text, "ANY");
    return true;
}

bool SetMaxAge(CConfigFile& config, std::string_view text)
{
    const int32_t seconds = StrictNumber(text);
    if (seconds < 0 || seconds > 86400)
        return false;
    config.m_nGpsMaxAge = seconds;
    return true;
}

// Metres with a point: digits, at most one '.', nothing else (no sign, no
// exponent, no locale's comma), 0 to kMaxAntennaHeight.
bool SetAntenna(CConfigFile& config, std::string_view text)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789.") != std::string_view::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return false;
    double metres = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), metres);
    if (ec != std::errc() || end != text.data() + text.size() || metres > kMaxAntennaHeight)
        return false;
    config.m_dfAntennaHeight = metres;
    return true;
}

// RECEIVER, or a grid name or path as PROJ takes it: printable, no blanks.
bool SetGeoid(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "RECEIVER")) {
        config.m_strGeoid.clear();
        return true;
    }
    if (text.empty() || text.size() > 255)
        return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    }
    config.m_strGeoid = text;
    return true;
}

bool SetNtrip(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "OFF")) {
        config.m_strNtrip.clear();
        return true;
    }
    NTRIP_URL url;
    if (!ParseNtripUrl(text, url))
        return false;
    config.m_strNtrip = text;
    return true;
}

// A path to a PEM file of CA certificates: printable, no blanks.
bool SetNtripCa(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "SYSTEM")) {
        config.m_strNtripCa.clear();
        return true;
    }
    if (text.empty() || text.size() > 255)
        return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    }
    config.m_strNtripCa = text;
    return true;
}

bool SetNtripPosition(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "NONE")) {
        config.m_strNtripPosition.clear();
        return true;
    }
    double lat = 0, lon = 0, height = 0;
    if (!ParseNtripPosition(std::string(text), lat, lon, height))
        return false;
    config.m_strNtripPosition = text;
    return true;
}

// NONE, or a file's path.
bool SetMapRaster(CConfigFile& config, std::string_view text)
{
    if (EqualsNoCase(text, "NONE")) {
        config.m_strMapRaster.clear();
        return true;
    }
    if (!MapPathFits(std::string(text)))
        return false;
    config.m_strMapRaster = text;
    return true;
}

bool SetNtripGga(CConfigFile& config, std::string_view text)
{
    const int32_t seconds = StrictNumber(text);
    if (seconds < 0 || seconds > 3600)
        return false;
    config.m_nNtripGga = seconds;
    return true;
}

} // namespace

std::string AntennaHeightText(double metres)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, metres);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

CConfigFile& GetConfig()
{
    static CConfigFile instance;
    return instance;
}

std::string ConfigFilePath()
{
    return DocumentsPath(kConfigFileName);
}

void SetConfigMessageHook(std::function<void(const std::string&)> hook)
{
    g_messageHook = std::move(hook);
}

bool ParseNtripPosition(const std::string& text, double& lat, double& lon, double& height)
{
    // latitude,longitude,height: degrees north and east (signed), metres
    // above the ellipsoid; digits, one sign, one point each, no exponent.
    double values[3] = {};
    std::string_view rest = text;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = rest.find(',');
        if ((i < 2) != (comma != std::string_view::npos))
            return false;
        const std::string_view field = rest.substr(0, comma);
        if (field.empty() || field.size() > 16 || field.find_first_not_of("+-0123456789.") != std::string_view::npos)
            return false;
        const char* begin = field.data() + (field.front() == '+' ? 1 : 0);
        const auto [end, ec] = std::from_chars(begin, field.data() + field.size(), values[i]);
        if (ec != std::errc() || end != field.data() + field.size())
            return false;
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    lat = values[0], lon = values[1], height = values[2];
    return std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0 && height >= -1000.0 && height <= 10000.0;
}

bool SplitGpsdAddress(const std::string& text, std::string& host, int32_t& port)
{
    std::string_view rest = text;
    port = kDefaultGpsdPort;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1)
            return false;
        host = std::string(rest.substr(1, close - 1));
        in6_addr address{};
        if (::inet_pton(AF_INET6, host.c_str(), &address) != 1)
            return false;
        rest.remove_prefix(close + 1);
        if (rest.empty())
            return true;
        if (rest.front() != ':')
            return false;
    } else {
        size_t end = 0;
        while (end < rest.size() && HostCharacter(rest[end]))
            ++end;
        if (end == 0)
            return false;
        host = std::string(rest.substr(0, end));
        if (!ValidHostName(host))
            return false;
        rest.remove_prefix(end);
        if (rest.empty())
            return true;
        if (rest.front() != ':')
            return false;
    }
    port = StrictNumber(rest.substr(1));
    return port >= 1 && port <= 65535;
}

bool MapPathFits(const std::string& path)
{
    if (path.empty() || path.size() > kMaxMapPathChars || path.find('#') != std::string::npos)
        return false;
    for (char c : path) {
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f)
            return false;
    }
    return true;
}

std::string ConfigPermissionWarning()
{
    const std::string path = ConfigFilePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0)
        return "";
    NTRIP_URL url;
    const CConfigFile& config = GetConfig();
    if (config.m_strNtrip.empty() || !ParseNtripUrl(config.m_strNtrip, url) || url.password.empty())
        return "";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    // The password is the owner's alone: taken back at once, and told.
    if (::chmod(path.c_str(), 0600) == 0)
        return "fieldbook: " + path + " holds the caster password and others could read it (mode " + mode +
               "); it is now 600";
    return "fieldbook: " + path + " holds the caster password and others may read it (mode " + mode +
           "); chmod 600 it";
}

const char* ResolutionToText(int32_t fullResolution)
{
    return fullResolution != 0 ? "FULL" : "QUARTER";
}

bool TextToResolution(const std::string& token)
{
    return !BeginsNoCase(token, "QUARTER");
}

bool TextToBool(const std::string& token)
{
    return BeginsNoCase(token, "TRUE");
}

void CConfigFile::ResetToDefaults()
{
    *this = CConfigFile{};
}

bool CConfigFile::SameSettings(const CConfigFile& other) const
{
    CConfigFile probe = other;
    probe.m_nKeptFrom = m_nKeptFrom;
    probe.m_nKeptTo = m_nKeptTo;
    return probe == *this;
}

void CConfigFile::RestoreSettings(const CConfigFile& saved)
{
    const int keptFrom = m_nKeptFrom;
    const int keptTo = m_nKeptTo;
    *this = saved;
    m_nKeptFrom = keptFrom;
    m_nKeptTo = keptTo;
}

void CConfigFile::Read()
{
    const std::string path = ConfigFilePath();
    FileKind kind = FileKind::Missing;
    std::FILE* file = OpenRegularFileForReading(path, kind);
    if (file == nullptr && kind != FileKind::Missing && kind != FileKind::Regular) {
        // Not ours to replace: the defaults hold for this run and the thing in
        // the file's place stays as it is (Write will not touch it either).
        ShowMessage("fieldbook: " + path + " is " + FileKindText(kind) +
                    ", not a settings file; the default settings are used");
        return;
    }
    if (file == nullptr) {
        Write();
        return;
    }
    std::vector<std::string> tokens;
    std::vector<int> lines;
    char buffer[kReadPieceChars + 1];
    size_t total = 0;
    int line = 1;
    bool joinNext = false;
    while (total < kMaxConfigBytes) {
        const size_t length = ReadPiece(file, buffer);
        if (length == 0)
            break;
        std::string_view piece(buffer, length);
        if (joinNext && !tokens.empty() && piece.front() != '#') {
            const size_t end = std::min(piece.find('#'), piece.size());
            tokens.back().append(piece.substr(0, end));
            piece.remove_prefix(end);
            if (tokens.back().size() > kMaxTokenChars) {
                // The value is not quoted: it may be a caster address and its password.
                ShowMessage("fieldbook: in " + path + " line " + std::to_string(lines.back()) +
                                " a value longer than " + std::to_string(kMaxTokenChars) +
                                " characters is refused whole",
                            "fieldbook: the settings from there on are not read and keep their defaults");
                tokens.pop_back();
                lines.resize(tokens.size());
                break;
            }
        }
        AppendTokens(piece, tokens);
        lines.resize(tokens.size(), line);
        joinNext = length == kReadPieceChars && buffer[length - 1] != '\n' && buffer[length - 1] != '#';
        if (buffer[length - 1] == '\n')
            ++line;
        total += length;
    }
    // A file cut off by the size cap in the middle of a value: that value is not taken cut.
    if (total >= kMaxConfigBytes && joinNext && !tokens.empty()) {
        tokens.pop_back();
        lines.resize(tokens.size());
    }
    std::fclose(file);
    Parse(tokens, lines);
}

void CConfigFile::Parse(const std::vector<std::string>& tokens, const std::vector<int>& lines)
{
    ParseState state = ParseState::Level0;
    for (size_t index = 0; index < tokens.size(); ++index) {
        const std::string& token = tokens[index];
        const char* error = nullptr;
        switch (state) {
        case ParseState::Level0:
            if (EqualsNoCase(token, "PORT"))
                state = ParseState::Port;
            else if (EqualsNoCase(token, "SCREEN"))
                state = ParseState::Screen;
            else if (EqualsNoCase(token, "DEBUG"))
                state = ParseState::Debug;
            else if (EqualsNoCase(token, "GPS"))
                state = ParseState::Gps;
            else if (EqualsNoCase(token, "LOG"))
                state = ParseState::Log;
            else if (EqualsNoCase(token, "MAP"))
                state = ParseState::Map;
            else
                error = "Illegal Level 0 Token <";
            break;
        case ParseState::Port:
            if (EqualsNoCase(token, "GPS"))
                state = ParseState::PortGps;
            else if (EqualsNoCase(token, "BLUETOOTH"))
                state = ParseState::PortBluetooth;
            else
                error = "Illegal PORT Level 1 Token <";
            break;
        case ParseState::Screen:
            if (EqualsNoCase(token, "RESOLUTION"))
                state = ParseState::ResolutionValue;
            else
                error = "Illegal SCREEN Level 1 Token <";
            break;
        case ParseState::Debug:
            if (EqualsNoCase(token, "LEVEL"))
                state = ParseState::DebugLevelValue;
            else
                error = "Illegal DEBUG Level 1 Token <";
            break;
        case ParseState::Log:
            if (EqualsNoCase(token, "GEOPACKAGE"))
                state = ParseState::GeoPackageValue;
            else if (EqualsNoCase(token, "COLOURS"))
                state = ParseState::ColoursValue;
            else
                error = "Illegal LOG Level 1 Token <";
            break;
        case ParseState::PortGps:
            if (EqualsNoCase(token, "PORTNUMBER"))
                state = ParseState::GpsPortValue;
            else if (EqualsNoCase(token, "ENABLED"))
                state = ParseState::GpsEnabledValue;
            else if (EqualsNoCase(token, "SPEED"))
                state = ParseState::GpsSpeedValue;
            else if (EqualsNoCase(token, "GPSD"))
                state = ParseState::GpsdValue;
            else if (EqualsNoCase(token, "NTRIP"))
                state = ParseState::NtripValue;
            else
                error = "Illegal PORT#GPS Level 2 Token <";
            break;
        case ParseState::PortBluetooth:
            if (EqualsNoCase(token, "PORTNUMBER"))
                state = ParseState::BluetoothPortValue;
            else if (EqualsNoCase(token, "ENABLED"))
                state = ParseState::BluetoothEnabledValue;
            else
                error = "Illegal PORT#BLUETOOTH Level 2 Token <";
            break;
        case ParseState::GpsPortValue:
            m_nGpsPort = PortNumberFromText(token);
            state = ParseState::Level0;
            break;
        case ParseState::GpsEnabledValue:
            m_bGpsEnabled = TextToBool(token);
            state = ParseState::Level0;
            break;
        case ParseState::BluetoothPortValue:
            m_nBluetoothPort = PortNumberFromText(token);
            state = ParseState::Level0;
            break;
        case ParseState::BluetoothEnabledValue:
            m_bBluetoothEnabled = TextToBool(token);
            state = ParseState::Level0;
            break;
        case ParseState::ResolutionValue:
            m_bFullResolution = TextToResolution(token) ? 1 : 0;
            state = ParseState::Level0;
            break;
        case ParseState::DebugLevelValue:
            m_dwDebugLevel = DebugLevelFromText(token);
            state = ParseState::Level0;
            break;
        case ParseState::Gps:
            if (EqualsNoCase(token, "TALKER"))
                state = ParseState::TalkerValue;
            else if (EqualsNoCase(token, "MAXAGE"))
                state = ParseState::MaxAgeValue;
            else if (EqualsNoCase(token, "REQUIRE"))
                state = ParseState::RequireValue;
            else if (EqualsNoCase(token, "MAXHACC"))
                state = ParseState::MaxHAccValue;
            else if (EqualsNoCase(token, "ANTENNA"))
                state = ParseState::AntennaValue;
            else if (EqualsNoCase(token, "GEOID"))
                state = ParseState::GeoidValue;
            else if (EqualsNoCase(token, "NTRIP"))
                state = ParseState::GpsNtrip;
            else
                error = "Illegal GPS Level 1 Token <";
            break;
        case ParseState::GpsSpeedValue:
            error = SetSpeed(*this, ValueText(token)) ? nullptr : "Illegal PORT#GPS#SPEED Value <";
            state = ParseState::Level0;
            break;
        case ParseState::GpsdValue:
            error = SetGpsd(*this, ValueText(token)) ? nullptr : "Illegal PORT#GPS#GPSD Value <";
            state = ParseState::Level0;
            break;
        case ParseState::TalkerValue:
            error = SetTalker(*this, ValueText(token)) ? nullptr : "Illegal GPS#TALKER Value <";
            state = ParseState::Level0;
            break;
        case ParseState::MaxAgeValue:
            error = SetMaxAge(*this, ValueText(token)) ? nullptr : "Illegal GPS#MAXAGE Value <";
            state = ParseState::Level0;
            break;
        case ParseState::RequireValue:
            error = TextToRequire(ValueText(token), m_nGpsRequire) ? nullptr : "Illegal GPS#REQUIRE Value <";
            state = ParseState::Level0;
            break;
        case ParseState::MaxHAccValue:
            error = TextToMaxHAccuracy(ValueText(token), m_dfGpsMaxHAcc) ? nullptr : "Illegal GPS#MAXHACC Value <";
            state = ParseState::Level0;
            break;
        case ParseState::AntennaValue:
            error = SetAntenna(*this, ValueText(token)) ? nullptr : "Illegal GPS#ANTENNA Value <";
            state = ParseState::Level0;
            break;
        case ParseState::GeoidValue:
            error = SetGeoid(*this, ValueText(token)) ? nullptr : "Illegal GPS#GEOID Value <";
            state = ParseState::Level0;
            break;
        case ParseState::GeoPackageValue:
            m_bGeoPackage = TextToBool(token);
            state = ParseState::Level0;
            break;
        case ParseState::NtripValue:
            error = SetNtrip(*this, ValueText(token)) ? nullptr : "Illegal PORT#GPS#NTRIP Value <";
            state = ParseState::Level0;
            break;
        case ParseState::GpsNtrip:
            if (EqualsNoCase(token, "GGA"))
                state = ParseState::NtripGgaValue;
            else if (EqualsNoCase(token, "CA"))
                state = ParseState::NtripCaValue;
            else if (EqualsNoCase(token, "POSITION"))
                state = ParseState::NtripPositionValue;
            else
                error = "Illegal GPS#NTRIP Level 2 Token <";
            break;
        case ParseState::ColoursValue:
            if (const COLOUR_TABLE* table = FindColourTable(ValueText(token)); table != nullptr)
                m_strColours = table->name;
            else
                error = "Illegal LOG#COLOURS Value <";
            state = ParseState::Level0;
            break;
        case ParseState::NtripGgaValue:
            error = SetNtripGga(*this, ValueText(token)) ? nullptr : "Illegal GPS#NTRIP#GGA Value <";
            state = ParseState::Level0;
            break;
        case ParseState::NtripCaValue:
            error = SetNtripCa(*this, ValueText(token)) ? nullptr : "Illegal GPS#NTRIP#CA Value <";
            state = ParseState::Level0;
            break;
        case ParseState::NtripPositionValue:
            error = SetNtripPosition(*this, ValueText(token)) ? nullptr : "Illegal GPS#NTRIP#POSITION Value <";
            state = ParseState::Level0;
            break;
        case ParseState::Map:
            if (EqualsNoCase(token, "RASTER"))
                state = ParseState::MapRasterValue;
            else
                error = "Illegal MAP Level 1 Token <";
            break;
        case ParseState::MapRasterValue:
            error = SetMapRaster(*this, ValueText(token)) ? nullptr : "Illegal MAP#RASTER Value <";
            state = ParseState::Level0;
            break;
        }
        if (error != nullptr) {
            // Built by concatenation: the token is as long and as odd as the file made it.
            // The message alone hid that every later setting was dropped.
            std::string where;
            std::string plain;
            if (index < lines.size() && !lines.empty()) {
                m_nKeptFrom = lines[index];
                m_nKeptTo = std::max(lines.back(), m_nKeptFrom);
                where = "fieldbook: in " + ConfigFilePath() + " line " + std::to_string(lines[index]) +
                        "; the settings after it are not read and keep their defaults";
                // The words the window's box leads with: which line, what
                // it costs, and that saving settings loses none of it.
                const std::string text = LineText(tokens, lines, index);
                const std::string line =
                    EscapeControlBytes(text.find("://") != std::string::npos ? MaskNtripUrl(text) : text);
                plain = "Line " + std::to_string(m_nKeptFrom) + " of the settings file is not a setting fieldbook can read" +
                        (line.empty() ? std::string() : " (" + line + ")") + ", so ";
                plain += m_nKeptTo > m_nKeptFrom ? "it and the lines after it are" : "it is";
                plain += " not used. Saving settings keeps ";
                plain += m_nKeptTo > m_nKeptFrom ? "these lines" : "this line";
                plain += " in the file as written; mend the line and start fieldbook again to use them.";
            }
            // Set before the message: the window's box leads with it.
            m_strIllegalLine = plain;
            // A caster address is quoted without its password.
            ShowMessage(error + (token.find("://") != std::string::npos ? MaskNtripUrl(token) : token) + ">", where);
            return;
        }
    }
}

void CConfigFile::Write() const
{
    const std::string path = ConfigFilePath();
    // A write-protected file stays as it is, as it would with an in-place rewrite.
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0)
        return;
    // Nor is a folder, FIFO or device in its place replaced by the settings.
    const FileKind kind = KindOfFile(path);
    if (kind != FileKind::Missing && kind != FileKind::Regular)
        return;

    char line[64];
    std::string text;
    std::snprintf(line, sizeof line, "PORT#GPS#PORTNUMBER#%d\n", static_cast<int>(m_nGpsPort));
    text += line;
    std::snprintf(line, sizeof line, "PORT#GPS#ENABLED#%s\n", m_bGpsEnabled ? "TRUE" : "FALSE");
    text += line;
    std::snprintf(line, sizeof line, "PORT#BLUETOOTH#PORTNUMBER#%d\n", static_cast<int>(m_nBluetoothPort));
    text += line;
    std::snprintf(line, sizeof line, "PORT#BLUETOOTH#ENABLED#%s\n", m_bBluetoothEnabled ? "TRUE" : "FALSE");
    text += line;
    std::snprintf(line, sizeof line, "SCREEN#RESOLUTION#%s\n", ResolutionToText(m_bFullResolution));
    text += line;
    std::snprintf(line, sizeof line, "DEBUG#LEVEL#0x%08x\n", static_cast<unsigned>(m_dwDebugLevel));
    text += line;
    const CConfigFile defaults;
    if (m_nGpsSpeed != defaults.m_nGpsSpeed)
        text += "PORT#GPS#SPEED#" + std::to_string(m_nGpsSpeed) + "\n";
    if (m_strGpsd != defaults.m_strGpsd)
        text += "PORT#GPS#GPSD#" + m_strGpsd + "\n";
    if (m_bGpsAnyTalker != defaults.m_bGpsAnyTalker)
        text += m_bGpsAnyTalker ? "GPS#TALKER#ANY\n" : "GPS#TALKER#GP\n";
    if (m_nGpsMaxAge != defaults.m_nGpsMaxAge)
        text += "GPS#MAXAGE#" + std::to_string(m_nGpsMaxAge) + "\n";
    if (m_nGpsRequire != defaults.m_nGpsRequire)
        text += std::string("GPS#REQUIRE#") + RequireToText(m_nGpsRequire) + "\n";
    if (m_dfGpsMaxHAcc != defaults.m_dfGpsMaxHAcc)
        text += "GPS#MAXHACC#" + MaxHAccuracyToText(m_dfGpsMaxHAcc) + "\n";
    if (m_dfAntennaHeight != defaults.m_dfAntennaHeight)
        text += "GPS#ANTENNA#" + AntennaHeightText(m_dfAntennaHeight) + "\n";
    if (m_strGeoid != defaults.m_strGeoid)
        text += "GPS#GEOID#" + m_strGeoid + "\n";
    // Later settings only when they differ from their defaults, so that a file
    // written by this program reads the same in one without them.
    if (!m_bGeoPackage)
        text += "LOG#GEOPACKAGE#FALSE\n";
    if (m_strNtrip != defaults.m_strNtrip)
        text += "PORT#GPS#NTRIP#" + m_strNtrip + "\n";
    if (m_nNtripGga != defaults.m_nNtripGga)
        text += "GPS#NTRIP#GGA#" + std::to_string(m_nNtripGga) + "\n";
    if (m_strColours != defaults.m_strColours)
        text += "LOG#COLOURS#" + m_strColours + "\n";
    if (m_strNtripCa != defaults.m_strNtripCa)
        text += "GPS#NTRIP#CA#" + m_strNtripCa + "\n";
    if (m_strNtripPosition != defaults.m_strNtripPosition)
        text += "GPS#NTRIP#POSITION#" + m_strNtripPosition + "\n";
    if (m_strMapRaster != defaults.m_strMapRaster)
        text += "MAP#RASTER#" + m_strMapRaster + "\n";
    // What this run did not read stays, in its place after the settings: a
    // caster, its password or a geoid behind a mistyped line would otherwise
    // go with the first change in Settings. A kept line may hold a password.
    const int written = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    std::string kept;
    if (m_nKeptFrom > 0)
        kept = FileLines(path, m_nKeptFrom);
    text += kept;
    NTRIP_URL url;
    std::string keptUpper = kept;
    std::transform(keptUpper.begin(), keptUpper.end(), keptUpper.begin(), AsciiUpper);
    const bool secret = (!m_strNtrip.empty() && ParseNtripUrl(m_strNtrip, url) && !url.password.empty()) ||
                        keptUpper.find("NTRIP") != std::string::npos;

    // Written beside the file and renamed over it, so a crash or a full disk in the
    // middle leaves the old settings, never half of the new ones.
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    // A caster password is for its owner's eyes: created 0600 and set so
    // whatever the umask; the file without one keeps the old mode.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, secret ? 0600 : 0666);
    if (fd < 0)
        return;
    if (secret)
        ::fchmod(fd, 0600);
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    if (m_nKeptFrom > 0 && !kept.empty()) {
        const int keptLines = static_cast<int>(std::count(kept.begin(), kept.end(), '\n'));
        m_nKeptFrom = written + 1;
        m_nKeptTo = written + keptLines;
    }
}

std::string CConfigFile::KeptLinesNote() const
{
    if (m_nKeptFrom <= 0)
        return {};
    std::string note = "The settings file has lines fieldbook could not read (from line " +
                       std::to_string(m_nKeptFrom) + "); saving keeps them as they are, after the settings.";
    return note;
}
