#include "app/FieldbookView.h"

#include <cstring>
#include <string>

#include "app/ConfigFile.h"
#include "app/Corrections.h"
#include "app/GeoidModel.h"
#include "link/LocatorLink.h"
#include "platform/Folders.h"
#include "point/Heights.h"
#include "surveylog/RecordProcessing.h"
#include "surveylog/SurveyLog.h"

CFieldbookView* g_pView = nullptr;

CFieldbookView::CFieldbookView(IViewFace& face) : m_face(face)
{
    for (CStaticBitmap* picture : {&m_wndGpsIcon, &m_wndBluetoothIcon, &m_wndGpsLamp, &m_wndBluetoothLamp})
        picture->SetFace(&m_face);

    const CConfigFile& config = GetConfig();
    m_nGpsPort = config.m_nGpsPort;
    m_nBluetoothPort = config.m_nBluetoothPort;
    m_dwDebugLevel = config.m_dwDebugLevel;
    g_pView = this;

    StartLink();

    if ((m_dwDebugLevel & DEBUG_SYSTEM) != 0 &&
        m_systemLog.Open(DocumentsPath("system.txt"), CDebugFile::Mode::Append))
        m_pSystemLog = &m_systemLog;
}

CFieldbookView::~CFieldbookView()
{
    if (m_stopper.joinable())
        m_stopper.join();
    StopCorrections();
    m_pCorrections.reset();
    if (m_pLink) {
        m_pLink->Shutdown();
        m_pLink.reset();
    }
    m_pSystemLog = nullptr;
    m_systemLog.Close();
    if (g_pView == this)
        g_pView = nullptr;
}

void CFieldbookView::OnInitialUpdate()
{
    m_face.StartRecordTimer();
    CSurveyLog::GetInstance()->StartNewFile();
    ReportLogSaveState();
    m_face.OnRunningChanged(m_bRunning);
    // While the link runs its threads own the indicators: StartLink showed them
    // idle before the threads began, and the threads only report changes. Setting
    // them idle again here, a second after the start, would show a carrier or a
    // fix found in that second as lost until it changed again.
    if (!m_bRunning || !m_bLinkReady)
        SetIndicatorsIdle();
}

void CFieldbookView::StartLink()
{
    // Threads still ending would meet new ones on the same ports.
    if (m_bRunning || m_bStopping)
        return;
    m_bRunning = true;
    ClearTestWindow();

    if (!m_pLink)
        m_pLink = std::make_unique<CLocatorLink>(*this);
    // A link whose Initialise failed is initialised again rather than started on
    // missing ports, codec or decoder.
    if (!m_bLinkReady) {
        m_bLinkReady = m_pLink->Initialise() == 0;
        if (!m_bLinkReady) {
            m_face.OnRunningChanged(true);
            return;
        }
    }
    SetIndicatorsIdle();
    m_pLink->StartThreads();
    StartCorrections();
    m_face.OnRunningChanged(true);
}

void CFieldbookView::StartCorrections()
{
    const CConfigFile& config = GetConfig();
    if (config.m_strNtrip.empty())
        return;
    // gpsd takes the caster as a source itself; its port is no receiver's.
    if (!config.m_strGpsd.empty()) {
        if (!m_bNtripRefusedShown)
            m_face.OnNotice("NTRIP: PORT#GPS#NTRIP is not used with PORT#GPS#GPSD: give gpsd the caster "
                            "as a source instead (see the README, RTK corrections)",
                            true);
        m_bNtripRefusedShown = true;
        return;
    }
    NTRIP_OPTIONS options;
    if (!ParseNtripUrl(config.m_strNtrip, options.url))
        return;
    options.nGgaSeconds = config.m_nNtripGga;
    options.nMaxAgeSeconds = config.m_nGpsMaxAge;
    options.caFile = config.m_strNtripCa;
    options.bHavePosition = !config.m_strNtripPosition.empty() &&
                            ParseNtripPosition(config.m_strNtripPosition, options.dfLatitude, options.dfLongitude,
                                               options.dfHeight);
    if (!m_pCorrections)
        m_pCorrections = std::make_unique<CCorrections>(m_face, *m_pLink);
    m_pCorrections->Start(options);
}

void CFieldbookView::StopCorrections()
{
    if (m_pCorrections)
        m_pCorrections->Stop();
}

void CFieldbookView::StopLink()
{
    if (m_bStopping) {
        FinishStopLink();
        return;
    }
    if (!m_bRunning)
        return;
    m_bRunning = false;
    StopCorrections();
    if (m_pLink)
        m_pLink->StopThreads();
    SetIndicatorsIdle();
    m_face.OnRunningChanged(false);
}

bool CFieldbookView::BeginStopLink()
{
    if (!m_bRunning || m_bStopping)
        return false;
    m_bRunning = false;
    m_bStopping = true;
    // m_pLink is neither made nor freed while stopping: StartLink waits for the
    // end of the stop, the destructor joins this thread first.
    m_stopper = std::thread([this] {
        StopCorrections();
        if (m_pLink)
            m_pLink->StopThreads();
        SetIndicatorsIdle();
        m_face.OnLinkStopped();
    });
    return true;
}

void CFieldbookView::FinishStopLink()
{
    if (m_stopper.joinable())
        m_stopper.join();
    if (!m_bStopping)
        return;
    m_bStopping = false;
    m_face.OnRunningChanged(false);
}

void CFieldbookView::ToggleLink()
{
    if (m_bRunning)
        StopLink();
    else
        StartLink();
}

bool CFieldbookView::LatestGpsFix(GPS_FIX& fix, GPS_QUALITY* quality) const
{
    return m_pLink && m_pLink->LatestGpsFix(fix, quality);
}

void CFieldbookView::SetPorts(int gpsPort, int bluetoothPort)
{
    m_nGpsPort = gpsPort;
    m_nBluetoothPort = bluetoothPort;
}

void CFieldbookView::GetPorts(int& gpsPort, int& bluetoothPort) const
{
    gpsPort = m_nGpsPort;
    bluetoothPort = m_nBluetoothPort;
}

void CFieldbookView::SetTestFlags(bool gpsTest, bool bluetoothTest)
{
    m_bGpsTest = gpsTest;
    m_bBluetoothTest = bluetoothTest;
}

void CFieldbookView::GetTestFlags(bool& gpsTest, bool& bluetoothTest) const
{
    gpsTest = m_bGpsTest;
    bluetoothTest = m_bBluetoothTest;
}

void CFieldbookView::ClearTestWindow()
{
    m_face.OnTestWindowCleared();
}

void CFieldbookView::LayoutTestWindow(bool show)
{
    m_face.OnTestWindowLayout(show);
}

std::string CFieldbookView::LogPaneText() const
{
    return ::LogPaneText(*CSurveyLog::GetInstance());
}

std::string CFieldbookView::TransferPaneText() const
{
    return m_bStopping ? "XFER Stopping" : ::TransferPaneText(m_bRunning);
}

void CFieldbookView::ShowRawData(const uint8_t* data, uint32_t length)
{
    if (data == nullptr)
        return;
    // Whole: a locator frame holds zero bytes, and the echo shows it in hex
    // rather than the part before its first zero.
    m_face.OnRawData(std::string(reinterpret_cast<const char*>(data), length));
}

void CFieldbookView::SetBitmap(int controlId, int bitmapId)
{
    switch (controlId) {
    case IDC_GPS_ICON: m_wndGpsIcon.SetBitmap(bitmapId); break;
    case IDC_GPS_LAMP: m_wndGpsLamp.SetBitmap(bitmapId); break;
    case IDC_BLUETOOTH_ICON: m_wndBluetoothIcon.SetBitmap(bitmapId); break;
    case IDC_BLUETOOTH_LAMP: m_wndBluetoothLamp.SetBitmap(bitmapId); break;
    default: break;
    }
}

GPS_OPTIONS CFieldbookView::GetGpsOptions() const
{
    const CConfigFile& config = GetConfig();
    GPS_OPTIONS options;
    options.nSpeed = config.m_nGpsSpeed;
    if (!config.m_strGpsd.empty() && !SplitGpsdAddress(config.m_strGpsd, options.gpsdHost, options.nGpsdPort))
        options.gpsdHost.clear();
    options.bAnyTalker = config.m_bGpsAnyTalker;
    options.nMaxAgeSeconds = config.m_nGpsMaxAge;
    return options;
}

void CFieldbookView::OnIgnoredTalker(const char* sentenceId)
{
    if (m_bTalkerNoticeShown.exchange(true))
        return;
    m_face.OnNotice(std::string("GPS: the receiver sends ") + sentenceId + ", which is ignored; set GPS#TALKER#ANY in " +
                        ConfigFilePath() + " to use it",
                    false);
}

void CFieldbookView::OnGpsSpeedRefused(int32_t baud, int error)
{
    if (m_bSpeedWarningShown.exchange(true))
        return;
    m_face.OnNotice("GPS: COM" + std::to_string(m_nGpsPort.load()) + " refused the speed " + std::to_string(baud) +
                        " (" + strerrordesc_np(error) + "); it keeps its own speed",
                    true);
}

void CFieldbookView::OnGpsdSilent(const std::string& address, int seconds)
{
    m_face.OnNotice("GPS: gpsd at " + address + " silent for " + std::to_string(seconds) + " s, reconnecting", false);
}

void CFieldbookView::ReportLogSaveState()
{
    const CSurveyLog& log = *CSurveyLog::GetInstance();
    const bool newFailure = log.FailedSaves() != m_nReportedSaveFailures;
    m_nReportedSaveFailures = log.FailedSaves();
    if (newFailure && log.LastSaveError() != 0) {
        m_bSaveFailing = true;
        m_face.OnLogSaveState(SaveFailureText(log), true);
    } else if (m_bSaveFailing && log.LastSaveError() == 0) {
        m_bSaveFailing = false;
        m_face.OnLogSaveState("Log: saved " + log.GetFullPath() + "; every point is on disk again", false);
    }
}

void CFieldbookView::SetIndicatorsIdle()
{
    m_wndBluetoothIcon.SetBitmap(IDB_BLUETOOTH_DOWN);
    m_wndGpsIcon.SetBitmap(IDB_GPS_NO_FIX);
    m_wndBluetoothLamp.SetBitmap(IDB_LAMP_RED);
    m_wndGpsLamp.SetBitmap(IDB_LAMP_RED);
}

QUALITY_GATE CFieldbookView::QualityGate() const
{
    const CConfigFile& config = GetConfig();
    return QUALITY_GATE{config.m_nGpsRequire, config.m_dfGpsMaxHAcc};
}

void CFieldbookView::Check(SURVEY_POINT& point)
{
    ApplyGate(point.Quality, QualityGate());
}

void CFieldbookView::OnLogged(const SURVEY_POINT& point, size_t number)
{
    // Once a run: every later point of that receiver is the same.
    if (!m_bNoGeoidShown && GetGeoidModel() == nullptr && ReceiverAppliesNoGeoid(point)) {
        m_bNoGeoidShown = true;
        m_face.OnNotice("GPS: the receiver applies no geoid (its geoid separation is empty or 0), so its altitude is "
                        "an ellipsoidal height and points get no ground or utility elevation; set a geoid grid "
                        "(GPS#GEOID#egm96_15.gtx, or the Heights page) in " +
                            ConfigFilePath(),
                        false);
    }
    if (!point.Quality.Has(QUALITY_CHECKED) || point.Quality.bQualityOK) {
        m_strLastBelowGate.clear();
        return;
    }
    ++m_nBelowGate;
    m_nLastBelowGatePoint = number;
    m_strLastBelowGate = GateShortfall(point.Quality, QualityGate());
    m_face.OnQualityWarning(GateWarning(number, point.Quality, QualityGate()));
}

BANNER_STATE CFieldbookView::BannerState() const
{
    BANNER_STATE state;
    state.bRunning = IsRunning();
    state.bStopping = IsStopping();
    const CConfigFile& config = GetConfig();
    state.nGpsPort = config.m_strGpsd.empty() ? m_nGpsPort.load() : 0;
    state.gpsd = config.m_strGpsd;
    state.nBluetoothPort = m_nBluetoothPort.load();
    state.bGpsLampGreen = m_wndGpsLamp.GetBitmap() == IDB_LAMP_GREEN;
    state.bBluetoothLampGreen = m_wndBluetoothLamp.GetBitmap() == IDB_LAMP_GREEN;
    GPS_FIX fix;
    state.bHaveFix = state.bRunning && LatestGpsFix(fix, &state.quality) && fix.nGpsFix != 0;
    state.gate = QualityGate();
    state.nBelowGatePoint = m_nLastBelowGatePoint;
    state.belowGate = m_strLastBelowGate;
    const CSurveyLog& log = *CSurveyLog::GetInstance();
    state.nSaveError = log.LastSaveError();
    state.logPath = log.GetFullPath();
    state.nOnDisk = log.GetSavedCount();
    state.nHeld = log.GetUnsavedCount();
    state.bCorrectionsSet = !config.m_strNtrip.empty() && config.m_strGpsd.empty();
    return state;
}

void SurveyTimerProc()
{
    CFieldbookView* view = g_pView;
    if (view == nullptr)
        return;
    ProcessQueuedRecords(view->Link(), view->m_pSystemLog, view->m_dfPrevLat, view->m_dfPrevLong,
                         view->PointCheck());
    view->ReportLogSaveState();
}

bool RecordsWaiting()
{
    CFieldbookView* view = g_pView;
    if (view == nullptr || view->Link() == nullptr)
        return false;
    if (view->Link()->PeekLocateRecord() != nullptr)
        return true;
    // A queue that could not be looked at is looked at again; a link that is not
    // initialised has nothing queued.
    const int rc = view->Link()->LastRetCode();
    return rc == LINK_ERR_WAIT_TIMEOUT || rc == LINK_ERR_WAIT_FAILED;
}
