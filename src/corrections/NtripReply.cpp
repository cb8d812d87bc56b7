#include "corrections/NtripReply.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>

#include "gps/NmeaFields.h"

namespace {

// A bigger chunk is no correction stream's: it would hold minutes of it.
constexpr uint64_t kMaxChunk = 1u << 24;

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word)
{
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (EqualsNoCase(text.substr(at, word.size()), word))
            return true;
    }
    return false;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool Unescape(std::string_view text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int hi = NmeaDigitValue(text[i + 1]);
        const int lo = NmeaDigitValue(text[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

// Escapes what would end the user or password part, and control bytes.
std::string Escape(std::string_view text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || std::strchr("%:@/#?", c) != nullptr) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool HostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// Mountpoints are plain names in every sourcetable seen; anything that could
// bend the request line (space, CR, LF, '%', '?') is refused.
bool MountCharacter(char c)
{
    return HostCharacter(c) || c == '+' || c == '~';
}

bool ParseDouble(std::string_view text, double& value)
{
    char buffer[32];
    text = Trim(text);
    if (text.empty() || text.size() >= sizeof buffer)
        return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    char* end = nullptr;
    value = std::strtod(buffer, &end);
    return end == buffer + text.size() && std::isfinite(value);
}

} // namespace

bool ParseNtripUrl(std::string_view text, NTRIP_URL& url)
{
    url = NTRIP_URL{};
    if (text.size() > kMaxNtripUrl)
        return false;
    constexpr std::string_view kScheme = "ntrip://";
    constexpr std::string_view kTlsScheme = "ntrips://";
    if (text.size() >= kTlsScheme.size() && EqualsNoCase(text.substr(0, kTlsScheme.size()), kTlsScheme)) {
        url.bTls = true;
        url.nPort = kDefaultNtripTlsPort;
        text.remove_prefix(kTlsScheme.size());
    } else if (text.size() >= kScheme.size() && EqualsNoCase(text.substr(0, kScheme.size()), kScheme)) {
        text.remove_prefix(kScheme.size());
    } else {
        return false;
    }
    // The user part ends at the last '@' (a raw '@' in a password is taken as
    // typed); the authority at the first '/' after it.
    const size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userinfo = text.substr(0, at);
        const size_t colon = userinfo.find(':');
        if (!Unescape(userinfo.substr(0, colon), url.user))
            return false;
        if (colon != std::string_view::npos && !Unescape(userinfo.substr(colon + 1), url.password))
            return false;
        text.remove_prefix(at + 1);
    }
    const size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    const std::string_view mount = slash == std::string_view::npos ? std::string_view{} : text.substr(slash + 1);
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos || close < 3)
            return false;
        const std::string host(authority.substr(1, close - 1));
        in6_addr address{};
        if (::inet_pton(AF_INET6, host.c_str(), &address) != 1)
            return false;
        url.host = host;
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority.front() != ':')
            return false;
        if (!authority.empty())
            port = authority.substr(1);
        if (!authority.empty() && port.empty())
            return false;
    } else {
        const size_t colon = authority.find(':');
        const std::string_view host = authority.substr(0, colon);
        if (host.empty() || !std::all_of(host.begin(), host.end(), HostCharacter))
            return false;
        url.host = host;
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                return false;
        }
    }
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        url.nPort = std::atoi(std::string(port).c_str());
        if (url.nPort < 1 || url.nPort > 65535)
            return false;
    }
    if (!std::all_of(mount.begin(), mount.end(), MountCharacter))
        return false;
    url.mountpoint = mount;
    // Raw '@', ':' or control bytes are written back escaped, three bytes
    // each; an address taken here must still fit when the settings write it.
    return FormatNtripUrl(url).size() <= kMaxNtripUrl;
}

std::string FormatNtripUrl(const NTRIP_URL& url)
{
    std::string text = url.bTls ? "ntrips://" : "ntrip://";
    if (!url.user.empty() || !url.password.empty()) {
        text += Escape(url.user);
        if (!url.password.empty())
            text += ":" + Escape(url.password);
        text += "@";
    }
    text += url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
    if (url.nPort != (url.bTls ? kDefaultNtripTlsPort : kDefaultNtripPort))
        text += ":" + std::to_string(url.nPort);
    return text + "/" + url.mountpoint;
}

std::string MaskNtripUrl(std::string_view text)
{
    // Whatever was typed: the password runs from the first ':' after the
    // scheme to the last '@', parsable or not.
    const size_t scheme = text.find("://");
    const size_t from = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t at = text.rfind('@');
    if (at == std::string_view::npos || at < from)
        return std::string(text);
    const size_t colon = text.find(':', from);
    if (colon == std::string_view::npos || colon > at)
        return std::string(text);
    return std::string(text.substr(0, colon + 1)) + "****" + std::string(text.substr(at));
}

std::string NtripHostPort(const NTRIP_URL& url)
{
    const std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
    return host + ":" + std::to_string(url.nPort);
}

