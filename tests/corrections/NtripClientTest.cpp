// The NTRIP client against the small test caster: what reaches the GPS port,
// what goes upstream, what a crew is told, on each fault a caster can show.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corrections/NtripClient.h"
#include "support/NtripCaster.h"
#include "support/ScratchDir.h"

namespace {

using namespace std::chrono_literals;

std::string Recording()
{
    std::ifstream in(std::string(FIELDBOOK_TEST_DATA) + "/rtcm/testglo.rtcm3", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// testglo.rtcm3's frames: the file after its 58 bytes of text (it ends on a whole frame).
std::string Frames()
{
    return Recording().substr(58);
}

// The GPS port: keeps what was written; slow, it takes 96 bytes per 100 ms (9600 baud).
class PortSink : public IRtcmPort {
public:
    explicit PortSink(bool slow) : m_slow(slow) {}
    int WriteSome(const uint8_t* data, size_t size, int timeoutMs, size_t* put) override
    {
        if (m_slow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 100)));
            size = std::min<size_t>(size, 96);
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bytes.append(reinterpret_cast<const char*>(data), size);
        *put = size;
        return 0;
    }
    std::string Bytes() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bytes;
    }
    size_t Size() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bytes.size();
    }

private:
    bool m_slow;
    mutable std::mutex m_mutex;
    std::string m_bytes;
};

class Owner : public INtripOwner {
public:
    void OnNtripLine(const std::string& line) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.push_back(line);
        m_cv.notify_all();
    }
    // 35.8 N 138.3 E, 100 m above the geoid, geoid 40 m above the ellipsoid:
    // 11 488.5 m from testglo's station.
    bool CurrentFix(double& lat, double& lon, double& height) const override
    {
        lat = 35.8, lon = 138.3, height = 140.0;
        return true;
    }
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, 20ms);
        }
        return true;
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : Lines())
            n += line.find(text) != std::string::npos;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
};

const std::string kTable =
    "STR;MOUNT;Here;RTCM 3;1004(1),1005(10);2;GPS;X;JPN;35.87;138.39;NMEA;0;T;none;B;N;9600;\r\n"
    "STR;OTHER;There;RTCM 3;1004(1);2;GPS;X;JPN;43.06;141.35;0;0;T;none;B;N;9600;\r\nENDSOURCETABLE\r\n";
const char kIcy[] = "ICY 200 OK\r\n\r\n";
const char kHttpChunked[] = "HTTP/1.1 200 OK\r\nContent-Type: gnss/data\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kGga = "$GPGGA,140709.00,3548.0000,N,13818.0000,E,4,12,0.7,100.0,M,40.0,M,1.0,0000*45\r\n";
// The receiver lost its fix.
const std::string kNoFixGga = "$GPGGA,140710.00,,,,,0,00,99.9,,M,,M,,*5C\r\n";

NtripCaster::REPLY Table(bool gga, const std::string& format = "RTCM 3")
{
    std::string table = kTable;
    table.replace(table.find("NMEA"), 4, gga ? "1" : "0");
    table.replace(table.find("RTCM 3"), 6, format);
    return {"SOURCETABLE 200 OK\r\nContent-Type: text/plain\r\n\r\n", table, 0, false, 0ms, false};
}

// A table past 1 MiB (a national network's) that does not list MOUNT.
NtripCaster::REPLY BigTable()
{
    std::string table;
    for (int i = 0; table.size() < (3u << 19); ++i)
        table += "STR;NET" + std::to_string(i) + ";Somewhere;RTCM 3.2;1077(1);2;GPS;EX;DEU;50.0;8.0;1;1;sNTRIP;none;B;N;9600;\r\n";
    return {"SOURCETABLE 200 OK\r\n\r\n", table + "ENDSOURCETABLE\r\n", 0, false, 0ms, false};
}

