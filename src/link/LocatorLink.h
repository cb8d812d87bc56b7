// The communications object: owns the locator's Bluetooth port and the GPS port,
// runs one reader thread for each, answers the locator's measurement packets and
// queues the survey points for the survey log.
//
// Threads. The user-interface thread constructs, initialises, starts, stops and
// shuts the link down and drains the queue (PeekLocateRecord/PopLocateRecord).
// The Bluetooth reader owns the Bluetooth port, the frame assembler, the codec
// and the packet handling; the GPS reader owns the GPS port and feeds the
// decoder. The two meet only in the decoder (its own semaphore) and the record
// queue ("LocateDataSemaphore"); no code holds both at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gps/GpsDecoder.h"
#include "link/FrameCodec.h"
#include "link/LinkOwner.h"
#include "link/ReaderWake.h"
#include "link/RecordSource.h"
#include "corrections/RtcmRelay.h"
#include "link/SerialPort.h"
#include "link/SurveyPoint.h"
#include "platform/DebugFile.h"
#include "platform/Semaphore.h"

// Result codes of the link (m_nLastRetCode). Anything else that Initialise returns
// is the NMEA decoder's own start-up code, passed through.
enum : int {
    LINK_OK = 0,
    LINK_ERR_NO_BT_PORT = 100,
    LINK_ERR_NO_GPS_PORT = 101,
    LINK_ERR_NOT_INITIALISED = 102,
    LINK_ERR_NO_CODEC = 103,
    LINK_ERR_NO_RECORD = 105,
    LINK_ERR_NO_DECODER = 106,
    LINK_ERR_NO_SEMAPHORE = 108,
    LINK_ERR_WAIT_TIMEOUT = 109,
    LINK_ERR_WAIT_FAILED = 110,
    LINK_ERR_RELEASE_FAILED = 111,
    LINK_ERR_SHORT_WRITE = 112,
};

// Reply type byte of an answer to the locator.
enum : uint8_t { REPLY_ACK = 2, REPLY_NAK = 3 };

// State word of a reader thread.
enum : int32_t { THREAD_STOPPED = 0, THREAD_RUNNING = 1, THREAD_STOP_REQUESTED = 2 };

class CLocatorLink : public IRecordSource, private IFrameSink {
public:
    // Makes the device behind a port; bluetooth tells which. Empty: the POSIX device.
    using DeviceFactory = std::function<std::unique_ptr<ISerialDevice>(bool bluetooth)>;

    static constexpr uint32_t kQueueWaitMs = 250;
    static constexpr auto kThreadEndWait = std::chrono::milliseconds(3000);
    static constexpr uint32_t kReadChunk = 128;
    static constexpr uint32_t kGpsBlockSize = 64;

    explicit CLocatorLink(ILinkOwner& owner);
    ~CLocatorLink() override;
    CLocatorLink(const CLocatorLink&) = delete;
    CLocatorLink& operator=(const CLocatorLink&) = delete;

    // Builds ports, codec, decoder and queue semaphore; 0 or a result code.
    int Initialise();
    // Opens the debug outputs the owner's debug level asks for and starts the
    // readers that are not running. Starts nothing (102) without a successful
    // Initialise.
    int StartThreads();
    // Asks both readers to stop (a reader waiting for its port wakes at once),
    // waits up to 3000 ms for each, closes the debug files.
    void StopThreads();
    // Stops and frees everything; the object is as constructed afterwards.
    void Shutdown();

    // Record queue. The record Peek gives stays valid until the consumer pops it.
    SURVEY_POINT* PeekLocateRecord() override;
    void PopLocateRecord() override;
    void ClearLocateRecords();

    // The Bluetooth reader's hand-over of each chunk read: frames are cut out and
    // every good one is answered and queued on the calling thread.
    int AssembleFrames(const uint8_t* bytes, uint32_t count);

    // Packet handling on the codec's receive buffer; the result of the reply sent,
    // 105, or 0 for a frame shorter than 5 bytes.
    int ProcessPacket();
    // 1 sent whole, -1 protocol id outside 0..3 (nothing sent), an encoder result,
    // or 112 written only in part.
    int SendToLocator(uint8_t u8Command, uint8_t u8Type, const uint8_t* data, int32_t nProtocolId,
                      int32_t nGpsMode);
    static int32_t LocatorModeIndex(int32_t nLogMode, float fFrequency);

