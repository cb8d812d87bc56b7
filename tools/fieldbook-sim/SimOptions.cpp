#include "SimOptions.h"

#include <cstring>
#include <functional>
#include <sstream>
#include <type_traits>

#include "NmeaSentences.h"
#include "PacketScript.h"

const char* SimUsageText()
{
    return R"(Usage: fieldbook-sim --ports DIR [options]

Simulates the locator (Bluetooth serial port) and the GPS receiver (NMEA port)
on pseudo-terminals, linked as DIR/COM<n> so that fieldbook opens them as if
they were serial devices. Checks every reply fieldbook sends the locator and
prints a summary at the end (also on SIGINT/SIGTERM). The links are removed at
exit.

Ports:
  --ports DIR            folder for the COM<n> links (required; created if missing)
  --gps-port N           GPS receiver port number (default 4)
  --bt-port N            locator (Bluetooth) port number (default 5)
  --no-gps               run only the locator side
  --no-locator           run only the GPS side

GPS receiver (sent only while a program has the port open):
  --rate HZ              epochs per second, 0.1 to 50 (default 1)
  --start LAT,LON        start of the walk, signed degrees (default 48.1173,11.516667)
  --heading DEG          walking direction, degrees from north (default 45)
  --speed M/S            walking speed (default 1.4)
  --fix-loss EVERY:FOR   every EVERY seconds the fix is lost for FOR seconds: GGA
                         quality 0 with empty position fields, RMC status V
  --talker XX            talker id, e.g. GN (default GP; fieldbook reads other
                         talkers only with GPS#TALKER#ANY)
  --any-talker           fieldbook reads every talker: check its fixes whatever
                         the talker
  --line-end crlf|lf     how sentences end (default crlf)
  --silent-after SECONDS the receiver stops talking SECONDS after start-up; its
                         port stays open
  --record-gps-input FILE
                         every byte fieldbook writes to the GPS port (RTK
                         corrections), appended to FILE as it comes
  --sentences LIST       comma list of gga,zda,rmc,gsa,gsv,gst (default all but
                         gst; GSA and GSV once a second). UTC time comes from
                         the system clock.
  --quality-plan PLAN    the solution changes as the walk goes on: comma list
                         of TYPE[:SECONDS[:METRES]], TYPE autonomous, dgps,
                         float or fixed, e.g. autonomous:5,float:5:0.3,fixed.
                         Each step holds for SECONDS (the last to the end) with
                         GST reporting METRES of horizontal error (defaults 3,
                         0.8, 0.3, 0.02); corrected steps count the correction
                         age up from 1 s and name station 0042. Adds GST to
                         every epoch.

Locator (packets start once fieldbook has opened the Bluetooth port):
  --command N            packet command byte, 1 or 2 (or any 0-255) (default 1)
  --protocol N           protocol id 0-7, bits 31-29 of the additional data (default 2)
  --gps-mode N           GPS mode of protocol 2/3 packets (default 1): 0 the packet
                         carries the locator's own fix, 1 the handheld's fix comes
                         back in a 72-byte ACK, 2 handheld's fix, short ACK
  --log-mode N           locator log mode (default 1)
  --frequency HZ         locate frequency (default 8440)
  --interval SECONDS     time between packets (default 1); a packet also waits
                         for the reply to the one before
  --count N              stop after N packets
  --duration SECONDS     stop sending SECONDS after the first packet (with
                         --no-locator: end the run SECONDS after start-up)
  --script FILE          send the packets of FILE, one per line, then stop:
                           cmd=1 proto=2 gpsmode=1 mode=1 freq=8440 depth=1.25 current=0.5
                         keys: cmd proto gpsmode mode freq depth current signal
                         phase strength gain compass arrows antenna accessory
                         sonde battery volume overload logid index additional
                         marker markerdepth markersignal markergain rtcupdated
                         checksum=bad fcs=bad delay=SECONDS hex=FF0300210102...
                         (hex: the payload as it is); "#" starts a comment
  --mix                  cycle through every packet kind: short and long ACKs,
                         the NAK, and packets that earn no reply
  --corrupt-every N      send every Nth packet with a corrupted FCS
  --reply-timeout SECONDS  wait for each reply (default 2)
  --open-timeout SECONDS   wait for fieldbook to open the Bluetooth port (default 30)
  --start-delay SECONDS    pause after it opened before the first packet (default 0.5)
  --tolerate-unanswered  missing replies do not fail the run
  --log FILE             one line per packet:
                           n=1 kind=c1p2g1 logid=0x00000001 index=1 expect=ACK72
                           reply=ACK72 latency_ms=3.42 result=ok
                         result: ok, unanswered, silent (no reply due, none
                         came) or wrong:<rule broken>
  --drop-bluetooth SECONDS  after SECONDS of sending, the Bluetooth device
                         vanishes (link removed, pseudo-terminal closed) and
                         returns after --drop-pause; no packets meanwhile
  --drop-pause SECONDS   how long it stays away (default 2)
  --drop-times N         how many times it vanishes (default 1)
  --seed N               seed of the measured values (default 1)

Other:
  -v, --verbose          print each packet's line on stderr as it is settled
  -q, --quiet            no progress messages on stderr
  -h, --help             this text
  --version              version

Summary (stdout): packets sent, ACKed, NAKed, no reply expected, unanswered,
wrong replies, reply latency median and worst (ms), GPS sentences.
Exit status: 0 every reply kept to the rules and none was missing, 1 otherwise
(or the port was never opened), 2 usage error.
)";
}

namespace {

bool ParsePair(const std::string& text, char sep, double& a, double& b)
{
    const size_t at = text.find(sep);
    return at != std::string::npos && ParseDouble(text.substr(0, at), a) && ParseDouble(text.substr(at + 1), b);
}

bool ParseSentences(const std::string& text, uint32_t& mask)
{
    mask = 0;
    std::istringstream list(text);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name == "gga")
            mask |= NMEA_GGA;
        else if (name == "zda")
            mask |= NMEA_ZDA;
        else if (name == "rmc")
            mask |= NMEA_RMC;
        else if (name == "gsa")
            mask |= NMEA_GSA;
        else if (name == "gsv")
            mask |= NMEA_GSV;
        else if (name == "gst")
            mask |= NMEA_GST;
        else
            return false;
    }
    return mask != 0;
}

} // namespace

PARSE_RESULT ParseSimOptions(int argc, const char* const* argv, SIM_OPTIONS& o, std::string& error)
{
    o.dwSentences = NMEA_ALL;
    auto number = [](double lo, double hi, double& out) {
        return [lo, hi, &out](const std::string& v) {
            double d = 0.0;
            if (!ParseDouble(v, d) || d < lo || d > hi)
                return false;
            out = d;
            return true;
        };
    };
    auto integer = [](long lo, long hi, auto& out) {
        return [lo, hi, &out](const std::string& v) {
            long n = 0;
            if (!ParseLong(v, n) || n < lo || n > hi)
                return false;
            out = static_cast<std::remove_reference_t<decltype(out)>>(n);
            return true;
        };
    };
    auto text = [](std::string& out) {
        return [&out](const std::string& v) {
            out = v;
            return !v.empty();
        };
    };
    double frequency = o.packet.fFrequency;
    long seed = o.u32Seed;

    struct OPTION {
        const char* name;
        std::function<bool(const std::string&)> take; // null: a switch
        bool* flag;
        bool value;
    };
    const OPTION kOptions[] = {
        {"--ports", text(o.portsDir), nullptr, false},
        {"--gps-port", integer(0, 255, o.nGpsPort), nullptr, false},
        {"--bt-port", integer(0, 255, o.nBluetoothPort), nullptr, false},
        {"--no-gps", nullptr, &o.bGps, false},
        {"--no-locator", nullptr, &o.bLocator, false},
        {"--rate", number(0.1, 50.0, o.dfRateHz), nullptr, false},
        {"--start", [&o](const std::string& v) {
             double lat = 0.0, lon = 0.0;
             if (!ParsePair(v, ',', lat, lon) || lat < -89.0 || lat > 89.0 || lon < -180.0 || lon > 180.0)
                 return false;
             o.dfStartLat = lat;
             o.dfStartLon = lon;
             return true;
         }, nullptr, false},
        {"--heading", number(-360.0, 360.0, o.dfHeading), nullptr, false},
        {"--speed", number(0.0, 100.0, o.dfSpeed), nullptr, false},
        {"--fix-loss", [&o](const std::string& v) {
             double every = 0.0, span = 0.0;
             if (!ParsePair(v, ':', every, span) || every <= 0.0 || span <= 0.0 || span >= every)
                 return false;
             o.dfFixLossEvery = every;
             o.dfFixLossFor = span;
             return true;
         }, nullptr, false},
        {"--talker", [&o](const std::string& v) {
             if (v.size() != 2 || v[0] < 'A' || v[0] > 'Z' || v[1] < 'A' || v[1] > 'Z')
                 return false;
             o.talker = v;
             return true;
         }, nullptr, false},
        {"--any-talker", nullptr, &o.bAnyTalker, true},
        {"--quality-plan", [&o](const std::string& v) {
             std::string why;
             return ParseQualityPlan(v, o.qualityPlan, why);
         }, nullptr, false},
        {"--line-end", [&o](const std::string& v) {
             if (v != "crlf" && v != "lf")
                 return false;
             o.bLfOnly = v == "lf";
             return true;
         }, nullptr, false},
        {"--silent-after", number(0.1, 1e7, o.dfSilentAfter), nullptr, false},
        {"--sentences", [&o](const std::string& v) { return ParseSentences(v, o.dwSentences); }, nullptr, false},
        {"--command", integer(0, 255, o.packet.nCommand), nullptr, false},
        {"--protocol", integer(0, 7, o.packet.nProtocol), nullptr, false},
        {"--gps-mode", integer(-2147483648L, 2147483647L, o.packet.nGpsMode), nullptr, false},
        {"--log-mode", integer(-2147483648L, 2147483647L, o.packet.nLogMode), nullptr, false},
        {"--frequency", number(-1e9, 1e9, frequency), nullptr, false},
        {"--interval", number(0.01, 3600.0, o.dfInterval), nullptr, false},
        {"--count", integer(1, 100000000L, o.nCount), nullptr, false},
        {"--duration", number(0.1, 1e7, o.dfDuration), nullptr, false},
        {"--script", text(o.scriptPath), nullptr, false},
        {"--mix", nullptr, &o.bMix, true},
        {"--corrupt-every", integer(1, 100000000L, o.nCorruptEvery), nullptr, false},
        {"--reply-timeout", number(0.05, 60.0, o.dfReplyTimeout), nullptr, false},
        {"--open-timeout", number(0.1, 86400.0, o.dfOpenTimeout), nullptr, false},
        {"--start-delay", number(0.0, 60.0, o.dfStartDelay), nullptr, false},
        {"--tolerate-unanswered", nullptr, &o.bTolerateUnanswered, true},
        {"--log", text(o.logPath), nullptr, false},
        {"--record-gps-input", text(o.recordGpsInput), nullptr, false},
        {"--drop-bluetooth", number(0.1, 86400.0, o.dfDropAfter), nullptr, false},
        {"--drop-pause", number(0.0, 3600.0, o.dfDropPause), nullptr, false},
        {"--drop-times", integer(1, 1000000L, o.nDropTimes), nullptr, false},
        {"--seed", integer(0, 0xFFFFFFFFL, seed), nullptr, false},
        {"--verbose", nullptr, &o.bVerbose, true},
        {"-v", nullptr, &o.bVerbose, true},
        {"--quiet", nullptr, &o.bQuiet, true},
        {"-q", nullptr, &o.bQuiet, true},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return PARSE_RESULT::Help;
        if (arg == "--version")
            return PARSE_RESULT::Version;
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const OPTION* found = nullptr;
        for (const OPTION& option : kOptions) {
            if (arg == option.name)
                found = &option;
        }
        if (found == nullptr) {
            error = "unknown option '" + arg + "' (try --help)";
            return PARSE_RESULT::Error;
        }
        if (!found->take) {
            if (hasValue) {
                error = "option " + arg + " takes no value";
                return PARSE_RESULT::Error;
            }
            *found->flag = found->value;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return PARSE_RESULT::Error;
            }
            value = argv[++i];
        }
        if (!found->take(value)) {
            error = "bad value for " + arg + ": '" + value + "'";
            return PARSE_RESULT::Error;
        }
    }
    o.packet.fFrequency = static_cast<float>(frequency);
    o.u32Seed = static_cast<uint32_t>(seed);

    if (o.portsDir.empty())
        error = "--ports DIR is required";
    else if (!o.bGps && !o.bLocator)
        error = "--no-gps and --no-locator leave nothing to run";
    else if (o.bGps && o.bLocator && o.nGpsPort == o.nBluetoothPort)
        error = "--gps-port and --bt-port must differ";
    else if (o.bMix && !o.scriptPath.empty())
        error = "--mix and --script cannot be combined";
    if (!error.empty())
        return PARSE_RESULT::Error;
    return PARSE_RESULT::Run;
}