int Count(const std::string& text, const std::string& word)
{
    int n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

// A clock for rows that wait a while: true once ms have passed since its first call.
std::function<bool()> After(std::chrono::milliseconds ms)
{
    auto start = std::make_shared<std::chrono::steady_clock::time_point>();
    return [start, ms] {
        if (*start == std::chrono::steady_clock::time_point{})
            *start = std::chrono::steady_clock::now();
        return std::chrono::steady_clock::now() - *start >= ms;
    };
}

enum class Tls { None, Caster, Elsewhere };

bool IsTableRequest(const std::string& request)
{
    return request.rfind("GET / ", 0) == 0;
}

struct Case {
    const char* name;
    bool slowPort;
    NtripCaster::Script script;
    std::function<bool(const NtripCaster&, const Owner&, const PortSink&, const CNtripClient&)> done;
    std::function<void(const NtripCaster&, const Owner&, const PortSink&, const NTRIP_STATUS&)> check;
    std::function<void(NTRIP_OPTIONS&, CGgaTap&)> setup = nullptr;
    Tls tls = Tls::None;
};

std::vector<Case> Cases()
{
    const std::string frames = Frames();
    // Rows that check a whole stream arrives once: a loaded machine may stall
    // a thread past the fault rows' 300 ms of silence, which would reconnect.
    const auto patient = [](NTRIP_OPTIONS& options, CGgaTap&) { options.noData = 5s; };
    return {
        {"NTRIP 2 chunked reply, base distance", false,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kHttpChunked, frames, 1000, true, 20ms};
         },
         [frames](const NtripCaster&, const Owner&, const PortSink& port, const CNtripClient&) {
             return port.Size() >= frames.size();
         },
         [frames](const NtripCaster& caster, const Owner& owner, const PortSink& port, const NTRIP_STATUS& status) {
             EXPECT_TRUE(port.Bytes() == frames);
             EXPECT_EQ(status.frames, 429u);
             EXPECT_EQ(owner.Count("NTRIP: streaming MOUNT, RTCM 3, base 11.5 km"), 1);
             EXPECT_GE(owner.Count(" B/s, last frame "), 1); // the status line, here every 200 ms
             EXPECT_EQ(owner.Count(", 0 frames dropped"), owner.Count(" B/s, last frame "));
             EXPECT_EQ(owner.Lines().back(),
                       "NTRIP: MOUNT 429 frames (1004: 186, 1005: 19, 1012: 186, 1019: 19, 1020: 19), 0 bad CRC, "
                       "0 dropped");
             EXPECT_NEAR(status.baselineKm, 11.4885, 0.001);
             ASSERT_EQ(caster.Requests().size(), 2u);
             EXPECT_NE(caster.Requests()[1].find("GET /MOUNT HTTP/1.1\r\n"), std::string::npos);
             EXPECT_NE(caster.Requests()[1].find("Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
             EXPECT_EQ(caster.Upstream(), ""); // the mountpoint does not ask for GGA
         },
         patient},
        {"mountpoint asks for GGA", false,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(true);
             return NtripCaster::REPLY{kIcy, frames.substr(0, 2000), 0, false, 0ms, true};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Upstream().size() >= kGga.size();
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(caster.Upstream().substr(0, kGga.size()), kGga);
         }},
        {"wrong password", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{"HTTP/1.1 401 Unauthorized\r\n\r\n", "", 0, false, 0ms, false};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 4;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const NTRIP_STATUS& status) {
             // Told once, retried within the back-off's cap, never minutes.
             EXPECT_EQ(owner.Count("NTRIP: 127.0.0.1: MOUNT not authorised for user 'user': check user and password, "
                                   "retrying in 1 s"),
                       1);
             EXPECT_EQ(owner.Lines().size(), 1u);
             EXPECT_EQ(status.state, NtripState::Refused);
         }},
        {"sourcetable in place of the stream", false,
         [](int n, const std::string&) {
             return n == 0 ? NtripCaster::REPLY{"ICY 200 OK\r\n\r\n", "", 0, false, 0ms, false} : Table(false);
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 5;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const NTRIP_STATUS& status) {
             // A base rebooting: the table lists it, the stream is not there now.
             EXPECT_EQ(owner.Count("NTRIP: 127.0.0.1: MOUNT not offered now; it offers OTHER (846.9 km), retrying in 1 s"),
                       1);
             EXPECT_EQ(status.state, NtripState::Refused);
         }},
        {"404 not found", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{"HTTP/1.1 404 Not Found\r\n\r\n", "", 0, false, 0ms, false};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 4;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(owner.Lines(), std::vector<std::string>{"NTRIP: 127.0.0.1: MOUNT not found, retrying in 1 s"});
         }},
        {"redirect not followed", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{"HTTP/1.1 302 Found\r\nLocation: http://other.example:2101/MOUNT\r\n\r\n", "", 0,
                                       false, 0ms, false};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 4;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(owner.Lines(), std::vector<std::string>{"NTRIP: 127.0.0.1: MOUNT moved to other.example:2101; not "
                                                               "followed: set the new address, retrying in 1 s"});
         }},
        {"VRS: no table at first, GGA all the same", false,
         [](int n, const std::string& request) {
             if (n == 0)
                 return NtripCaster::REPLY{}; // the mobile link not up yet
             if (IsTableRequest(request))
                 return Table(true);
             return NtripCaster::REPLY{kIcy, "", 0, false, 0ms, true};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Upstream().size() >= kGga.size();
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(caster.Upstream().substr(0, kGga.size()), kGga);
             int tables = 0;
             for (const std::string& request : caster.Requests())
                 tables += IsTableRequest(request);
             EXPECT_GE(tables, 2); // asked again after the first failed
         }},
        {"silent caster gets GGA", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kIcy, "", 0, false, 0ms, true};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Upstream().size() >= kGga.size();
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(caster.Upstream().substr(0, kGga.size()), kGga);
         },
         [](NTRIP_OPTIONS& options, CGgaTap&) {
             options.silentGga = 200ms;
             options.noData = 5s;
         }},
        {"stale fix not sent", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(true);
             return NtripCaster::REPLY{kIcy, "", 0, false, 0ms, true};
         },
         [done = After(2500ms)](const NtripCaster&, const Owner&, const PortSink&, const CNtripClient&) {
             return done();
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_EQ(caster.Upstream(), kGga); // once while fresh, then the receiver went silent
         },
         [](NTRIP_OPTIONS& options, CGgaTap&) {
             options.nGgaSeconds = 1;
             options.nMaxAgeSeconds = 1;
             options.noData = 5s;
         }},
        {"no fix: the set position", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(true);
             return NtripCaster::REPLY{kIcy, "", 0, false, 0ms, true};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return Count(caster.Upstream(), "$GPGGA") >= 2;
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             const std::string up = caster.Upstream();
             EXPECT_EQ(Count(up, ",4530.0000,N,00730.0000,W,1,08,1.0,250.0,M,0.0,M,,*"), Count(up, "$GPGGA")) << up;
         },
         [](NTRIP_OPTIONS& options, CGgaTap& gga) {
             gga.Feed(reinterpret_cast<const uint8_t*>(kNoFixGga.data()), kNoFixGga.size());
             options.nGgaSeconds = 1;
             options.bHavePosition = true;
             options.dfLatitude = 45.5, options.dfLongitude = -7.5, options.dfHeight = 250.0;
         }},
        {"caster closes after each frame", false,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kIcy, frames.substr(0, 60), 0, false, 0ms, false};
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 14;
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             // Six connections at most in any window (here a second for a minute).
             const auto accepted = caster.Accepted();
             for (size_t i = 0; i + 6 < accepted.size(); ++i)
                 EXPECT_GE(accepted[i + 6] - accepted[i], 900ms) << "connection " << i;
         },
         [](NTRIP_OPTIONS& options, CGgaTap&) { options.connectWindow = 1000ms; }},
        {"not RTCM 3", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kIcy, std::string(4000, 'x'), 100, false, 20ms, true};
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const CNtripClient&) {
             return owner.Count("no RTCM 3 frame: is it RTCM 3?") > 0 && owner.Count(" B/s, no RTCM 3 frame yet, ") > 0;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink& port, const NTRIP_STATUS&) {
             EXPECT_EQ(owner.Count("last frame"), 0);
             EXPECT_EQ(owner.Count("NTRIP: streaming"), 0);
             EXPECT_EQ(port.Bytes(), "");
         },
         [](NTRIP_OPTIONS& options, CGgaTap&) {
             options.noFrame = 300ms;
             options.noData = 5s;
         }},
        {"RTCM 2.3 relayed raw", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false, "RTCM 2.3");
             std::string rtcm2;
             for (int i = 0; i < 3000; ++i)
                 rtcm2 += static_cast<char>(0x40 + (i * 7) % 64); // 6-of-8 bytes, as RTCM 2 sends them
             return NtripCaster::REPLY{kIcy, rtcm2, 500, false, 10ms, true};
         },
         [](const NtripCaster&, const Owner&, const PortSink& port, const CNtripClient&) {
             return port.Size() >= 3000;
         },
         [](const NtripCaster&, const Owner& owner, const PortSink& port, const NTRIP_STATUS& status) {
             EXPECT_EQ(status.format, NtripFormat::Raw);
             std::string rtcm2;
             for (int i = 0; i < 3000; ++i)
                 rtcm2 += static_cast<char>(0x40 + (i * 7) % 64);
             EXPECT_TRUE(port.Bytes() == rtcm2);
             EXPECT_EQ(owner.Count("NTRIP: streaming MOUNT, RTCM 2.3, relayed as raw bytes"), 1);
         }},
        {"mountpoint not in a table over 1 MiB", false,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return BigTable();
             return NtripCaster::REPLY{kIcy, frames, 1000, false, 20ms, true};
         },
         [frames](const NtripCaster&, const Owner&, const PortSink& port, const CNtripClient&) {
             return port.Size() >= frames.size();
         },
         [frames](const NtripCaster&, const Owner& owner, const PortSink& port, const NTRIP_STATUS& status) {
             EXPECT_TRUE(port.Bytes() == frames);
             EXPECT_EQ(owner.Count("NTRIP: MOUNT is not in 127.0.0.1's table; asking for it all the same"), 1);
             EXPECT_EQ(status.streams.size(), 0u); // only a refusal lists them
         },
         patient},
        {"TLS caster", false,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kHttpChunked, frames, 1000, true, 20ms};
         },
         [frames](const NtripCaster&, const Owner&, const PortSink& port, const CNtripClient&) {
             return port.Size() >= frames.size();
         },
         [frames](const NtripCaster& caster, const Owner& owner, const PortSink& port, const NTRIP_STATUS&) {
             EXPECT_TRUE(port.Bytes() == frames);
             EXPECT_EQ(owner.Count("NTRIP: streaming MOUNT, RTCM 3, base 11.5 km"), 1);
             ASSERT_EQ(caster.Requests().size(), 2u);
             EXPECT_NE(caster.Requests()[1].find("Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
         },
         patient, Tls::Caster},
        {"TLS certificate for another name", false,
         [](int, const std::string&) { return Table(false); },
         [](const NtripCaster& caster, const Owner& owner, const PortSink&, const CNtripClient&) {
             return caster.Connections() >= 3 && owner.Lines().size() >= 1;
         },
         [](const NtripCaster& caster, const Owner& owner, const PortSink&, const NTRIP_STATUS& status) {
             ASSERT_EQ(owner.Lines().size(), 1u);
             EXPECT_NE(owner.Lines()[0].find("refused: its certificate is not for 127.0.0.1, retrying in 1 s"),
                       std::string::npos);
             EXPECT_TRUE(caster.Requests().empty()); // nothing, the password least, went to it
             EXPECT_EQ(status.bytes, 0u);
         },
         nullptr, Tls::Elsewhere},
        {"caster stops and comes back", false,
         [frames](int n, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             if (n == 1)
                 return NtripCaster::REPLY{kIcy, frames.substr(0, 3000), 1000, false, 20ms, false};
             if (n == 2)
                 return NtripCaster::REPLY{}; // down
             return NtripCaster::REPLY{kIcy, frames.substr(3000), 1000, false, 20ms, true};
         },
         [frames](const NtripCaster&, const Owner&, const PortSink& port, const CNtripClient&) {
             return port.Size() >= frames.size() - 3000 + 2000;
         },
         [frames](const NtripCaster& caster, const Owner& owner, const PortSink& port, const NTRIP_STATUS&) {
             // The frame cut by the restart is lost whole; everything else arrives in order.
             const std::string got = port.Bytes();
             EXPECT_EQ(frames.find(got.substr(0, 1000)), 0u);
             EXPECT_NE(frames.find(got.substr(got.size() - 1000)), std::string::npos);
             EXPECT_EQ(caster.Connections(), 4);
             EXPECT_EQ(owner.Count("NTRIP: connection to 127.0.0.1 lost, retrying"), 1);
             EXPECT_EQ(owner.Count("NTRIP: streaming MOUNT"), 2);
         }},
        {"no data", false,
         [](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kIcy, "", 0, false, 0ms, true};
         },
         [](const NtripCaster&, const Owner& owner, const PortSink&, const CNtripClient&) {
             return owner.Count("NTRIP: no data for 0 s, reconnecting") >= 2;
         },
         [](const NtripCaster& caster, const Owner&, const PortSink&, const NTRIP_STATUS&) {
             EXPECT_GE(caster.Connections(), 3);
         }},
        {"stream faster than a 9600-baud port", true,
         [frames](int, const std::string& request) {
             if (IsTableRequest(request))
                 return Table(false);
             return NtripCaster::REPLY{kIcy, frames.substr(0, 20000), 0, false, 0ms, true};
         },
         [](const NtripCaster&, const Owner&, const PortSink&, const CNtripClient& client) {
             return client.Status().frames >= 150 && client.Status().dropped > 0;
         },
         [frames](const NtripCaster&, const Owner&, const PortSink& port, const NTRIP_STATUS& status) {
             // Every frame written is whole and one of the stream's, in order.
             const std::string got = port.Bytes();
             size_t at = 0;
             size_t from = 0;
             uint64_t written = 0;
             while (at + 3 <= got.size()) {
                 const size_t size = 6 + ((static_cast<uint8_t>(got[at + 1]) & 3) << 8) + static_cast<uint8_t>(got[at + 2]);
                 if (at + size > got.size())
                     break; // the frame being written as the test stopped
                 const size_t found = frames.find(got.substr(at, size), from);
                 ASSERT_NE(found, std::string::npos) << "frame at " << at;
                 from = found + size;
                 at += size;
                 ++written;
             }
             EXPECT_GT(status.dropped, 0u);
             EXPECT_LE(written + status.dropped, status.frames);
         }},
    };
}