    // Test seams, before Initialise: the devices behind the ports, and the wait of
    // each port close (2500 ms unless set).
    void SetDeviceFactory(DeviceFactory factory) { m_deviceFactory = std::move(factory); }
    void SetPortCloseWait(std::chrono::milliseconds wait);
    // Test seam: how long a reader sleeps after a failed open when nothing
    // wakes it sooner (5 s: the folder watch wakes it when the device appears)
    // and at most while its open port is quiet (1 s Bluetooth, for the carrier
    // check; 5 s GPS). Before StartThreads.
    void SetReaderWaits(std::chrono::milliseconds openRetry, std::chrono::milliseconds idle);

    // The current fix: the GPS reader's latest decoded GGA while it counts as a
    // fix; once it no longer does (too old, port lost, reader stopped) the same
    // position with fix quality 0. False when no GGA has come yet. The GPS
    // pictures show exactly this, and change with it. Any thread; never waits
    // for the decoder. With quality: that GGA's quality record too (the GPS
    // lamp's text), reduced to "no fix" once the fix no longer counts.
    bool LatestGpsFix(GPS_FIX& fix, GPS_QUALITY* quality = nullptr) const;

    // The pause before the next connect to a gpsd daemon that refused or was
    // lost: 1 s, doubled after each failure up to 30 s, 1 s again after a
    // connect that succeeded.
    static constexpr auto kGpsdRetryFirst = std::chrono::seconds(1);
    static constexpr auto kGpsdRetryMost = std::chrono::seconds(30);
    // A gpsd connection that brings no byte for this long is dropped: three
    // times the larger of 5 s and the maximum fix age (a watch brings at least
    // the receiver's sentences, a second or so apart).
    static std::chrono::seconds GpsdSilenceLimit(int32_t maxFixAgeSeconds);

    // The receiver's latest GGA with a fix, as received (for the NTRIP caster).
    const CGgaTap& GgaTap() const { return m_ggaTap; }
    // The corrections relay's write into the GPS port (IRtcmPort); ENODEV
    // before Initialise. The relay is stopped before Shutdown.
    int WriteToGpsPort(const uint8_t* data, size_t size, int timeoutMs, size_t* put);

    int LastRetCode() const { return m_nLastRetCode.load(); }
    int LastReleaseError() const { return m_nLastReleaseError.load(); }
    uint32_t BadFcsCount() const { return m_u32BadFcsCount.load(); }
    uint32_t NextPacketNumber() const { return m_u32NextPacket.load(); }
    bool IsInitialised() const { return m_bInitialised.load(); }
    // Whether a reader thread is remembered (started and not yet seen to end).
    bool HasBluetoothThread() const;
    bool HasGpsThread() const;
    // Owned objects, for tests that drive the link without its threads.
    CBluetoothPort* GetBluetoothPort() { return m_pBluetoothPort.get(); }
    CGpsDecoder* GetGpsDecoder() { return m_pDecoder.get(); }
    CSemaphore* GetLocateSemaphore() { return m_pLocateSemaphore.get(); }

private:
    struct Worker {
        std::thread thread;
        bool ended = false; // under m_workerMutex
    };

    static int BluetoothReadThread(CLocatorLink* pLink);
    static int GpsReadThread(CLocatorLink* pLink);
    void RunBluetoothReader();
    void RunGpsReader();
    void StartWorker(Worker& worker, CReaderWake& wake, std::mutex& lock, int32_t& state,
                     int (*proc)(CLocatorLink*));
    // Sleeps until the port has bytes or hangs up (true), or for the turn, a
    // stop request, the idle bound, or the missing device's return (false).
    // A port that cannot be waited on keeps the timed turn: pause, then a
    // timed read.
    bool WaitForPort(CSerialPort& port, CReaderWake& wake, std::chrono::milliseconds idle);
    // After a failed open of port nPort: until the device appears, a stop, or the retry time.
    void WaitForDevice(CReaderWake& wake, int nPort);
    // The one place that decides the current fix (LatestGpsFix) and the GPS
    // pictures with it. fix: a GGA just decoded; nullptr: the fix held stops
    // counting (its position stays).
    void SetCurrentFix(const GPS_FIX* fix, const GPS_QUALITY* quality = nullptr);
    // Waits until the worker ends or the wait runs out; joins and forgets it if it ended.
    bool EndWorker(Worker& worker, std::chrono::milliseconds wait);
    // Started and not yet ended: it still uses its port.
    bool WorkerBusy(const Worker& worker) const;
    int32_t ReadState(std::mutex& lock, const int32_t& state);
    void WriteState(std::mutex& lock, int32_t& state, int32_t value);
    void EnterRunning(std::mutex& lock, int32_t& state);