std::string Base64(std::string_view bytes)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += kAlphabet[(v >> s) & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= uint8_t(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string NtripRequest(const NTRIP_URL& url, std::string_view version)
{
    std::string request = "GET /" + url.mountpoint + " HTTP/1.1\r\nHost: " +
                          (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host);
    if (url.nPort != (url.bTls ? 443 : 80))
        request += ":" + std::to_string(url.nPort);
    request += "\r\nNtrip-Version: Ntrip/2.0\r\nUser-Agent: NTRIP fieldbook/";
    request += version;
    request += "\r\nAccept: */*\r\nConnection: close\r\n";
    if (!url.user.empty())
        request += "Authorization: Basic " + Base64(url.user + ":" + url.password) + "\r\n";
    return request + "\r\n";
}

bool CNtripReply::Feed(const uint8_t* data, size_t size, INtripBodySink& sink)
{
    size_t i = 0;
    while (i < size) {
        switch (m_state) {
        case State::Broken:
            return false;
        case State::Done:
            return true; // what follows the last chunk is no stream's
        case State::Body:
            sink.OnBody(data + i, size - i);
            return true;
        case State::ChunkData: {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(m_chunkLeft, size - i));
            sink.OnBody(data + i, take);
            i += take;
            m_chunkLeft -= take;
            if (m_chunkLeft == 0)
                m_state = State::ChunkDataEnd;
            break;
        }
        default: {
            const char c = static_cast<char>(data[i++]);
            if (c == '\n') {
                std::string_view line(m_line, m_lineLength);
                if (!line.empty() && line.back() == '\r')
                    line.remove_suffix(1);
                m_lineLength = 0;
                if (!Line(line)) {
                    if (m_kind == NtripReplyKind::Pending)
                        m_kind = NtripReplyKind::Refused;
                    m_state = State::Broken;
                    return false;
                }
            } else if (m_lineLength < kMaxLine) {
                m_line[m_lineLength++] = c;
            } else {
                if (m_kind == NtripReplyKind::Pending)
                    m_kind = NtripReplyKind::Refused;
                m_state = State::Broken;
                return false;
            }
        }
        }
    }
    return m_state != State::Broken;
}

bool CNtripReply::Line(std::string_view line)
{
    switch (m_state) {
    case State::StatusLine: {
        if (line == "ICY 200 OK") {
            // 1.0 casters may start the stream right after this line, with or
            // without headers and a blank line: all of it goes to the framer,
            // which hunts for its preamble through any text.
            m_bIcy = true;
            m_status = 200;
            m_kind = NtripReplyKind::Stream;
            m_state = State::Body;
            return true;
        } else if (line == "SOURCETABLE 200 OK") {
            m_bSourcetableType = true;
            m_status = 200;
        } else if (line.size() >= 12 && (line.substr(0, 9) == "HTTP/1.1 " || line.substr(0, 9) == "HTTP/1.0 ")) {
            const std::string_view code = line.substr(9, 3);
            if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return false;
            m_status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
        } else {
            return false;
        }
        m_state = State::Header;
        return true;
    }
    case State::Header: {
        if (line.empty())
            return EndOfHead();
        if (++m_headers > kMaxHeaders)
            return false;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return true; // 1.0 casters send odd lines; only the known headers matter
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "Transfer-Encoding"))
            m_bChunked = ContainsNoCase(value, "chunked");
        else if (EqualsNoCase(name, "Location"))
            SetLocation(value);
        else if (EqualsNoCase(name, "Content-Type"))
            m_bSourcetableType = m_bSourcetableType || ContainsNoCase(value, "gnss/sourcetable");
        return true;
    }
    case State::ChunkSize: {
        // hex digits, then optional ";extension"
        size_t at = 0;
        uint64_t value = 0;
        while (at < line.size() && NmeaDigitValue(line[at]) >= 0) {
            value = value * 16 + static_cast<uint64_t>(NmeaDigitValue(line[at]));
            if (value > kMaxChunk)
                return false;
            ++at;
        }
        if (at == 0)
            return false;
        const std::string_view rest = Trim(line.substr(at));
        if (!rest.empty() && rest.front() != ';')
            return false;
        m_chunkLeft = value;
        m_state = value == 0 ? State::Trailer : State::ChunkData;
        return true;
    }
    case State::ChunkDataEnd:
        if (!line.empty())
            return false;
        m_state = State::ChunkSize;
        return true;
    case State::Trailer:
        if (line.empty())
            m_state = State::Done;
        return true;
    default:
        return false;
    }
}

void CNtripReply::SetLocation(std::string_view value)
{
    // scheme://[user@]host[:port]/path: the host is all a crew needs to hear.
    const size_t scheme = value.find("://");
    if (scheme != std::string_view::npos)
        value.remove_prefix(scheme + 3);
    value = value.substr(0, value.find('/'));
    if (const size_t at = value.rfind('@'); at != std::string_view::npos)
        value.remove_prefix(at + 1);
    m_locationLength = 0;
    for (char c : value) {
        if (!HostCharacter(c) && c != ':' && c != '[' && c != ']')
            break;
        m_location[m_locationLength++] = c;
    }
}

