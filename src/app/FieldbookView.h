// The main view without its window: owner of the locator link, working copies of
// the settings the link threads read, the four status pictures, the test-window
// echo, and the record timer's view of the survey. The Qt form and the headless
// face both sit on this class and only draw what it tells them (IViewFace).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "point/QualityGate.h"
#include "app/StaticBitmap.h"
#include "app/StatusBanner.h"
#include "app/ViewFace.h"
#include "gps/GpsRecords.h"
#include "link/LinkOwner.h"
#include "platform/DebugFile.h"
#include "surveylog/RecordProcessing.h"

class CLocatorLink;
class CCorrections;

class CFieldbookView : public ILinkOwner, private IPointCheck {
public:
    // Copies the ports and the debug level from GetConfig(), sets g_pView, starts
    // the link, and opens "system.txt" for appending when bit 0x100 is set.
    explicit CFieldbookView(IViewFace& face);
    // Shuts the link down and deletes it, closes "system.txt".
    ~CFieldbookView() override;
    CFieldbookView(const CFieldbookView&) = delete;
    CFieldbookView& operator=(const CFieldbookView&) = delete;

    // First showing: starts the record timer, starts a new survey log file
    // (waits a second), shows the transfer state, indicators to idle.
    void OnInitialUpdate();

    // StartLink does nothing while a background stop is under way; StopLink
    // then waits for that stop to end and finishes it.
    void StartLink();
    void StopLink();
    void ToggleLink();
    bool IsRunning() const { return m_bRunning.load(); }

    // StopLink in two halves, so that the wait for the link threads (each may
    // close a port, which waits its close wait) runs off the user-interface
    // thread. BeginStopLink clears the running flag and returns at once, false
    // when the link was not running; a thread of its own stops the link threads,
    // sets the indicators idle and calls the face's OnLinkStopped.
    // FinishStopLink (user-interface thread) ends that thread and reports the
    // link stopped to the face; harmless when no stop is under way.
    bool BeginStopLink();
    void FinishStopLink();
    bool IsStopping() const { return m_bStopping.load(); }

    void SetPorts(int gpsPort, int bluetoothPort);
    void GetPorts(int& gpsPort, int& bluetoothPort) const;
    void SetTestFlags(bool gpsTest, bool bluetoothTest);
    void GetTestFlags(bool& gpsTest, bool& bluetoothTest) const;

    void ClearTestWindow();
    void LayoutTestWindow(bool show);

    // Status pane texts: "0612143005.txt (12)" and "XFER On" / "XFER Off"
    // ("XFER Stopping" while a background stop is under way).
    std::string LogPaneText() const;
    std::string TransferPaneText() const;

    // ILinkOwner: read by the link threads.
    int GpsPort() const override { return m_nGpsPort.load(); }
    int BluetoothPort() const override { return m_nBluetoothPort.load(); }
    bool GpsTest() const override { return m_bGpsTest.load(); }
    bool BluetoothTest() const override { return m_bBluetoothTest.load(); }
    uint32_t GetDebugLevel() const override { return m_dwDebugLevel; }
    void ShowRawData(const uint8_t* data, uint32_t length) override;
    void SetBitmap(int controlId, int bitmapId) override;
    // The GPS settings of the configuration, read when the link starts.
    GPS_OPTIONS GetGpsOptions() const override;
    // Each told once per run, through the face.
    void OnIgnoredTalker(const char* sentenceId) override;
    void OnGpsSpeedRefused(int32_t baud, int error) override;
    void OnRecordQueued() override { m_face.OnRecordQueued(); }
    void OnGpsFixChanged() override { m_face.OnGpsFixChanged(); }
    void OnGpsdSilent(const std::string& address, int seconds) override;

    // Tells the face of save failures of the survey log it has not told yet,
    // and of the save that ends them. User-interface thread.
    void ReportLogSaveState();
    bool LogSaveFailing() const { return m_bSaveFailing; }

    CLocatorLink* Link() const { return m_pLink.get(); }
    // The current fix, as the GPS pictures show it: the GPS reader's latest
    // GGA (unsigned angles, hemisphere codes), with fix quality 0 once it no
    // longer counts; false before the first one or without a link. Every face
    // that shows a position reads it here.
    bool LatestGpsFix(GPS_FIX& fix, GPS_QUALITY* quality = nullptr) const;

    // The quality gate of the configuration (GPS#REQUIRE, GPS#MAXHACC), read
    // afresh for each point, so the Ports page's change holds from the next.
    QUALITY_GATE QualityGate() const;
    // Points logged below the gate since the view was made.
    size_t PointsBelowGate() const { return m_nBelowGate; }
    // The record timer's check of each point (the gate).
    IPointCheck* PointCheck() { return this; }

    // The status banner's state as the view knows it: transfer, lamps, fix,
    // gate and the last point below it, the survey log's save. The face adds
    // the port hints and the corrections' last line. User-interface thread.
    BANNER_STATE BannerState() const;

    // The NTRIP client and relay while PORT#GPS#NTRIP is set and the link runs.
    CCorrections* Corrections() const { return m_pCorrections.get(); }

    CStaticBitmap m_wndGpsIcon{IDC_GPS_ICON};
    CStaticBitmap m_wndBluetoothIcon{IDC_BLUETOOTH_ICON};
    CStaticBitmap m_wndGpsLamp{IDC_GPS_LAMP};
    CStaticBitmap m_wndBluetoothLamp{IDC_BLUETOOTH_LAMP};

    // Position of the fix last written to the record dump (signed degrees).
    double m_dfPrevLat = 0.0;
    double m_dfPrevLong = 0.0;
    // "system.txt": open while bit 0x100 of the debug level is set.
    CDebugFile m_systemLog;
    CDebugFile* m_pSystemLog = nullptr;

private:
    void SetIndicatorsIdle();
    // IPointCheck
    void Check(SURVEY_POINT& point) override;
    void OnLogged(const SURVEY_POINT& point, size_t number) override;
    void StartCorrections();
    void StopCorrections();

    IViewFace& m_face;
    std::atomic<bool> m_bRunning{false};
    // Changed by the user-interface thread only while the link is stopped; read
    // by the link threads, hence atomic.
    std::atomic<int> m_nGpsPort{0};
    std::atomic<int> m_nBluetoothPort{0};
    std::atomic<bool> m_bGpsTest{false};
    std::atomic<bool> m_bBluetoothTest{false};
    uint32_t m_dwDebugLevel = 0;
    std::unique_ptr<CLocatorLink> m_pLink;
    std::unique_ptr<CCorrections> m_pCorrections;
    bool m_bNtripRefusedShown = false;
    std::atomic<bool> m_bTalkerNoticeShown{false};
    std::atomic<bool> m_bSpeedWarningShown{false};
    // Initialise succeeded on m_pLink.
    bool m_bLinkReady = false;
    // A background stop is under way: set by BeginStopLink, cleared by
    // FinishStopLink, both on the user-interface thread.
    std::atomic<bool> m_bStopping{false};
    std::thread m_stopper;
    size_t m_nBelowGate = 0; // user-interface thread
    bool m_bNoGeoidShown = false; // user-interface thread
    // The last point logged, when the gate turned it down, and why.
    size_t m_nLastBelowGatePoint = 0;
    std::string m_strLastBelowGate;
    unsigned long m_nReportedSaveFailures = 0;
    bool m_bSaveFailing = false;
};

// The one view, for the record timer.
extern CFieldbookView* g_pView;

// The 25 ms record timer's procedure: moves every queued point into the survey
// log. User-interface thread only.
void SurveyTimerProc();
// Points are still queued after SurveyTimerProc (a queue wait timed out, the
// log refused a point): the record timer comes back for them after 25 ms.
bool RecordsWaiting();