    // User-interface thread, GPS reader not running: talker, fix age, speed and
    // the device behind the GPS port (serial line or gpsd).
    void ApplyGpsOptions(const GPS_OPTIONS& options);

    void ShowBluetooth(bool good);
    void ShowGps(bool good);
    // The GPS port closed, for whatever reason: runs on the closing thread.
    void OnGpsPortClosed();

    // IFrameSink
    void OnGoodFrame(const CFrameCodec& codec) override;
    void OnBadFcs() override;
    void OnFrameError(int code) override;

    void DecodeLocatorGps(const uint8_t* packet);
    void DumpGpsFix();
    void FillFromHandheld(uint8_t* data);
    // 0 queued, else the wait's result (the record stays the current one).
    int QueueRecord();
    int WaitQueue();
    int ReleaseQueue();

    ILinkOwner& m_owner;
    Worker m_btWorker;
    Worker m_gpsWorker;
    mutable std::mutex m_workerMutex;
    std::condition_variable m_workerCv;

    std::unique_ptr<CBluetoothPort> m_pBluetoothPort;
    std::unique_ptr<CGpsPort> m_pGpsPort;
    int32_t m_nBluetoothState = THREAD_STOPPED; // under m_lock1
    int32_t m_nGpsState = THREAD_STOPPED;       // under m_lock2
    std::unique_ptr<CFrameCodec> m_pCodec;
    CFrameAssembler m_assembler;
    std::atomic<uint32_t> m_u32BadFcsCount{0};
    std::unique_ptr<CGpsDecoder> m_pDecoder;
    std::unique_ptr<SURVEY_POINT> m_pCurrentRecord;
    std::atomic<uint32_t> m_u32NextPacket{1};
    std::deque<std::unique_ptr<SURVEY_POINT>> m_queue; // under the semaphore
    std::unique_ptr<CSemaphore> m_pLocateSemaphore;
    std::atomic<int> m_nLastRetCode{0};
    std::atomic<int> m_nLastReleaseError{0};
    std::mutex m_lock1;
    std::mutex m_lock2;
    CDebugFile m_locateDebug;
    std::atomic<bool> m_bLocateDebug{false};
    CDebugFile m_gpsDebug;
    std::atomic<bool> m_bGpsDebug{false};
    mutable std::mutex m_latestFixMutex;
    GPS_FIX m_latestFix;       // under m_latestFixMutex
    GPS_QUALITY m_latestQuality; // under m_latestFixMutex
    bool m_bHaveLatestFix = false; // under m_latestFixMutex
    bool m_bGpsShownGood = false; // GPS picture shows a fix; the GPS reader's (and its port's close)
    std::atomic<bool> m_bInitialised{false};

    std::string m_gpsSource;         // "" the serial device, else the gpsd host:port behind the GPS port
    std::chrono::seconds m_gpsdSilence{0}; // the silence limit of the gpsd device behind the port
    int32_t m_nGpsSpeed = 0;         // asked for by the options in force
    bool m_bSpeedReported = false;   // GPS reader's, reset by each start
    DeviceFactory m_deviceFactory;
    std::chrono::milliseconds m_portCloseWait{2500};
    CReaderWake m_btWake;
    CReaderWake m_gpsWake;
    std::chrono::milliseconds m_openRetry{5000};
    std::chrono::milliseconds m_btIdle{1000};
    std::chrono::milliseconds m_gpsIdle{5000};
    int32_t m_nMaxFixAge = 0; // seconds, of the options in force
    CGgaTap m_ggaTap;
};
