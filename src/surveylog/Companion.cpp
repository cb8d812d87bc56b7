#include "surveylog/Companion.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/random.h>

#include "gps/GpsQuality.h"

namespace {

// A value of a flat JSON object as the companion lines use them.
struct JSON_VALUE {
    enum Kind { Null, Bool, Number, String } kind = Null;
    bool b = false;
    double number = 0.0;
    std::string_view raw; // the number's text, or the string's text with escapes
};

void SkipSpace(std::string_view s, size_t& i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r'))
        ++i;
}

bool ScanString(std::string_view s, size_t& i, std::string_view& raw)
{
    if (i >= s.size() || s[i] != '"')
        return false;
    const size_t start = ++i;
    while (i < s.size() && s[i] != '"') {
        if (static_cast<unsigned char>(s[i]) < 0x20)
            return false;
        i += (s[i] == '\\') ? 2 : 1;
    }
    if (i >= s.size())
        return false;
    raw = s.substr(start, i - start);
    ++i;
    return true;
}

// Calls take(key, value) for each member of one flat object that fills the
// whole line; false (some members possibly taken) when the line is no such
// object: then the caller drops what it took.
template <typename Take>
bool ParseFlatObject(std::string_view s, Take take)
{
    size_t i = 0;
    SkipSpace(s, i);
    if (i >= s.size() || s[i++] != '{')
        return false;
    SkipSpace(s, i);
    if (i < s.size() && s[i] == '}')
        return ++i, SkipSpace(s, i), i == s.size();
    for (;;) {
        std::string_view key;
        SkipSpace(s, i);
        if (!ScanString(s, i, key))
            return false;
        SkipSpace(s, i);
        if (i >= s.size() || s[i++] != ':')
            return false;
        SkipSpace(s, i);
        JSON_VALUE value;
        if (i >= s.size())
            return false;
        if (s[i] == '"') {
            value.kind = JSON_VALUE::String;
            if (!ScanString(s, i, value.raw))
                return false;
        } else if (s.compare(i, 4, "null") == 0) {
            i += 4;
        } else if (s.compare(i, 4, "true") == 0) {
            value.kind = JSON_VALUE::Bool, value.b = true, i += 4;
        } else if (s.compare(i, 5, "false") == 0) {
            value.kind = JSON_VALUE::Bool, i += 5;
        } else {
            const char* begin = s.data() + i;
            const auto [end, ec] = std::from_chars(begin, s.data() + s.size(), value.number);
            if (ec != std::errc() || !std::isfinite(value.number))
                return false;
            value.kind = JSON_VALUE::Number;
            value.raw = std::string_view(begin, static_cast<size_t>(end - begin));
            i += value.raw.size();
        }
        take(key, value);
        SkipSpace(s, i);
        if (i >= s.size())
            return false;
        if (s[i] == ',') {
            ++i;
            continue;
        }
        if (s[i++] != '}')
            return false;
        SkipSpace(s, i);
        return i == s.size();
    }
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The text of a string value. Escapes of UTF-16 surrogates are not written by
// this program and come back as U+FFFD.
std::string Unescape(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 >= raw.size()) {
            out += raw[i];
            continue;
        }
        const char c = raw[++i];
        switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            unsigned code = 0;
            bool ok = i + 4 < raw.size();
            for (int k = 1; ok && k <= 4; ++k) {
                const int d = HexDigit(raw[i + k]);
                ok = d >= 0;
                code = code * 16 + static_cast<unsigned>(d < 0 ? 0 : d);
            }
            if (!ok)
                return out;
            i += 4;
            AppendUtf8(out, (code >= 0xD800 && code <= 0xDFFF) ? 0xFFFD : code);
            break;
        }
        default: out += c; break; // \" \\ \/
        }
    }
    return out;
}

void Key(std::string& out, const char* key)
{
    out += out.back() == '{' ? "\"" : ",\"";
    out += key;
    out += "\":";
}

// The shortest text that reads back as the same value; null for no value.
void Number(std::string& out, const char* key, std::optional<double> value)
{
    Key(out, key);
    if (!value || !std::isfinite(*value)) {
        out += "null";
        return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, *value);
    out.append(text, result.ptr);
}

