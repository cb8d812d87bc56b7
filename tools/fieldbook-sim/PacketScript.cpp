#include "PacketScript.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

bool ParseDouble(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size();
}

bool ParseLong(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = hex ? static_cast<long>(std::strtoul(text.c_str() + 2, &end, 16)) : std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes)
{
    auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

namespace {

bool ApplyWord(const std::string& key, const std::string& value, PACKET_SPEC& spec, std::string& error)
{
    struct INT_KEY {
        const char* name;
        int PACKET_SPEC::*field;
        long lo, hi;
    };
    static const INT_KEY kIntKeys[] = {
        {"cmd", &PACKET_SPEC::nCommand, 0, 255},          {"proto", &PACKET_SPEC::nProtocol, 0, 7},
        {"gpsmode", &PACKET_SPEC::nGpsMode, -2147483648L, 2147483647L},
        {"mode", &PACKET_SPEC::nLogMode, -2147483648L, 2147483647L},
        {"compass", &PACKET_SPEC::nCompass, 0, 511},     {"arrows", &PACKET_SPEC::nArrows, 0, 15},
        {"antenna", &PACKET_SPEC::nAntennaMode, 0, 15},   {"accessory", &PACKET_SPEC::nAccessoryType, 0, 15},
        {"sonde", &PACKET_SPEC::nSondeLine, 0, 1},        {"battery", &PACKET_SPEC::nBattery, 0, 7},
        {"volume", &PACKET_SPEC::nVolume, 0, 3},          {"overload", &PACKET_SPEC::nOverload, 0, 1},
        {"marker", &PACKET_SPEC::nMarkerType, -2147483648L, 2147483647L},
        {"rtcupdated", &PACKET_SPEC::nRtcUpdated, -2147483648L, 2147483647L},
    };
    struct FLOAT_KEY {
        const char* name;
        float PACKET_SPEC::*field;
    };
    static const FLOAT_KEY kFloatKeys[] = {
        {"freq", &PACKET_SPEC::fFrequency},       {"depth", &PACKET_SPEC::fDepth},
        {"current", &PACKET_SPEC::fCurrent},      {"signal", &PACKET_SPEC::fSignal},
        {"phase", &PACKET_SPEC::fPhase},          {"strength", &PACKET_SPEC::fStrength},
        {"gain", &PACKET_SPEC::fGain},            {"markerdepth", &PACKET_SPEC::fMarkerDepth},
        {"markersignal", &PACKET_SPEC::fMarkerSignal}, {"markergain", &PACKET_SPEC::fMarkerGain},
    };
    for (const INT_KEY& k : kIntKeys) {
        if (key != k.name)
            continue;
        long v = 0;
        if (!ParseLong(value, v) || v < k.lo || v > k.hi) {
            error = "bad value for " + key + ": '" + value + "'";
            return false;
        }
        spec.*k.field = static_cast<int>(v);
        return true;
    }
    for (const FLOAT_KEY& k : kFloatKeys) {
        if (key != k.name)
            continue;
        double v = 0.0;
        if (!ParseDouble(value, v)) {
            error = "bad value for " + key + ": '" + value + "'";
            return false;
        }
        spec.*k.field = static_cast<float>(v);
        return true;
    }
    long u = 0;
    if (key == "logid" || key == "index" || key == "additional") {
        if (!ParseLong(value, u) || u < 0 || u > 0xFFFFFFFFL) {
            error = "bad value for " + key + ": '" + value + "'";
            return false;
        }
        if (key == "logid")
            spec.u32LogId = static_cast<uint32_t>(u);
        else if (key == "index")
            spec.u32EepromFileIndex = static_cast<uint32_t>(u);
        else {
            spec.u32Additional = static_cast<uint32_t>(u);
            spec.bRawAdditional = true;
        }
        return true;
    }
    if (key == "checksum" || key == "fcs") {
        if (value != "bad" && value != "good") {
            error = key + " takes bad or good, not '" + value + "'";
            return false;
        }
        (key == "fcs" ? spec.bBadFcs : spec.bBadChecksum) = value == "bad";
        return true;
    }
    if (key == "hex") {
        if (!ParseHex(value, spec.raw) || spec.raw.empty() || spec.raw.size() > kMaxPacket) {
            error = "hex wants 1 to " + std::to_string(kMaxPacket) + " bytes as hex digits";
            return false;
        }
        return true;
    }
    if (key == "delay") {
        double v = 0.0;
        if (!ParseDouble(value, v) || v < 0.0 || v > 3600.0) {
            error = "bad value for delay: '" + value + "'";
            return false;
        }
        spec.dfDelay = v;
        return true;
    }
    error = "unknown key '" + key + "'";
    return false;
}

} // namespace

bool ParseScriptLine(const std::string& line, PACKET_SPEC& spec, bool* isPacket, std::string& error)
{
    const std::string text = line.substr(0, line.find('#'));
    std::istringstream words(text);
    std::string word;
    bool any = false;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "expected key=value, found '" + word + "'";
            return false;
        }
        if (!ApplyWord(word.substr(0, eq), word.substr(eq + 1), spec, error))
            return false;
        any = true;
    }
    if (isPacket != nullptr)
        *isPacket = any;
    return true;
}

bool LoadScript(const std::string& path, std::vector<std::string>& lines, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    lines.clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        PACKET_SPEC probe;
        bool isPacket = false;
        std::string why;
        if (!ParseScriptLine(line, probe, &isPacket, why)) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        if (isPacket)
            lines.push_back(line);
    }
    return true;
}