bool CNtripReply::EndOfHead()
{
    if (m_status == 401)
        m_kind = NtripReplyKind::Unauthorized;
    else if (m_status == 404)
        m_kind = NtripReplyKind::NotFound;
    else if (m_status == 301 || m_status == 302 || m_status == 303 || m_status == 307 || m_status == 308)
        m_kind = NtripReplyKind::Moved;
    else if (m_status != 200)
        m_kind = NtripReplyKind::Refused;
    else if (m_bSourcetableType)
        m_kind = NtripReplyKind::Sourcetable;
    else
        m_kind = NtripReplyKind::Stream;
    // An ICY reply is followed by the stream as it is, whatever its headers say.
    m_state = (m_bChunked && !m_bIcy) ? State::ChunkSize : State::Body;
    return true;
}

bool ParseStrLine(std::string_view line, NTRIP_STREAM& stream)
{
    std::string_view fields[19];
    size_t count = 0;
    while (count < 19) {
        const size_t semi = line.find(';');
        fields[count++] = line.substr(0, semi);
        if (semi == std::string_view::npos)
            break;
        line.remove_prefix(semi + 1);
    }
    // Small casters list the mountpoint alone ("STR;MOUNT;"); its position and
    // GGA wish are then unknown.
    if (count < 2 || fields[0] != "STR" || fields[1].empty())
        return false;
    if (!std::all_of(fields[1].begin(), fields[1].end(), MountCharacter))
        return false;
    stream = NTRIP_STREAM{};
    stream.mountpoint = fields[1];
    if (count < 12)
        return true;
    stream.identifier = fields[2];
    stream.format = fields[3];
    stream.bHasPosition = ParseDouble(fields[9], stream.dfLatitude) && ParseDouble(fields[10], stream.dfLongitude) &&
                          std::fabs(stream.dfLatitude) <= 90.0 && std::fabs(stream.dfLongitude) <= 360.0;
    if (!stream.bHasPosition)
        stream.dfLatitude = stream.dfLongitude = 0.0;
    stream.bNmea = Trim(fields[11]) == "1";
    return true;
}

std::vector<NTRIP_STREAM> ParseSourcetable(std::string_view body)
{
    std::vector<NTRIP_STREAM> streams;
    while (!body.empty()) {
        const size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        NTRIP_STREAM stream;
        if (ParseStrLine(line, stream))
            streams.push_back(std::move(stream));
        if (end == std::string_view::npos)
            break;
        body.remove_prefix(end + 1);
    }
    return streams;
}

void SortByDistance(std::vector<NTRIP_STREAM>& streams, double latDeg, double lonDeg)
{
    constexpr double kRad = 3.14159265358979323846 / 180.0;
    auto distance = [&](const NTRIP_STREAM& s) {
        // Central angle (haversine): the order is all that is needed.
        const double dLat = (s.dfLatitude - latDeg) * kRad;
        const double dLon = (s.dfLongitude - lonDeg) * kRad;
        const double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
                         std::cos(latDeg * kRad) * std::cos(s.dfLatitude * kRad) * std::sin(dLon / 2) * std::sin(dLon / 2);
        return std::asin(std::sqrt(std::min(1.0, h)));
    };
    // Streams without a position go last.
    std::stable_sort(streams.begin(), streams.end(), [&](const NTRIP_STREAM& a, const NTRIP_STREAM& b) {
        if (a.bHasPosition != b.bHasPosition)
            return a.bHasPosition;
        return a.bHasPosition && distance(a) < distance(b);
    });
}

bool IsRawFormat(std::string_view format)
{
    format = Trim(format);
    return (format.size() >= 6 && EqualsNoCase(format.substr(0, 6), "RTCM 2")) ||
           (format.size() >= 5 && EqualsNoCase(format.substr(0, 5), "RTCM2")) ||
           (format.size() >= 3 && EqualsNoCase(format.substr(0, 3), "CMR"));
}

void CSourcetableReader::Feed(const uint8_t* data, size_t size)
{
    m_bytes += size;
    for (size_t i = 0; i < size && !m_bEnded; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n') {
            if (!m_bLong) {
                std::string_view line(m_line, m_length);
                if (!line.empty() && line.back() == '\r')
                    line.remove_suffix(1);
                Line(line);
            }
            m_length = 0;
            m_bLong = false;
        } else if (m_length < sizeof m_line) {
            m_line[m_length++] = c;
        } else {
            m_bLong = true;
        }
    }
}

void CSourcetableReader::Line(std::string_view line)
{
    if (line == "ENDSOURCETABLE") {
        m_bEnded = true;
        return;
    }
    NTRIP_STREAM stream;
    if (!ParseStrLine(line, stream))
        return;
    if (!m_bHaveWanted && !m_mount.empty() && stream.mountpoint == m_mount) {
        m_wanted = stream;
        m_bHaveWanted = true;
    }
    if (m_streams.size() < kMaxStreams)
        m_streams.push_back(std::move(stream));
}