void Float(std::string& out, const char* key, float value)
{
    Key(out, key);
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void Integer(std::string& out, const char* key, long long value)
{
    Key(out, key);
    out += std::to_string(value);
}

void Text(std::string& out, const char* key, const std::string& value, bool bNullWhenEmpty = true)
{
    Key(out, key);
    if (value.empty() && bNullWhenEmpty)
        out += "null";
    else
        AppendJsonString(out, value);
}

void Bool(std::string& out, const char* key, std::optional<bool> value)
{
    Key(out, key);
    out += !value ? "null" : (*value ? "true" : "false");
}

std::optional<double> Present(const GPS_QUALITY& q, uint32_t bit, double value)
{
    return q.Has(bit) ? std::optional<double>(value) : std::nullopt;
}

} // namespace

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string CompanionPathForLog(const std::string& logPath)
{
    const size_t slash = logPath.rfind('/');
    const size_t dot = logPath.rfind('.');
    const bool bHasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (bHasExtension ? logPath.substr(0, dot) : logPath) + kCompanionExtension;
}

std::string NewSurveyId()
{
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    std::string id;
    char hex[3];
    for (const unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

void AppendCompanionHeader(std::string& out, const std::string& surveyId, const std::string& logFile)
{
    out += "{\"fieldbook\":\"survey record\"";
    Integer(out, "version", kCompanionVersion);
    Text(out, "survey", surveyId);
    Text(out, "log", logFile);
    out += "}\n";
}

void AppendCompanionPoint(std::string& out, size_t index, const SURVEY_POINT& point, const POINT_HEIGHTS& heights,
                          const POINT_RECORD& record)
{
    const GPS_FIX& fix = point.GpsFix;
    const GPS_QUALITY& q = point.Quality;
    const LOCATE_DATA& ld = point.LocateData;
    out += '{';
    Integer(out, "n", static_cast<long long>(index));
    Integer(out, "Log", ld.u32EepromFileIndex);
    // The position as the decoder gave it: non-negative degrees, the
    // hemisphere in the CSV's LatDir and LongDir.
    Number(out, "utc", fix.dfUTC);
    Number(out, "lat", fix.dfLatAng);
    Number(out, "lon", fix.dfLongAng);
    // An altitude or separation field the GGA left empty is null.
    Number(out, "alt", (fix.u32Missing & FIX_NO_ALTITUDE) ? std::nullopt : std::optional<double>(fix.dfAltVal));
    Number(out, "sep", (fix.u32Missing & FIX_NO_SEPARATION) ? std::nullopt : std::optional<double>(fix.dfGeoidVal));
    Number(out, "hdop", fix.dfHorizDil);
    // The locator's values as it sent them (the CSV rounds some).
    Float(out, "depth", ld.fDepth);
    Float(out, "current", ld.fCurrent);
    Float(out, "signal", ld.fSignal);
    Float(out, "phase", ld.fPhase);
    Float(out, "strength", ld.fStrength);
    Float(out, "gain", ld.fGain);
    Float(out, "frequency", ld.fFrequency);
    Float(out, "markerDepth", point.fMarkerDepth);
    Float(out, "markerSignal", point.fMarkerSignal);
    Float(out, "markerGain", point.fMarkerGain);
    // The quality record: the presence bits, then each value or null.
    Integer(out, "present", q.u32Present);
    Number(out, "FixType", Present(q, QUALITY_FIX_TYPE, q.nFixType));
    Number(out, "FixMode", Present(q, QUALITY_FIX_MODE, q.nFixMode));
    Number(out, "HAccuracy", Present(q, QUALITY_H_ACCURACY, q.dfHAccuracy));
    Number(out, "VAccuracy", Present(q, QUALITY_V_ACCURACY, q.dfVAccuracy));
    Number(out, "PDOP", Present(q, QUALITY_PDOP, q.dfPdop));
    Number(out, "VDOP", Present(q, QUALITY_VDOP, q.dfVdop));
    Number(out, "CorrectionAge", Present(q, QUALITY_CORRECTION_AGE, q.dfCorrectionAge));
    Number(out, "Station", Present(q, QUALITY_STATION, q.u32Station));
    Text(out, "PositionSource", PositionSourceText(q.nSource) ? PositionSourceText(q.nSource) : "");
    Bool(out, "QualityOK", q.Has(QUALITY_CHECKED) ? std::optional<bool>(q.bQualityOK) : std::nullopt);
    Number(out, "EllipsoidHeight", heights.EllipsoidHeight);
    Number(out, "GroundElevation", heights.GroundElevation);
    Number(out, "UtilityElevation", heights.UtilityElevation);
    Number(out, "DepthM", heights.Depth);
    Number(out, "AntennaHeight", record.AntennaHeight);
    Text(out, "Geoid", record.Geoid);
    const UTILITY_TAG& u = record.Utility;
    Text(out, "UtilityType", u.type);
    Text(out, "UtilityId", u.id);
    Text(out, "Colour", u.colour);
    Text(out, "Owner", u.owner);
    Text(out, "Size", u.size);
    Text(out, "Material", u.material);
    Text(out, "Method", u.method);
    Text(out, "QualityLevel", u.qualityLevel);
    Integer(out, "Segment", u.segment);
    Bool(out, "Void", record.bVoid);
    Text(out, "Note", record.Note);
    out += "}\n";
}

void AppendCompanionJob(std::string& out, const JOB_INFO& job)
{
    out += "{\"job\":\"set\"";
    Text(out, "ticket", job.ticket);
    Text(out, "client", job.client);
    Text(out, "site", job.site);
    Text(out, "crew", job.crew);
    out += "}\n";
}

void AppendCompanionAmend(std::string& out, size_t index, const POINT_RECORD& record)
{
    out += '{';
    Integer(out, "amend", static_cast<long long>(index));
    Bool(out, "void", record.bVoid);
    Text(out, "note", record.Note);
    out += "}\n";
}

void CCompanionReader::Reset() { *this = CCompanionReader{}; }

bool CCompanionReader::ReadNew(const std::string& path, bool bWhole)
{
    struct FILE_CLOSER {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FILE_CLOSER> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        m_bExists = false;
        return errno == ENOENT;
    }
    m_bExists = true;
    if (std::fseek(file.get(), m_lOffset, SEEK_SET) != 0)
        return false;
    std::string line;
    char buffer[4096];
    for (;;) {
        const long start = std::ftell(file.get());
        line.clear();
        bool complete = false;
        while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
            line += buffer;
            if (!line.empty() && line.back() == '\n') {
                complete = true;
                break;
            }
        }
        if (line.empty())
            break;
        if (!complete && !bWhole) {
            std::fseek(file.get(), start, SEEK_SET); // still being written
            break;
        }
        ++m_lines;
        if (complete)
            line.pop_back();
        TakeLine(line);
        m_lOffset = std::ftell(file.get());
    }
    return !std::ferror(file.get());
}

void CCompanionReader::TakeLine(std::string_view line)
{
    auto bad = [this] {
        ++m_badLines;
        if (m_firstBadLine == 0)
            m_firstBadLine = m_lines;
    };
    std::map<std::string_view, JSON_VALUE> members;
    if (!ParseFlatObject(line, [&members](std::string_view key, const JSON_VALUE& value) { members[key] = value; })) {
        bad();
        return;
    }
    auto number = [&members](const char* key) -> std::optional<double> {
        const auto it = members.find(key);
        return it != members.end() && it->second.kind == JSON_VALUE::Number ? std::optional<double>(it->second.number)
                                                                            : std::nullopt;
    };
    auto text = [&members](const char* key) -> std::string {
        const auto it = members.find(key);
        return it != members.end() && it->second.kind == JSON_VALUE::String ? Unescape(it->second.raw) : std::string();
    };
    auto flag = [&members](const char* key) -> std::optional<bool> {
        const auto it = members.find(key);
        return it != members.end() && it->second.kind == JSON_VALUE::Bool ? std::optional<bool>(it->second.b)
                                                                          : std::nullopt;
    };
    auto floatOf = [&number](const char* key, float& out) {
        if (const auto v = number(key))
            out = static_cast<float>(*v);
    };
    auto doubleOf = [&number](const char* key, double& out) {
        if (const auto v = number(key))
            out = *v;
    };

    if (members.count("fieldbook")) {
        const auto version = number("version");
        if (m_lines != 1 || text("fieldbook") != "survey record" || !version || *version > kCompanionVersion) {
            bad();
            return;
        }
        m_survey = text("survey");
        return;
    }
    if (members.count("job")) {
        m_job = JOB_INFO{text("ticket"), text("client"), text("site"), text("crew")};
        return;
    }
    if (const auto amend = number("amend")) {
        if (*amend < 0) {
            bad();
            return;
        }
        const auto index = static_cast<size_t>(*amend);
        POINT_RECORD* record = nullptr;
        if (const auto it = m_points.find(index); it != m_points.end())
            record = &it->second.Record;
        else if (index < m_forgotten)
            record = &m_amended[index];
        if (record == nullptr) {
            bad(); // a mark on a point the record never had
            return;
        }
        if (const auto v = flag("void"))
            record->bVoid = *v;
        if (members.count("note"))
            record->Note = text("note");
        if (index < m_forgotten)
            m_amended[index] = *record;
        return;
    }
    const auto n = number("n");
    const auto log = number("Log");
    if (!n || !log || *n < 0) {
        bad();
        return;
    }
    const auto index = static_cast<size_t>(*n);
    if (index < m_forgotten)
        return; // delivered already; the CSV line it belongs to will not come again
    COMPANION_POINT entry;
    entry.u32Log = static_cast<uint32_t>(*log);
    SURVEY_POINT& p = entry.Point;
    doubleOf("utc", p.GpsFix.dfUTC);
    doubleOf("lat", p.GpsFix.dfLatAng);
    doubleOf("lon", p.GpsFix.dfLongAng);
    doubleOf("alt", p.GpsFix.dfAltVal);
    doubleOf("sep", p.GpsFix.dfGeoidVal);
    if (!number("alt"))
        p.GpsFix.u32Missing |= FIX_NO_ALTITUDE;
    if (!number("sep"))
        p.GpsFix.u32Missing |= FIX_NO_SEPARATION;
    doubleOf("hdop", p.GpsFix.dfHorizDil);
    floatOf("depth", p.LocateData.fDepth);
    floatOf("current", p.LocateData.fCurrent);
    floatOf("signal", p.LocateData.fSignal);
    floatOf("phase", p.LocateData.fPhase);
    floatOf("strength", p.LocateData.fStrength);
    floatOf("gain", p.LocateData.fGain);
    floatOf("frequency", p.LocateData.fFrequency);
    floatOf("markerDepth", p.fMarkerDepth);
    floatOf("markerSignal", p.fMarkerSignal);
    floatOf("markerGain", p.fMarkerGain);
    GPS_QUALITY& q = p.Quality;
    q.u32Present = static_cast<uint32_t>(number("present").value_or(0));
    auto quality = [&](const char* key, uint32_t bit, auto& out) {
        if (const auto v = number(key))
            out = static_cast<std::remove_reference_t<decltype(out)>>(*v);
        else
            q.u32Present &= ~bit;
    };
    quality("FixType", QUALITY_FIX_TYPE, q.nFixType);
    quality("FixMode", QUALITY_FIX_MODE, q.nFixMode);
    quality("HAccuracy", QUALITY_H_ACCURACY, q.dfHAccuracy);
    quality("VAccuracy", QUALITY_V_ACCURACY, q.dfVAccuracy);
    quality("PDOP", QUALITY_PDOP, q.dfPdop);
    quality("VDOP", QUALITY_VDOP, q.dfVdop);
    quality("CorrectionAge", QUALITY_CORRECTION_AGE, q.dfCorrectionAge);
    quality("Station", QUALITY_STATION, q.u32Station);
    const std::string source = text("PositionSource");
    for (int32_t s = SOURCE_LOCATOR; s <= SOURCE_GPSD; ++s) {
        if (source == PositionSourceText(s))
            q.nSource = s;
    }
    if (const auto ok = flag("QualityOK")) {
        q.u32Present |= QUALITY_CHECKED;
        q.bQualityOK = *ok;
    } else {
        q.u32Present &= ~QUALITY_CHECKED;
    }
    entry.Heights.EllipsoidHeight = number("EllipsoidHeight");
    entry.Heights.GroundElevation = number("GroundElevation");
    entry.Heights.UtilityElevation = number("UtilityElevation");
    entry.Heights.Depth = number("DepthM");
    POINT_RECORD& r = entry.Record;
    r.AntennaHeight = number("AntennaHeight");
    r.Geoid = text("Geoid");
    r.Utility = UTILITY_TAG{text("UtilityType"), text("UtilityId"), text("Colour"), text("Owner"), text("Size"),
                            text("Material"), text("Method"), text("QualityLevel"),
                            static_cast<int32_t>(number("Segment").value_or(0))};
    r.bVoid = flag("Void").value_or(false);
    r.Note = text("Note");
    m_points[index] = std::move(entry);
}

bool CCompanionReader::Join(size_t index, uint32_t logColumn, SURVEY_POINT& point, POINT_HEIGHTS& heights,
                            POINT_RECORD& record) const
{
    const auto it = m_points.find(index);
    if (it == m_points.end() || it->second.u32Log != logColumn)
        return false;
    const SURVEY_POINT& p = it->second.Point;
    // The record must be of this very line: its position as the CSV prints
    // it ("%f") is the line's. A CSV copied over the log without its
    // companion finds the other survey's records here.
    auto printed = [](double value) {
        char text[352];
        std::snprintf(text, sizeof text, "%f", value);
        return std::strtod(text, nullptr);
    };
    if (printed(p.GpsFix.dfLatAng) != point.GpsFix.dfLatAng || printed(p.GpsFix.dfLongAng) != point.GpsFix.dfLongAng)
        return false;
    GPS_FIX& fix = point.GpsFix;
    fix.dfUTC = p.GpsFix.dfUTC;
    fix.dfLatAng = p.GpsFix.dfLatAng;
    fix.dfLongAng = p.GpsFix.dfLongAng;
    // The CSV printed the last value for an empty field: the record knows.
    if (!(p.GpsFix.u32Missing & FIX_NO_ALTITUDE))
        fix.dfAltVal = p.GpsFix.dfAltVal;
    if (!(p.GpsFix.u32Missing & FIX_NO_SEPARATION))
        fix.dfGeoidVal = p.GpsFix.dfGeoidVal;
    fix.u32Missing = p.GpsFix.u32Missing;
    fix.dfHorizDil = p.GpsFix.dfHorizDil;
    LOCATE_DATA& ld = point.LocateData;
    ld.fDepth = p.LocateData.fDepth;
    ld.fCurrent = p.LocateData.fCurrent;
    ld.fSignal = p.LocateData.fSignal;
    ld.fPhase = p.LocateData.fPhase;
    ld.fStrength = p.LocateData.fStrength;
    ld.fGain = p.LocateData.fGain;
    ld.fFrequency = p.LocateData.fFrequency;
    point.fMarkerDepth = p.fMarkerDepth;
    point.fMarkerSignal = p.fMarkerSignal;
    point.fMarkerGain = p.fMarkerGain;
    point.Quality = p.Quality;
    heights = it->second.Heights;
    record = it->second.Record;
    return true;
}

void CCompanionReader::Forget(size_t index)
{
    m_points.erase(m_points.begin(), m_points.lower_bound(index));
    if (index > m_forgotten)
        m_forgotten = index;
}

std::map<size_t, POINT_RECORD> CCompanionReader::TakeAmended(size_t below)
{
    std::map<size_t, POINT_RECORD> taken;
    for (auto it = m_amended.begin(); it != m_amended.end() && it->first < below;) {
        taken.insert(*it);
        it = m_amended.erase(it);
    }
    return taken;
}
