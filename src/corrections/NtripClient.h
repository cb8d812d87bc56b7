// The NTRIP client: its own thread and socket. It logs in to the caster, asks
// for the mountpoint (or the sourcetable), sends the receiver's GGA upstream
// when asked to, frames the RTCM stream, counts it, takes the reference
// station's position, and hands every good frame to the relay that writes it
// into the GPS port. Nothing here ever stops the survey: every fault is retried
// on its own timer and reported in one plain line; a refusal costs seconds,
// a caster that keeps closing never sees more than six connections a minute.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corrections/CasterConnection.h"
#include "corrections/NtripReply.h"
#include "corrections/Rtcm.h"
#include "corrections/RtcmRelay.h"
#include "platform/WakeEvent.h"

struct NTRIP_OPTIONS {
    NTRIP_URL url;
    // Seconds between GGA sentences upstream: -1 only for mountpoints whose
    // sourcetable entry asks for it (then every 10 s), 0 never, else every
    // mountpoint this often.
    int32_t nGgaSeconds = -1;
    // A GGA upstream is never older than this (GPS#MAXAGE; 0 any age).
    int32_t nMaxAgeSeconds = 5;
    // GPS#NTRIP#POSITION: sent while the receiver has no current fix.
    bool bHavePosition = false;
    double dfLatitude = 0.0, dfLongitude = 0.0, dfHeight = 0.0; // degrees, ellipsoidal metres
    // GPS#NTRIP#CA: the CA certificates a TLS caster is checked against ("" the system's).
    std::string caFile;
    std::string version = FIELDBOOK_VERSION;
    // Fault timings; the tests shorten them.
    std::chrono::milliseconds firstRetry{1000};
    std::chrono::milliseconds maxRetry{60000};
    std::chrono::milliseconds noData{30000};
    // A caster that accepts but is silent this long gets GGA whatever its table says.
    std::chrono::milliseconds silentGga{10000};
    // An RTCM 3 stream with bytes but no valid frame this long is warned about.
    std::chrono::milliseconds noFrame{10000};
    // Only a session that streamed this long resets the back-off...
    std::chrono::milliseconds streamedLong{60000};
    // ...and at most six connections are opened in any such window.
    std::chrono::milliseconds connectWindow{60000};
    std::chrono::milliseconds statusEvery{60000};
    std::chrono::milliseconds connectTimeout{10000};
};
inline constexpr int kMaxConnectionsPerWindow = 6;

// What the owner (the view) gives and hears. Any call comes from the client's
// thread and must not wait for the user-interface thread.
class INtripOwner {
public:
    virtual ~INtripOwner() = default;
    // One line for a crew ("NTRIP: streaming MOUNT, RTCM 3, base 12.4 km").
    virtual void OnNtripLine(const std::string& line) = 0;
    // The current fix: latitude, longitude (degrees), ellipsoidal height (m).
    virtual bool CurrentFix(double& lat, double& lon, double& height) const = 0;
};

enum class NtripState { Off, Connecting, Streaming, Waiting, Refused };
enum class NtripFormat { Rtcm3, Raw };

struct NTRIP_STATUS {
    NtripState state = NtripState::Off;
    uint64_t bytes = 0;       // stream bytes received, every connection
    uint64_t frames = 0;      // good frames
    uint64_t badCrc = 0;
    uint64_t dropped = 0;     // frames the port could not take
    double lastFrameAge = -1; // seconds; -1 none yet
    double baselineKm = -1;   // -1 unknown
    bool haveStation = false;
    RTCM_STATION station;
    std::vector<std::pair<uint16_t, uint64_t>> census; // message type, frames
    std::vector<NTRIP_STREAM> streams; // the last sourcetable, nearest first
    NtripFormat format = NtripFormat::Rtcm3;
    uint64_t connections = 0; // connections opened, tables included
    std::string line;         // the last line said
};

class CNtripClient : private IRtcmFrameSink, private INtripBodySink {
public:
    CNtripClient(INtripOwner& owner, CRtcmRelay& relay, const CGgaTap* gga);
    ~CNtripClient() override;
    CNtripClient(const CNtripClient&) = delete;
    CNtripClient& operator=(const CNtripClient&) = delete;

    void Start(const NTRIP_OPTIONS& options);
    // Bounded: wakes the thread out of any wait.
    void Stop();
    NTRIP_STATUS Status() const;

private:
    enum class Outcome { Unreachable, TlsRefused, Lost, NoData, Unauthorized, Sourcetable, NotFound, Moved, Refused, Stopped };

    void Run();
    // One connection: request, reply, stream until it ends. A table asked for
    // or given goes to table.
    Outcome Session(const std::string& mountpoint, CSourcetableReader& table, std::chrono::milliseconds* streamed);
    // Waits while six connections were opened within the window; false when stopped.
    bool Pace();
    // Sleeps for wait or until Stop; false when stopped.
    bool Sleep(std::chrono::milliseconds wait);
    bool Stopping() const { return m_bStop.load(); }
    void Say(const std::string& line);
    // Says line unless the same fault was said last.
    void SayOnce(const std::string& key, const std::string& line);
    void SetState(NtripState state);
    void StreamingLine();
    // The GGA to send now: the receiver's, fresh enough, else the set position; false none.
    bool GgaNow(char (&sentence)[CGgaTap::kMaxSentence + 1], size_t& length) const;
    // The sourcetable's streams but skip, nearest first from the current fix, as text.
    std::string ListStreams(std::vector<NTRIP_STREAM> streams, const std::string& skip = {});

    // IRtcmFrameSink / INtripBodySink (client thread)
    void OnRtcmFrame(const uint8_t* frame, size_t size) override;
    void OnRtcmBadCrc() override;
    void OnBody(const uint8_t* data, size_t size) override;

    INtripOwner& m_owner;
    CRtcmRelay& m_relay;
    const CGgaTap* m_gga;
    NTRIP_OPTIONS m_options;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    CWakeEvent m_wake;

    CRtcmFramer m_framer;
    CNtripReply m_reply;
    CCasterConnection m_connection;
    CSourcetableReader* m_table = nullptr; // body goes here while a sourcetable is read
    enum class Wish { Unknown, Yes, No } m_wantGga = Wish::Unknown;
    std::string m_formatName; // the table's format of the mountpoint, "" unknown
    bool m_bRaw = false;
    bool m_bSaidStreaming = false;
    bool m_bSaidBase = false;
    std::string m_lastSaid; // the key of the last fault said
    std::string m_tlsReason; // why the last connection failed, in words
    std::vector<std::chrono::steady_clock::time_point> m_opened; // the last connections' times
    std::chrono::steady_clock::time_point m_lastData;
    uint64_t m_sessionBytes = 0;
    uint64_t m_sessionFrames = 0;

    mutable std::mutex m_mutex;
    NTRIP_STATUS m_status; // under m_mutex (dropped read from the relay)
    std::chrono::steady_clock::time_point m_lastFrame; // under m_mutex
    bool m_bHaveFrame = false;                         // under m_mutex
};