class NtripClientTest : public ::testing::TestWithParam<Case> {
public:
    static void SetUpTestSuite()
    {
        s_certificates = new ScratchDir;
        s_made = NtripCaster::MakeCertificates(s_certificates->Path());
    }
    static void TearDownTestSuite()
    {
        delete s_certificates;
        s_certificates = nullptr;
    }

protected:
    static ScratchDir* s_certificates;
    static bool s_made;
};

ScratchDir* NtripClientTest::s_certificates = nullptr;
bool NtripClientTest::s_made = false;

} // namespace

TEST_P(NtripClientTest, AgainstTheTestCaster)
{
    const Case& c = GetParam();
    NtripCaster::TLS tls;
    if (c.tls != Tls::None) {
        ASSERT_TRUE(s_made) << ReadWholeFile(s_certificates->File("openssl.log"));
        const std::string name = c.tls == Tls::Caster ? "caster" : "elsewhere";
        tls = {s_certificates->File(name + ".crt"), s_certificates->File(name + ".key")};
    }
    NtripCaster caster(c.script, tls);
    ASSERT_NE(caster.Port(), 0);
    Owner owner;
    PortSink port(c.slowPort);
    CRtcmRelay relay(port);
    CGgaTap gga;
    gga.Feed(reinterpret_cast<const uint8_t*>(kGga.data()), kGga.size());
    CNtripClient client(owner, relay, &gga);
    NTRIP_OPTIONS options;
    const std::string scheme = c.tls == Tls::None ? "ntrip://" : "ntrips://";
    ASSERT_TRUE(ParseNtripUrl(scheme + "user:pass@127.0.0.1:" + std::to_string(caster.Port()) + "/MOUNT", options.url));
    if (c.tls != Tls::None)
        options.caFile = s_certificates->File("ca.crt");
    options.nGgaSeconds = -1;
    options.nMaxAgeSeconds = 0;
    options.firstRetry = 20ms;
    options.maxRetry = 100ms;
    options.noData = 300ms;
    options.statusEvery = 200ms;
    // A minute's pacing would hold every fault row up; the storm row sets its own.
    options.connectWindow = 1ms;
    if (c.setup)
        c.setup(options, gga);
    relay.Start();
    client.Start(options);
    EXPECT_TRUE(owner.WaitFor([&] { return c.done(caster, owner, port, client); })) << c.name;
    const NTRIP_STATUS status = client.Status();
    client.Stop();
    relay.Stop();
    c.check(caster, owner, port, status);
    if (HasFailure()) {
        for (const std::string& line : owner.Lines())
            ADD_FAILURE() << "said: " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Casters, NtripClientTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != '\0'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });
