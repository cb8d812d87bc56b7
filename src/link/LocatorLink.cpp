#include "link/LocatorLink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "link/GpsdDevice.h"
#include "platform/Folders.h"

namespace {

// The turn of a reader whose device cannot be waited on, and the pause before a
// lost port is opened again.
constexpr auto kTurnPause = std::chrono::milliseconds(10);
// A carrier that is down is asked again this often; data is not read meanwhile.
// The line gives no event to wait for: two questions a second keep a locator
// that is off from waking the reader more than that.
constexpr auto kCarrierDownPause = std::chrono::milliseconds(500);
// A fix that can go stale is looked at again when it would have, this much
// later; and this often if it was not retired then.
constexpr auto kStaleFixMargin = std::chrono::milliseconds(20);
constexpr auto kStaleFixCheck = std::chrono::milliseconds(250);
constexpr uint32_t kFailedOpenReport = 100; // one debug line per this many failed opens
// The retry of a missing device whose folder cannot be watched.
constexpr auto kUnwatchedRetry = std::chrono::milliseconds(1000);

} // namespace

CLocatorLink::CLocatorLink(ILinkOwner& owner) : m_owner(owner) {}

CLocatorLink::~CLocatorLink() { Shutdown(); }

void CLocatorLink::SetReaderWaits(std::chrono::milliseconds openRetry, std::chrono::milliseconds idle)
{
    m_openRetry = openRetry;
    m_btIdle = idle;
    m_gpsIdle = idle;
}

void CLocatorLink::SetPortCloseWait(std::chrono::milliseconds wait)
{
    m_portCloseWait = wait;
    if (m_pBluetoothPort)
        m_pBluetoothPort->SetCloseWait(wait);
    if (m_pGpsPort)
        m_pGpsPort->SetCloseWait(wait);
}

int CLocatorLink::Initialise()
{
    if (m_bInitialised.load())
        Shutdown();

    auto fail = [this](int code) {
        m_nLastRetCode = code;
        return code;
    };
    auto device = [this](bool bluetooth) {
        return m_deviceFactory ? m_deviceFactory(bluetooth) : std::unique_ptr<ISerialDevice>();
    };

    m_pBluetoothPort.reset(new (std::nothrow) CBluetoothPort(device(true)));
    if (!m_pBluetoothPort)
        return fail(LINK_ERR_NO_BT_PORT);
    m_pBluetoothPort->SetCloseWait(m_portCloseWait);

    m_pGpsPort.reset(new (std::nothrow) CGpsPort(device(false)));
    if (!m_pGpsPort)
        return fail(LINK_ERR_NO_GPS_PORT);
    m_pGpsPort->SetCloseWait(m_portCloseWait);
    m_pGpsPort->SetOnClosed([this] { OnGpsPortClosed(); });
    m_gpsSource.clear();

    m_pCodec.reset(new (std::nothrow) CFrameCodec());
    if (!m_pCodec)
        return fail(LINK_ERR_NO_CODEC);

    m_pDecoder.reset(new (std::nothrow) CGpsDecoder());
    if (!m_pDecoder)
        return fail(LINK_ERR_NO_DECODER);
    if (const int rc = m_pDecoder->Init(); rc != 0)
        return fail(rc);

    m_pLocateSemaphore.reset(new (std::nothrow) CSemaphore("LocateDataSemaphore"));
    if (!m_pLocateSemaphore)
        return fail(LINK_ERR_NO_SEMAPHORE);

    m_assembler.Reset();
    m_bInitialised = true;
    return fail(LINK_OK);
}

int CLocatorLink::StartThreads()
{
    // Without a successful Initialise the ports, codec or decoder may be missing.
    if (!m_bInitialised.load()) {
        m_nLastRetCode = LINK_ERR_NOT_INITIALISED;
        return LINK_ERR_NOT_INITIALISED;
    }

    // The debug switches are only ever turned on here; a later start with the bits
    // clear still writes the files.
    // A worker left over from an earlier stop still owns its port and, for the
    // GPS side, the decoder's input; their switches wait for a start that runs.
    const uint32_t level = m_owner.GetDebugLevel();
    const bool btBusy = WorkerBusy(m_btWorker);
    const bool gpsBusy = WorkerBusy(m_gpsWorker);
    if ((level & DEBUG_BLUETOOTH_PORT) && !btBusy)
        m_pBluetoothPort->SetDebugLog(true);
    if (level & DEBUG_LOCATE)
        m_bLocateDebug = true;
    if (m_bLocateDebug.load()) {
        if (m_locateDebug.Open(DocumentsPath("LocateData.txt"), CDebugFile::Mode::Append)) {
            m_locateDebug.Printf("Bluetooth Read Thread Started\n");
            m_locateDebug.Printf("m_nLastRetCode = %d\n", m_nLastRetCode.load());
        } else {
            m_bLocateDebug = false;
        }
    }
    if ((level & DEBUG_GPS_PORT) && !gpsBusy)
        m_pGpsPort->SetDebugLog(true);
    if (!gpsBusy)
        ApplyGpsOptions(m_owner.GetGpsOptions());
    if ((level & DEBUG_GPS_DECODER) && !gpsBusy)
        m_pDecoder->SetDebug(true);
    if (level & DEBUG_GPS_DATA)
        m_bGpsDebug = true;
    if (m_bGpsDebug.load()) {
        if (m_gpsDebug.Open(DocumentsPath("GpsData.txt"), CDebugFile::Mode::Append))
            m_gpsDebug.Printf("GPS Read Thread Started\n");
        else
            m_bGpsDebug = false;
    }

    StartWorker(m_btWorker, m_btWake, m_lock1, m_nBluetoothState, &CLocatorLink::BluetoothReadThread);
    StartWorker(m_gpsWorker, m_gpsWake, m_lock2, m_nGpsState, &CLocatorLink::GpsReadThread);
    return LINK_OK;
}

std::chrono::seconds CLocatorLink::GpsdSilenceLimit(int32_t maxFixAgeSeconds)
{
    return std::chrono::seconds(3 * std::max<int32_t>(5, maxFixAgeSeconds));
}

void CLocatorLink::ApplyGpsOptions(const GPS_OPTIONS& options)
{
    m_pDecoder->SetAnyTalker(options.bAnyTalker);
    m_pDecoder->SetMaxFixAge(std::chrono::seconds(options.nMaxAgeSeconds));
    m_pDecoder->SetPositionSource(options.gpsdHost.empty() ? SOURCE_RECEIVER : SOURCE_GPSD);
    m_nMaxFixAge = options.nMaxAgeSeconds;
    // A daemon has no line speed; the serial port keeps its device.
    m_nGpsSpeed = options.gpsdHost.empty() ? options.nSpeed : 0;
    m_pGpsPort->SetSpeed(m_nGpsSpeed);
    // host:port as the settings write it, an IPv6 address in brackets.
    const bool v6 = options.gpsdHost.find(':') != std::string::npos;
    const std::string source = options.gpsdHost.empty() ? std::string()
                               : (v6 ? "[" + options.gpsdHost + "]" : options.gpsdHost) + ":" +
                                     std::to_string(options.nGpsdPort);
    const auto silence = source.empty() ? std::chrono::seconds(0) : GpsdSilenceLimit(options.nMaxAgeSeconds);
    if (source != m_gpsSource || silence != m_gpsdSilence) {
        m_pGpsPort->ReplaceDevice(source.empty() ? (m_deviceFactory ? m_deviceFactory(false) : nullptr)
                                                 : MakeGpsdDevice(options.gpsdHost, options.nGpsdPort, silence));
        m_gpsSource = source;
        m_gpsdSilence = silence;
    }
    m_bSpeedReported = false;
}

void CLocatorLink::StartWorker(Worker& worker, CReaderWake& wake, std::mutex& lock, int32_t& state,
                               int (*proc)(CLocatorLink*))
{
    {
        std::unique_lock<std::mutex> guard(m_workerMutex);
        if (worker.thread.joinable()) {
            // A worker that outlived an earlier StopThreads: never a second one for
            // the same port. If it has ended since, it makes room for a new one.
            if (!worker.ended)
                return;
            guard.unlock();
            worker.thread.join();
            guard.lock();
        }
        worker.ended = false;
    }
    // The stop of the last worker is spent; no reader uses the wake now.
    wake.Clear();
    // Running before the thread exists, so that a stop requested right after this
    // start is not overwritten by the worker's own start.
    WriteState(lock, state, THREAD_RUNNING);
    Worker* pWorker = &worker;
    std::thread thread([this, pWorker, proc] {
        proc(this);
        {
            std::lock_guard<std::mutex> guard(m_workerMutex);
            pWorker->ended = true;
        }
        m_workerCv.notify_all();
    });
    std::lock_guard<std::mutex> guard(m_workerMutex);
    worker.thread = std::move(thread);
}

bool CLocatorLink::EndWorker(Worker& worker, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> guard(m_workerMutex);
    if (!worker.thread.joinable())
        return true;
    if (!m_workerCv.wait_for(guard, wait, [&worker] { return worker.ended; }))
        return false;
    guard.unlock();
    worker.thread.join();
    guard.lock();
    worker.ended = false;
    return true;
}

bool CLocatorLink::WorkerBusy(const Worker& worker) const
{
    std::lock_guard<std::mutex> guard(m_workerMutex);
    return worker.thread.joinable() && !worker.ended;
}

bool CLocatorLink::HasBluetoothThread() const
{
    std::lock_guard<std::mutex> guard(m_workerMutex);
    return m_btWorker.thread.joinable();
}

bool CLocatorLink::HasGpsThread() const
{
    std::lock_guard<std::mutex> guard(m_workerMutex);
    return m_gpsWorker.thread.joinable();
}

int32_t CLocatorLink::ReadState(std::mutex& lock, const int32_t& state)
{
    std::lock_guard<std::mutex> guard(lock);
    return state;
}

void CLocatorLink::WriteState(std::mutex& lock, int32_t& state, int32_t value)
{
    std::lock_guard<std::mutex> guard(lock);
    state = value;
}

void CLocatorLink::EnterRunning(std::mutex& lock, int32_t& state)
{
    // StartThreads set the word to running before the thread existed; a stop asked
    // for since then stands.
    std::lock_guard<std::mutex> guard(lock);
    if (state != THREAD_STOP_REQUESTED)
        state = THREAD_RUNNING;
}

void CLocatorLink::StopThreads()
{
    if (m_bInitialised.load()) {
        WriteState(m_lock1, m_nBluetoothState, THREAD_STOP_REQUESTED);
        WriteState(m_lock2, m_nGpsState, THREAD_STOP_REQUESTED);
    }
    m_btWake.Stop();
    m_gpsWake.Stop();
    EndWorker(m_btWorker, kThreadEndWait);
    EndWorker(m_gpsWorker, kThreadEndWait);
    // The flags stay: the next StartThreads opens both files again.
    m_locateDebug.Close();
    m_gpsDebug.Close();
}

void CLocatorLink::Shutdown()
{
    StopThreads();
    // A worker still running uses the ports, codec, decoder and queue. Each of its
    // turns is bounded (a read, a reply, one port close), so it ends; nothing is
    // freed before it has.
    while (!EndWorker(m_btWorker, kThreadEndWait)) {
    }
    while (!EndWorker(m_gpsWorker, kThreadEndWait)) {
    }

    m_pCodec.reset();
    if (m_pDecoder)
        m_pDecoder->Close();
    m_pDecoder.reset();
    m_pCurrentRecord.reset();
    ClearLocateRecords();
    m_queue.clear(); // also what a timed-out ClearLocateRecords left
    m_pLocateSemaphore.reset();
    m_pBluetoothPort.reset();
    m_pGpsPort.reset();

    m_nBluetoothState = THREAD_STOPPED;
    m_nGpsState = THREAD_STOPPED;
    m_assembler.Reset();
    m_u32BadFcsCount = 0;
    m_u32NextPacket = 1;
    m_nLastRetCode = 0;
    m_nLastReleaseError = 0;
    m_bLocateDebug = false;
    m_bGpsDebug = false;
    m_bInitialised = false;
}

// ---------------------------------------------------------------------------
// Status pictures. Picture and lamp of one link always change together.

void CLocatorLink::ShowBluetooth(bool good)
{
    m_owner.SetBitmap(IDC_BLUETOOTH_ICON, good ? IDB_BLUETOOTH_UP : IDB_BLUETOOTH_DOWN);
    m_owner.SetBitmap(IDC_BLUETOOTH_LAMP, good ? IDB_LAMP_GREEN : IDB_LAMP_RED);
}

void CLocatorLink::ShowGps(bool good)
{
    m_owner.SetBitmap(IDC_GPS_ICON, good ? IDB_GPS_FIX : IDB_GPS_NO_FIX);
    m_owner.SetBitmap(IDC_GPS_LAMP, good ? IDB_LAMP_GREEN : IDB_LAMP_RED);
}

// ---------------------------------------------------------------------------
// Bluetooth reader

int CLocatorLink::BluetoothReadThread(CLocatorLink* pLink)
{
    pLink->RunBluetoothReader();
    return 0;
}

void CLocatorLink::RunBluetoothReader()
{
    bool bShownGood = false;
    bool wasOpen = false;
    uint32_t failedOpens = 0;
    uint8_t buffer[kReadChunk];
    CBluetoothPort& port = *m_pBluetoothPort;

    EnterRunning(m_lock1, m_nBluetoothState);

    // Every start tries the port once, even when a stop has come meanwhile.
    for (bool first = true; first || ReadState(m_lock1, m_nBluetoothState) != THREAD_STOP_REQUESTED; first = false) {
        if (!port.IsPortOpen()) {
            // Good means open with carrier: a port that closed (read, write or
            // carrier failure) is not shown as up while it is being reopened.
            if (bShownGood) {
                ShowBluetooth(false);
                bShownGood = false;
            }
            // A port that was lost is reopened after a turn, so a device that
            // fails each time cannot spin; after a failed open the wait for
            // the device was the pause.
            if (wasOpen) {
                wasOpen = false;
                if (m_btWake.Wait(-1, kTurnPause) == CReaderWake::Woken::Stopped)
                    continue;
            }
            const int nPort = m_owner.BluetoothPort();
            port.OpenPort(nPort);
            if (port.IsPortOpen()) {
                wasOpen = true;
                m_btWake.Unwatch();
                // Half a frame from an earlier connection must not swallow the first
                // frame of this one.
                m_assembler.Reset();
                continue;
            }
            ++failedOpens;
            if (failedOpens % kFailedOpenReport == 0)
                m_locateDebug.Printf("COM%d Port NOT Open, retry = %d\n", nPort, static_cast<int>(failedOpens));
            WaitForDevice(m_btWake, nPort);
        } else if (port.GetModemRLSDState() == 1) {
            if (!bShownGood) {
                ShowBluetooth(true);
                bShownGood = true;
            }
            // The carrier is asked again at the latest when the idle wait ends.
            const bool arrived = WaitForPort(port, m_btWake, m_btIdle);
            if (ReadState(m_lock1, m_nBluetoothState) == THREAD_STOP_REQUESTED)
                break;
            const uint32_t dwRead = arrived ? port.ReadArrived(buffer, kReadChunk)
                                  : port.WaitHandle() < 0 ? port.ReadPort(buffer, kReadChunk)
                                                          : 0;
            if (dwRead > 0) {
                if (m_owner.BluetoothTest())
                    m_owner.ShowRawData(buffer, dwRead);
                m_locateDebug.Printf("dwRead = %d\n", static_cast<int>(dwRead));
                // Every frame whose closing flag is in this chunk is answered
                // here, before the port is read again.
                AssembleFrames(buffer, dwRead);
            }
        } else {
            if (bShownGood) {
                ShowBluetooth(false);
                bShownGood = false;
            }
            m_btWake.Wait(-1, kCarrierDownPause);
        }
    }

    if (bShownGood)
        ShowBluetooth(false);
    if (port.IsPortOpen())
        port.ClosePort();
    WriteState(m_lock1, m_nBluetoothState, THREAD_STOPPED);
}

int CLocatorLink::AssembleFrames(const uint8_t* bytes, uint32_t count)
{
    if (!m_bInitialised.load())
        return 0;
    return m_assembler.AssembleFrames(*m_pCodec, *this, bytes, count);
}

void CLocatorLink::OnGoodFrame(const CFrameCodec&) { ProcessPacket(); }

void CLocatorLink::OnBadFcs()
{
    const uint32_t count = m_u32BadFcsCount.fetch_add(1) + 1;
    if (count % 100 == 0)
        m_locateDebug.Printf("FCS Count = %u\n", count);
}

void CLocatorLink::OnFrameError(int code) { m_locateDebug.Printf("Error Code = %d\n", code); }

// ---------------------------------------------------------------------------
// GPS reader

int CLocatorLink::GpsReadThread(CLocatorLink* pLink)
{
    pLink->RunGpsReader();
    return 0;
}

int CLocatorLink::WriteToGpsPort(const uint8_t* data, size_t size, int timeoutMs, size_t* put)
{
    *put = 0;
    return m_pGpsPort ? m_pGpsPort->WriteShared(data, size, timeoutMs, put) : ENODEV;
}

bool CLocatorLink::LatestGpsFix(GPS_FIX& fix, GPS_QUALITY* quality) const
{
    std::lock_guard<std::mutex> guard(m_latestFixMutex);
    if (!m_bHaveLatestFix)
        return false;
    fix = m_latestFix;
    if (quality != nullptr)
        *quality = m_latestQuality;
    return true;
}

void CLocatorLink::SetCurrentFix(const GPS_FIX* fix, const GPS_QUALITY* quality)
{
    bool good = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(m_latestFixMutex);
        if (fix != nullptr) {
            m_latestFix = *fix;
            if (quality != nullptr)
                m_latestQuality = *quality;
            m_bHaveLatestFix = true;
            changed = true;
        } else if (m_bHaveLatestFix && m_latestFix.nGpsFix != 0) {
            m_latestFix.nGpsFix = 0;
            // A fix that no longer counts keeps no accuracy either: only
            // "no fix" and where it came from.
            const int32_t source = m_latestQuality.nSource;
            m_latestQuality.Clear();
            m_latestQuality.u32Present = QUALITY_FIX_TYPE;
            m_latestQuality.nSource = source;
            changed = true;
        }
        good = m_bHaveLatestFix && m_latestFix.nGpsFix != 0;
    }
    if (good != m_bGpsShownGood) {
        ShowGps(good);
        m_bGpsShownGood = good;
    }
    if (changed)
        m_owner.OnGpsFixChanged();
}

void CLocatorLink::OnGpsPortClosed()
{
    // Without its receiver the fix held is the last one heard, not where the
    // points measured from now on are: it stops counting until the next GGA. The
    // port's close wait comes after this, so no point gets it meanwhile.
    if (m_pDecoder)
        m_pDecoder->InvalidateFix();
    SetCurrentFix(nullptr);
}

void CLocatorLink::RunGpsReader()
{
    uint32_t failedOpens = 0;
    bool wasOpen = false;
    const bool gpsd = !m_gpsSource.empty();
    std::chrono::milliseconds gpsdRetry = kGpsdRetryFirst;
    // A silent daemon is told once, not at every reconnect to it while it stays silent.
    bool silenceTold = false;
    // When the GGA of the fix held came (the decoder's own time is a little earlier).
    auto lastGga = std::chrono::steady_clock::now();
    uint8_t buffer[kReadChunk];
    CGpsPort& port = *m_pGpsPort;
    CGpsDecoder& decoder = *m_pDecoder;

    m_bGpsShownGood = false;
    ShowGps(false);
    EnterRunning(m_lock2, m_nGpsState);

    // Every start tries the port once, even when a stop has come meanwhile.
    for (bool first = true; first || ReadState(m_lock2, m_nGpsState) != THREAD_STOP_REQUESTED; first = false) {
        if (!port.IsPortOpen()) {
            // A port that was lost is reopened after a turn, so a device that
            // fails each time cannot spin; a daemon after the back-off. After
            // a failed open the wait for the device was the pause.
            if (wasOpen) {
                wasOpen = false;
                const auto pause = gpsd ? gpsdRetry : std::chrono::milliseconds(kTurnPause);
                if (gpsd)
                    gpsdRetry = std::min<std::chrono::milliseconds>(gpsdRetry * 2, kGpsdRetryMost);
                if (m_gpsWake.Wait(-1, pause) == CReaderWake::Woken::Stopped)
                    continue;
            }
            const int nPort = m_owner.GpsPort();
            port.OpenPort(nPort);
            if (port.IsPortOpen()) {
                wasOpen = true;
                gpsdRetry = kGpsdRetryFirst;
                m_gpsWake.Unwatch();
                if (port.SpeedError() != 0 && !m_bSpeedReported) {
                    m_bSpeedReported = true;
                    m_owner.OnGpsSpeedRefused(m_nGpsSpeed, port.SpeedError());
                }
                continue;
            }
            ++failedOpens;
            if (failedOpens % kFailedOpenReport == 0)
                m_gpsDebug.Printf("Com%d Port NOT Open, retry= %d\n", nPort, static_cast<int>(failedOpens));
            if (gpsd) {
                // A daemon has no device node to watch for: it is tried again
                // after the back-off, which grows while it stays away.
                m_gpsWake.Wait(-1, gpsdRetry);
                gpsdRetry = std::min<std::chrono::milliseconds>(gpsdRetry * 2, kGpsdRetryMost);
            } else {
                WaitForDevice(m_gpsWake, nPort);
            }
            continue;
        }

        // A receiver that stopped talking while its port stays open: its last
        // fix stops counting once it is older than the maximum age.
        if (m_bGpsShownGood && decoder.RetireStaleFix())
            SetCurrentFix(nullptr);

        // A fix that can go stale is looked at again when it would be, unless
        // the receiver talks first.
        auto idle = m_gpsIdle;
        if (m_bGpsShownGood && m_nMaxFixAge > 0) {
            const auto due = std::chrono::ceil<std::chrono::milliseconds>(lastGga + std::chrono::seconds(m_nMaxFixAge) -
                                                                          std::chrono::steady_clock::now()) +
                             kStaleFixMargin;
            idle = due > kStaleFixMargin ? std::min(m_gpsIdle, due) : kStaleFixCheck;
        }
        const bool arrived = WaitForPort(port, m_gpsWake, idle);
        if (ReadState(m_lock2, m_nGpsState) == THREAD_STOP_REQUESTED)
            break;
        // A quiet daemon is asked all the same: its read tells a connection
        // that has been silent too long, and drops it.
        if (!arrived && port.WaitHandle() >= 0 && !gpsd)
            continue;

        GPS_FIX fix;
        GPS_QUALITY quality;
        std::memset(buffer, 0, sizeof buffer);
        // A failed read closes the port, which also retires the fix (OnGpsPortClosed).
        const uint32_t dwRead = arrived || gpsd ? port.ReadArrived(buffer, kReadChunk) : port.ReadPort(buffer, kReadChunk);
        if (gpsd && !port.IsPortOpen() && port.LastError() == kGpsdSilentError && !silenceTold) {
            silenceTold = true;
            m_owner.OnGpsdSilent(m_gpsSource, static_cast<int>(m_gpsdSilence.count()));
        }
        if (dwRead == 0)
            continue;
        silenceTold = false;
        if (m_owner.GpsTest())
            m_owner.ShowRawData(buffer, dwRead);
        m_ggaTap.Feed(buffer, dwRead);
        m_gpsDebug.Printf("\nR=%d", static_cast<int>(dwRead));

        uint32_t consumed = 0;
        while (consumed < dwRead) {
            const int rc = decoder.Decode(buffer + consumed, dwRead - consumed);
            m_gpsDebug.Printf("\nRC=%d", rc);
            char ignored[6];
            if (rc == GPS_SENTENCE_IGNORED && decoder.TakeIgnoredGga(ignored))
                m_owner.OnIgnoredTalker(ignored);
            if (rc == GPS_GGA_DECODED) {
                const int copied = decoder.CopyGgaData(&fix, &quality);
                m_gpsDebug.Printf("\nC=%d", copied);
                if (copied == 0) {
                    lastGga = std::chrono::steady_clock::now();
                    SetCurrentFix(&fix, &quality);
                }
            } else if (rc == GPS_GST_DECODED || rc == GPS_GSA_DECODED) {
                // A GST or GSA after its GGA completes that epoch's record:
                // the lamp shows it once it came, never the last epoch's.
                GPS_FIX shownFix;
                GPS_QUALITY shown;
                if (decoder.CopyGgaData(&fix, &quality) == 0 && LatestGpsFix(shownFix, &shown) &&
                    shownFix.nGpsFix == fix.nGpsFix && shownFix.dfUTC == fix.dfUTC && !(shown == quality))
                    SetCurrentFix(&fix, &quality);
            }
            const uint32_t step = decoder.GetConsumed();
            // A call that takes nothing (not initialised, no buffer) would take
            // nothing again: give up on this chunk instead of spinning.
            if (step == 0 || step > dwRead - consumed)
                break;
            consumed += step;
            m_gpsDebug.Printf("\nD=%d", static_cast<int>(consumed));
        }
    }

    // A stopped reader lends no fix, whether or not its port was open.
    SetCurrentFix(nullptr);
    if (port.IsPortOpen())
        port.ClosePort();
    WriteState(m_lock2, m_nGpsState, THREAD_STOPPED);
}

// ---------------------------------------------------------------------------
// Waiting

bool CLocatorLink::WaitForPort(CSerialPort& port, CReaderWake& wake, std::chrono::milliseconds idle)
{
    const int fd = port.WaitHandle();
    if (fd < 0) {
        wake.Wait(-1, kTurnPause);
        return false;
    }
    return wake.Wait(fd, idle) == CReaderWake::Woken::Readable;
}

void CLocatorLink::WaitForDevice(CReaderWake& wake, int nPort)
{
    // The watch wakes the reader when the device appears; the retry is the
    // safety net for what a watch cannot see (a folder that is not there yet).
    wake.WatchFor(PortDevicePath(nPort));
    wake.Wait(-1, wake.Watching() ? m_openRetry : std::min<std::chrono::milliseconds>(m_openRetry, kUnwatchedRetry));
}

// ---------------------------------------------------------------------------
// Record queue: the Bluetooth reader appends, the user-interface thread peeks,
// works on the oldest record and pops it. The semaphore is held only for the
// queue operation itself.

int CLocatorLink::WaitQueue()
{
    switch (m_pLocateSemaphore->Wait(kQueueWaitMs)) {
    case SemWait::Obtained: return LINK_OK;
    case SemWait::TimedOut: return LINK_ERR_WAIT_TIMEOUT;
    default: return LINK_ERR_WAIT_FAILED;
    }
}

int CLocatorLink::ReleaseQueue()
{
    if (!m_pLocateSemaphore->Release()) {
        m_nLastReleaseError = m_pLocateSemaphore->LastError();
        return LINK_ERR_RELEASE_FAILED;
    }
    return LINK_OK;
}

int CLocatorLink::QueueRecord()
{
    if (!m_bInitialised.load())
        return LINK_ERR_NOT_INITIALISED;
    if (const int rc = WaitQueue(); rc != LINK_OK)
        return rc;
    m_queue.push_back(std::move(m_pCurrentRecord));
    ReleaseQueue();
    return LINK_OK;
}

SURVEY_POINT* CLocatorLink::PeekLocateRecord()
{
    if (!m_bInitialised.load()) {
        m_nLastRetCode = LINK_ERR_NOT_INITIALISED;
        return nullptr;
    }
    if (const int rc = WaitQueue(); rc != LINK_OK) {
        m_nLastRetCode = rc;
        return nullptr;
    }
    SURVEY_POINT* oldest = m_queue.empty() ? nullptr : m_queue.front().get();
    m_nLastRetCode = ReleaseQueue();
    return oldest;
}

void CLocatorLink::PopLocateRecord()
{
    if (!m_bInitialised.load() || WaitQueue() != LINK_OK)
        return;
    if (!m_queue.empty())
        m_queue.pop_front();
    ReleaseQueue();
}

void CLocatorLink::ClearLocateRecords()
{
    if (!m_bInitialised.load() || WaitQueue() != LINK_OK)
        return;
    m_queue.clear();
    ReleaseQueue();
}
