#include "gui/MainFrame.h"
#include "gui/UtilityPanel.h"

#include <QAction>
#include <cmath>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/Application.h"
#include "app/ConfigFile.h"
#include "app/PortList.h"
#include "app/Corrections.h"
#include "app/MapBackdrop.h"
#include "gui/AboutDlg.h"
#include "gui/BannerView.h"
#include "gui/FieldScale.h"
#include "gui/FieldGuide.h"
#include "platform/Folders.h"
#include "gui/FieldbookForm.h"
#include "gui/Images.h"
#include "gui/PictureControl.h"
#include "gui/PointReadout.h"
#include "gui/QtFace.h"
#include "gui/SettingsSheet.h"
#include "gui/TrackView.h"
#include "report/ReportCommand.h"
#include "resources/Strings.h"
#include "surveylog/SurveyLog.h"

namespace {

struct COMMAND {
    int nId;
    const char* pszTip;
    const char* pszKeys;  // desktop keyboard shortcut
    const char* pszLabel; // under the icon at the field scale
};

// Exit comes last, at the far end of the bar, away from the others: a glove
// that means About or Help must not end the survey.
constexpr COMMAND kCommands[] = {
    {ID_TRANSFER, "Start or stop the transfer", "Ctrl+T", "Transfer"},
    {ID_SETTINGS, "Settings", "Ctrl+,", "Settings"},
    {ID_NEW_LOG, "Start a new survey log", "Ctrl+N", "New log"},
    {ID_HELP, "Field guide", "F1", "Help"},
    {ID_ABOUT, "About", "", "About"},
    {ID_EXIT, "Exit", "Ctrl+Q", "Exit"},
};

} // namespace

CMainFrame::CMainFrame(CFieldbookApp& app, CQtFace& face, bool fullResolution, QWidget* parent)
    : QMainWindow(parent), m_app(app), m_face(face)
{
    setWindowTitle(QString::fromUtf8(kAppTitle));
    setWindowIcon(ProgramIcon());
    // Before the form is laid out: its template's units come from the font.
    if (fullResolution && !ProgramFieldScale()) {
        SetProgramFieldScale(true);
        m_ownsFieldScale = true;
    }

    // The status bar sits along the top edge under the command bar, as on the
    // handheld, with the form below both; the track view takes the room that
    // the desktop has below the form.
    auto* client = new QWidget(this);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_statusBar = new QStatusBar(client);
    layout->addWidget(m_statusBar);
    m_banner = new CBannerView(client);
    layout->addWidget(m_banner);
    m_form = new CFieldbookForm(client);
    layout->addWidget(m_form, 0);
    m_track = new CTrackView(client);
    layout->addWidget(m_track, 1);
    m_utilities = new CUtilityPanel(app, client);
    layout->addWidget(m_utilities, 0);
    setCentralWidget(client);
    resize(kDefaultSize);

    m_desktopReadoutPoints = m_form->Readout()->font().pointSize();
    m_desktopTrackPoints = m_track->font().pointSize();
    CreateCommandBar(fullResolution);
    CreateStatusBar();
    m_fullScreenAction = new QAction(QStringLiteral("Full screen"), this);
    m_fullScreenAction->setObjectName(QStringLiteral("fullScreenAction"));
    m_fullScreenAction->setShortcut(QKeySequence(Qt::Key_F11));
    connect(m_fullScreenAction, &QAction::triggered, this, [this] { SetFullScreen(!isFullScreen()); });
    addAction(m_fullScreenAction);
    ApplyFieldScale(fullResolution);
    // Gloved fingers in the field, whatever the screen: the crew's buttons
    // are always a touch target high.
    m_utilities->SetFieldScale(fullResolution ? kFieldLegendPoints : font().pointSize() + 2, TouchTargetPixels());
    // The control socket exists once the application has started, which is
    // before the event loop runs.
    QTimer::singleShot(0, m_utilities, &CUtilityPanel::ServeControl);

    connect(&m_face, &CQtFace::BitmapChanged, m_form, &CFieldbookForm::OnBitmapChanged);
    connect(&m_face, &CQtFace::RawData, m_form, &CFieldbookForm::OnRawData);
    connect(&m_face, &CQtFace::Corrections, m_form, &CFieldbookForm::OnCorrections);
    connect(&m_face, &CQtFace::TestWindowCleared, m_form, &CFieldbookForm::OnTestWindowCleared);
    connect(&m_face, &CQtFace::TestWindowLayout, this, &CMainFrame::LayoutTestWindow);
    connect(&m_face, &CQtFace::RunningChanged, this, &CMainFrame::OnRunningChanged);
    connect(&m_face, &CQtFace::RecordsProcessed, this, &CMainFrame::UpdatePanes);
    connect(&m_face, &CQtFace::Notice, this, &CMainFrame::ShowNotice);
    connect(&m_face, &CQtFace::RecordsProcessed, this, &CMainFrame::UpdateSurvey);
    connect(&m_face, &CQtFace::LinkStopped, this, &CMainFrame::OnLinkStopped);
    m_gpsLampTimer = new QTimer(this);
    m_gpsLampTimer->setInterval(1000);
    connect(m_gpsLampTimer, &QTimer::timeout, this, &CMainFrame::UpdateGpsLamp);
    m_gpsMarkerTimer.setSingleShot(true);
    m_gpsMarkerTimer.setInterval(kGpsMarkerMs);
    connect(&m_gpsMarkerTimer, &QTimer::timeout, this, &CMainFrame::UpdateGpsMarker);
    connect(&m_face, &CQtFace::GpsFixChanged, this, [this] {
        if (!m_gpsMarkerTimer.isActive())
            m_gpsMarkerTimer.start();
    });
    connect(&m_face, &CQtFace::LogSaveState, this, &CMainFrame::OnLogSaveState);
    connect(&m_face, &CQtFace::Corrections, this, [this](const QString& line, bool streaming) {
        m_correctionsLine = QString(line).remove(QStringLiteral("NTRIP: "));
        m_correctionsStreaming = streaming;
        UpdateBanner();
    });
    m_recoveredTimer = new QTimer(this);
    m_recoveredTimer->setSingleShot(true);
    m_recoveredTimer->setInterval(kRecoveredNoticeMs);
    connect(m_recoveredTimer, &QTimer::timeout, this, [this] {
        m_saveRecovered = false;
        UpdateBanner();
    });
    // A port's entry comes and goes with a device plugged in or a binding made:
    // a look a second is enough for a tip.
    m_portTimer = new QTimer(this);
    m_portTimer->setInterval(1000);
    connect(m_portTimer, &QTimer::timeout, this, &CMainFrame::CheckPorts);
    m_portTimer->start();
    connect(m_track, &CTrackView::MapProblem, this, [this](const QString& text) { ShowNotice(text, true); });
    LoadMap();
}

void CMainFrame::LoadMap()
{
    const QString path = QString::fromStdString(GetConfig().m_strMapRaster);
    if (path == m_track->MapPath())
        return;
    std::string error;
    std::unique_ptr<IMapBackdrop> map = path.isEmpty() ? nullptr : OpenMapBackdrop(path.toStdString(), error);
    if (!map && !path.isEmpty() && path != m_mapRefused) {
        m_mapRefused = path;
        ShowNotice(QStringLiteral("No map under the track: %1").arg(QString::fromStdString(error)), true);
    }
    m_track->SetMap(std::move(map));
}

void CMainFrame::CheckPorts()
{
    const CFieldbookView* view = m_app.View();
    if (view == nullptr)
        return;
    int gpsPort = 0;
    int bluetoothPort = 0;
    view->GetPorts(gpsPort, bluetoothPort);
    if (!GetConfig().m_strGpsd.empty())
        gpsPort = 0;
    const PORT_HINTS hints = ::CheckPorts(gpsPort, bluetoothPort);
    auto tip = [](const std::string& problem, const QString& fine) {
        return problem.empty() ? fine : QString::fromStdString(problem);
    };
    const QString gpsTip = tip(hints.gps, gpsPort == 0 ? QStringLiteral("GPS: gpsd %1").arg(QString::fromStdString(
                                                                                         GetConfig().m_strGpsd))
                                                         : QStringLiteral("GPS port: COM%1").arg(gpsPort));
    const QString bluetoothTip = tip(hints.bluetooth, QStringLiteral("Locator port: COM%1").arg(bluetoothPort));
    for (auto [id, text] : {std::pair{IDC_GPS_LAMP, gpsTip}, std::pair{IDC_BLUETOOTH_LAMP, bluetoothTip}}) {
        if (QWidget* lamp = m_form->Picture(id); lamp != nullptr && lamp->toolTip() != text)
            lamp->setToolTip(text);
    }
    if (hints != m_portHints) {
        m_portHints = hints;
        UpdateBanner();
    }
    const QString shared = QString::fromStdString(hints.shared);
    if (shared != m_sharedPortWarning) {
        m_sharedPortWarning = shared;
        if (!shared.isEmpty())
            ShowNotice(shared, true);
    }
}

void CMainFrame::OnLogSaveState(const QString& text, bool failing)
{
    // The banner says it, with the counts of every later point: a box would
    // keep the first count and want a tap in the middle of a survey.
    m_saveRecovered = !failing && !m_saveFailure.isEmpty();
    if (m_saveRecovered)
        m_recoveredTimer->start();
    m_saveFailure = failing ? text : QString();
    m_logPane->setStyleSheet(failing ? QStringLiteral("QLabel { background: #d01010; color: white; }") : QString());
    UpdatePanes();
}

void CMainFrame::ShowNotice(const QString& text, bool warning)
{
    // Shown, not run: the survey and the window go on while it is up.
    auto* box = new QMessageBox(warning ? QMessageBox::Warning : QMessageBox::Information,
                                QString::fromUtf8(kAppTitle), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("noticeBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    FitForTouch(*box);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

QString CMainFrame::MakeLogReport()
{
    const CSurveyLog* log = CSurveyLog::GetInstance();
    if (log->GetFileName().empty() || log->GetSavedCount() == 0) {
        QMessageBox::information(this, QStringLiteral("Report"),
                                 QStringLiteral("The survey log holds no saved point yet: there is nothing to report."));
        return {};
    }
    REPORT_REQUEST request;
    const std::string path = log->GetFullPath();
    const size_t dot = path.rfind('.');
    request.output = (dot == std::string::npos ? path : path.substr(0, dot)) + ".pdf";
    request.inputs = {path};
    std::string error;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool made = MakeReport(request, error);
    QGuiApplication::restoreOverrideCursor();
    if (!made) {
        QMessageBox::warning(this, QStringLiteral("Report"),
                             QStringLiteral("The report could not be made: %1").arg(QString::fromStdString(error)));
        return {};
    }
    const QString where = QString::fromStdString(request.output);
    statusBar()->showMessage(QStringLiteral("Report: %1").arg(where), 10000);
    QMessageBox::information(this, QStringLiteral("Report"), QStringLiteral("Report written to %1").arg(where));
    return where;
}

void CMainFrame::CreateCommandBar(bool fullResolution)
{
    m_commandBar = new QToolBar(QStringLiteral("Commands"), this);
    m_commandBar->setObjectName(QStringLiteral("commandBar"));
    m_commandBar->setMovable(false);
    m_commandBar->setFloatable(false);
    bool first = true;
    for (const COMMAND& command : kCommands) {
        if (command.nId == ID_EXIT) {
            auto* gap = new QWidget(m_commandBar);
            gap->setObjectName(QStringLiteral("exitGap"));
            gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            m_commandBar->addWidget(gap);
        } else if (!first) {
            m_commandBar->addSeparator();
        }
        first = false;
        QAction* action = m_commandBar->addAction(ToolbarIcon(command.nId, fullResolution),
                                                  QString::fromUtf8(fullResolution ? command.pszLabel
                                                                                   : command.pszTip));
        action->setData(command.nId);
        const QKeySequence keys(QString::fromUtf8(command.pszKeys));
        action->setShortcut(keys);
        action->setToolTip(keys.isEmpty() ? QString::fromUtf8(command.pszTip)
                                          : QStringLiteral("%1 (%2)").arg(QString::fromUtf8(command.pszTip),
                                                                          keys.toString(QKeySequence::NativeText)));
        action->setObjectName(QStringLiteral("command%1").arg(command.nId));
        const int id = command.nId;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        m_commands[command.nId] = action;
    }
    m_commands[ID_TRANSFER]->setCheckable(true);
    // The client's report of the current log, into the log's folder: beside
    // the other commands, before the gap that keeps Exit apart.
    QAction* report = new QAction(QStringLiteral("Report"), this);
    report->setObjectName(QStringLiteral("commandReport"));
    report->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    report->setToolTip(QStringLiteral("Report: the client's PDF of this survey log (%1)")
                           .arg(report->shortcut().toString(QKeySequence::NativeText)));
    connect(report, &QAction::triggered, this, [this] { MakeLogReport(); });
    QAction* beforeExit = m_commandBar->actions().at(m_commandBar->actions().indexOf(m_commands[ID_EXIT]) - 1);
    m_commandBar->insertSeparator(beforeExit);
    m_commandBar->insertAction(beforeExit, report);
    // The bar holds the only way to every command: nothing may hide it.
    m_commandBar->toggleViewAction()->setVisible(false);
    m_commandBar->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, m_commandBar);
}

void CMainFrame::CreateStatusBar()
{
    m_statusBar->setSizeGripEnabled(false);
    m_statusBar->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
    const QFontMetrics metrics(m_statusBar->font());
    m_logPane = new QLabel(m_statusBar);
    m_logPane->setObjectName(QStringLiteral("pane%1").arg(ID_PANE_LOG));
    m_logPane->setMinimumWidth(metrics.horizontalAdvance(QString::fromUtf8(kLogPaneWidthText)));
    m_transferPane = new QLabel(m_statusBar);
    m_transferPane->setObjectName(QStringLiteral("pane%1").arg(ID_PANE_XFER));
    m_transferPane->setMinimumWidth(metrics.horizontalAdvance(QString::fromUtf8(kTransferPaneWidthText)));
    m_statusBar->addWidget(m_logPane);
    m_statusBar->addWidget(m_transferPane);
}

CMainFrame::~CMainFrame()
{
    if (m_ownsFieldScale)
        SetProgramFieldScale(false);
}

void CMainFrame::SetFieldScale(bool on)
{
    if (on == m_fieldScale)
        return;
    SetProgramFieldScale(on);
    m_ownsFieldScale = on;
    ApplyFieldScale(on);
}

void CMainFrame::ApplyFieldScale(bool on)
{
    m_fieldScale = on;
    m_commandBar->setIconSize(on ? kFieldImage : kSmallImage);
    m_commandBar->setToolButtonStyle(on ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
    const int touch = on ? TouchTargetPixels() : 0;
    for (const COMMAND& command : kCommands) {
        QAction* action = m_commands[command.nId];
        action->setIcon(ToolbarIcon(command.nId, on));
        action->setText(QString::fromUtf8(on ? command.pszLabel : command.pszTip));
        if (QWidget* button = m_commandBar->widgetForAction(action))
            button->setMinimumSize(touch, touch);
    }
    m_form->SetReadoutPointSize(on ? kFieldReadoutPoints : m_desktopReadoutPoints);
    m_track->SetFieldScale(on ? kFieldLegendPoints : m_desktopTrackPoints, touch);
    m_banner->SetPointSize(on ? kFieldTextPoints : m_desktopTrackPoints);
}

int CMainFrame::TouchTargetPixels() const
{
    return static_cast<int>(std::ceil(kTouchTargetMm / 25.4 * logicalDpiY()));
}

QAction* CMainFrame::Command(int commandId) const
{
    const auto it = m_commands.find(commandId);
    return it != m_commands.end() ? it->second : nullptr;
}

QLabel* CMainFrame::Pane(int paneId) const
{
    if (paneId == ID_PANE_LOG)
        return m_logPane;
    if (paneId == ID_PANE_XFER)
        return m_transferPane;
    return nullptr;
}

void CMainFrame::OnCommand(int commandId)
{
    CFieldbookView* view = m_app.View();
    switch (commandId) {
    case ID_TRANSFER:
        // Stopping waits for the link threads, which may each wait out a port's
        // close: that runs in the background and the window stays live.
        if (view != nullptr && !view->BeginStopLink() && !view->IsStopping())
            view->StartLink();
        // The button shows the state even when the toggle changed nothing.
        OnRunningChanged(view != nullptr && view->IsRunning());
        break;
    case ID_SETTINGS:
        OnSettings();
        break;
    case ID_NEW_LOG:
        if (view != nullptr) {
            m_app.NewLog();
            UpdatePanes();
            UpdateSurvey();
        }
        break;
    case ID_ABOUT:
        OnAbout();
        break;
    case ID_HELP:
        ShowFieldGuide();
        break;
    case ID_EXIT:
        close();
        break;
    default:
        break;
    }
}

void CMainFrame::OnSettings()
{
    CFieldbookView* view = m_app.View();
    if (view == nullptr || view->IsStopping())
        return;
    int gpsPort = 0;
    int bluetoothPort = 0;
    bool gpsTest = false;
    bool bluetoothTest = false;
    view->GetPorts(gpsPort, bluetoothPort);
    view->GetTestFlags(gpsTest, bluetoothTest);
    VIEW_SETTINGS current{gpsPort, bluetoothPort, gpsTest, bluetoothTest};
    if (const CCorrections* corrections = view->Corrections()) {
        for (const NTRIP_STREAM& stream : corrections->Status().streams)
            current.mountpoints.push_back(stream.mountpoint);
    }
    // The link threads read the ports and echo flags: those change only while
    // stopped; the gate, the antenna and the screen hold from the next point.
    current.bRunning = view->IsRunning();
    current.bFullScreen = isFullScreen();
    CSettingsSheet sheet(current, [this](const VIEW_SETTINGS& chosen) { ApplySettings(chosen); }, this);
    sheet.ensurePolished();
    FitForTouch(sheet);
    const int result = sheet.exec();
    // Cancel may have put another map back: whatever the file says now.
    LoadMap();
    if (result != QDialog::Accepted) {
        // Cancel put the file back: the window follows it.
        SetFieldScale(GetConfig().m_bFullResolution != 0);
        return;
    }
    sheet.ApplyToView();
}

void CMainFrame::ApplySettings(const VIEW_SETTINGS& chosen)
{
    CFieldbookView* view = m_app.View();
    if (view == nullptr)
        return;
    if (!chosen.bRunning && !view->IsRunning()) {
        view->SetPorts(chosen.nGpsPort, chosen.nBluetoothPort);
        view->SetTestFlags(chosen.bGpsTest, chosen.bBluetoothTest);
        bool gpsTest = false;
        bool bluetoothTest = false;
        view->GetTestFlags(gpsTest, bluetoothTest);
        view->LayoutTestWindow(gpsTest || bluetoothTest);
    }
    SetFieldScale(GetConfig().m_bFullResolution != 0);
    SetFullScreen(chosen.bFullScreen);
    UpdateGpsLamp();
}

void CMainFrame::OnAbout()
{
    CAboutDlg about(this);
    FitForTouch(about);
    about.exec();
}

void CMainFrame::OnRunningChanged(bool running)
{
    const CFieldbookView* view = m_app.View();
    const bool stopping = view != nullptr && view->IsStopping();
    Command(ID_TRANSFER)->setChecked(running);
    Command(ID_TRANSFER)->setEnabled(!stopping);
    // Offered during a survey too: the sheet offers only what may change then.
    Command(ID_SETTINGS)->setEnabled(!stopping);
    UpdatePanes();
    if (running)
        m_gpsLampTimer->start();
    else
        m_gpsLampTimer->stop();
    UpdateGpsLamp();
}

void CMainFrame::OnLinkStopped()
{
    CFieldbookView* view = m_app.View();
    if (view != nullptr)
        view->FinishStopLink();
    if (m_closeAfterStop) {
        m_closeAfterStop = false;
        close();
    }
}

void CMainFrame::UpdatePanes()
{
    const CFieldbookView* view = m_app.View();
    if (view == nullptr)
        return;
    const QString log = QString::fromStdString(view->LogPaneText());
    if (m_logPane->text() != log)
        m_logPane->setText(log);
    const CSurveyLog& survey = *CSurveyLog::GetInstance();
    // A menu launch shows no terminal: the window itself says where the logs go.
    const QString folder = QStringLiteral("Survey logs go to %1").arg(QString::fromStdString(survey.GetFolder()));
    const QString tip = m_saveFailure.isEmpty() ? folder : m_saveFailure + QLatin1Char('\n') + folder;
    if (m_logPane->toolTip() != tip)
        m_logPane->setToolTip(tip);
    const QString title = survey.GetFileName().empty()
                              ? QString::fromUtf8(kAppTitle)
                              : QStringLiteral("%1 - %2").arg(QString::fromUtf8(kAppTitle),
                                                              QString::fromStdString(survey.GetFileName()));
    if (windowTitle() != title)
        setWindowTitle(title);
    const QString transfer = QString::fromStdString(view->TransferPaneText());
    if (m_transferPane->text() != transfer)
        m_transferPane->setText(transfer);
    UpdateBanner();
}

void CMainFrame::UpdateBanner()
{
    const CFieldbookView* view = m_app.View();
    if (view == nullptr || m_exitRan)
        return;
    BANNER_STATE state = view->BannerState();
    state.hints = m_portHints;
    state.bSaveRecovered = m_saveRecovered;
    state.bCorrectionsSpoke = !m_correctionsLine.isEmpty();
    state.bCorrectionsStreaming = m_correctionsStreaming;
    state.correctionsLine = m_correctionsLine.toStdString();
    m_banner->SetLines(BannerLines(state));
    if (state.bCorrectionsSpoke)
        m_form->SetCorrectionsReachReceiver(CorrectionsReachReceiver(state));
}

void CMainFrame::UpdateSurvey()
{
    const CFieldbookView* view = m_app.View();
    // Without the view the survey log is gone (exit sequence).
    if (view == nullptr)
        return;
    const CSurveyLog& log = *CSurveyLog::GetInstance();
    m_track->SyncWithLog(log);
    m_form->Readout()->ShowLast(log);
    UpdateGpsMarker();
}

void CMainFrame::UpdateGpsMarker()
{
    const CFieldbookView* view = m_app.View();
    GPS_FIX fix;
    m_track->SetGpsFix(view != nullptr && view->LatestGpsFix(fix) ? &fix : nullptr);
    UpdateGpsLamp();
}

void CMainFrame::UpdateGpsLamp()
{
    const CFieldbookView* view = m_app.View();
    GPS_FIX fix;
    GPS_QUALITY quality;
    const bool haveFix = view != nullptr && view->IsRunning() && view->LatestGpsFix(fix, &quality);
    m_form->ShowGpsQuality(haveFix ? QString::fromStdString(LampText(quality)) : QString(),
                           haveFix && LampAmber(quality, view->QualityGate()));
    UpdateBanner();
}

void CMainFrame::RunExitSequence()
{
    if (m_exitRan)
        return;
    m_exitRan = true;
    m_track->DetachLog();
    m_app.ExitSequence();
}

void CMainFrame::CloseWithoutAsking()
{
    m_exitConfirmed = true;
    close();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    CFieldbookView* view = m_app.View();
    if (!m_exitRan && !m_exitConfirmed && view != nullptr && view->IsRunning()) {
        // Once, and without blocking: the survey goes on while it is asked.
        event->ignore();
        if (m_exitQuestion == nullptr) {
            m_exitQuestion = new QMessageBox(QMessageBox::Question, QString::fromUtf8(kAppTitle),
                                             QStringLiteral("A survey is running. End it and close fieldbook?"),
                                             QMessageBox::NoButton, this);
            m_exitQuestion->setObjectName(QStringLiteral("exitQuestion"));
            QPushButton* end = m_exitQuestion->addButton(QStringLiteral("End survey"), QMessageBox::AcceptRole);
            end->setObjectName(QStringLiteral("endSurveyButton"));
            QPushButton* keep = m_exitQuestion->addButton(QStringLiteral("Keep surveying"), QMessageBox::RejectRole);
            keep->setObjectName(QStringLiteral("keepSurveyingButton"));
            m_exitQuestion->setDefaultButton(keep);
            m_exitQuestion->setWindowModality(Qt::WindowModal);
            m_exitQuestion->setAttribute(Qt::WA_DeleteOnClose);
            connect(m_exitQuestion, &QMessageBox::buttonClicked, this, [this, end](QAbstractButton* button) {
                if (button == end)
                    QTimer::singleShot(0, this, &CMainFrame::CloseWithoutAsking);
            });
            connect(m_exitQuestion, &QObject::destroyed, this, [this] { m_exitQuestion = nullptr; });
            FitForTouch(*m_exitQuestion);
        }
        m_exitQuestion->show();
        m_exitQuestion->raise();
        return;
    }
    SaveWindowState();
    if (!m_exitRan && view != nullptr && (view->IsRunning() || view->IsStopping())) {
        // The exit sequence in its order: the record timer stops, the link is
        // stopped (in the background, the window showing it), and only when it
        // has stopped does the rest run and the window close.
        m_face.StopRecordTimer();
        view->BeginStopLink();
        OnRunningChanged(false);
        m_closeAfterStop = true;
        event->ignore();
        return;
    }
    RunExitSequence();
    event->accept();
}

void CMainFrame::SetFullScreen(bool on)
{
    if (on == isFullScreen())
        return;
    if (on)
        showFullScreen();
    else
        showNormal();
}

namespace {
QString WindowStatePath()
{
    return QString::fromStdString(DocumentsPath("fieldbook-window.ini"));
}
} // namespace

void CMainFrame::SaveWindowState()
{
    QSettings state(WindowStatePath(), QSettings::IniFormat);
    state.setValue(QStringLiteral("window/geometry"), saveGeometry());
    state.setValue(QStringLiteral("window/fullScreen"), isFullScreen());
    state.sync();
}

bool CMainFrame::RestoreWindowState()
{
    QSettings state(WindowStatePath(), QSettings::IniFormat);
    const QByteArray geometry = state.value(QStringLiteral("window/geometry")).toByteArray();
    // A screen that has gone since puts the window back on one that is there.
    const bool restored = !geometry.isEmpty() && restoreGeometry(geometry);
    if (state.value(QStringLiteral("window/fullScreen"), false).toBool())
        setWindowState(windowState() | Qt::WindowFullScreen);
    return restored;
}

void CMainFrame::ShowFieldGuide()
{
    if (m_guide == nullptr) {
        m_guide = new CFieldGuide(this);
        FitForTouch(*m_guide);
    }
    m_guide->show();
    m_guide->raise();
    m_guide->activateWindow();
}

void CMainFrame::BringToFront()
{
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

QMenu* CMainFrame::createPopupMenu()
{
    // The default menu offers to hide the command bar, after which no command
    // could be reached again.
    return nullptr;
}

void CMainFrame::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    LayoutTestWindowFromView();
}

void CMainFrame::LayoutTestWindowFromView()
{
    const CFieldbookView* view = m_app.View();
    bool gpsTest = false;
    bool bluetoothTest = false;
    if (view != nullptr)
        view->GetTestFlags(gpsTest, bluetoothTest);
    LayoutTestWindow(view != nullptr ? (gpsTest || bluetoothTest) : m_testWindowShown);
}

void CMainFrame::LayoutTestWindow(bool show)
{
    m_testWindowShown = show;
    // The frame's outer rectangle with the margins taken off, in the frame's
    // client coordinates. It is kept to the form: over the command bar or the
    // panes it would hide the very buttons that stop the echo, and over the
    // track view the survey itself.
    const QRect outer = frameGeometry();
    const QPoint topLeft = mapFromGlobal(outer.topLeft() + QPoint(kTestMarginLeft, kTestMarginTop));
    const QPoint bottomRight =
        mapFromGlobal(outer.bottomRight() + QPoint(1, 1) - QPoint(kTestMarginRight, kTestMarginBottom));
    const QRect inFrame(topLeft, QSize(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y()));
    const QRect formInFrame(m_form->mapTo(this, QPoint(0, 0)), m_form->size());
    const QRect placed = inFrame.intersected(formInFrame);
    m_form->PlaceTestWindow(placed.translated(-formInFrame.topLeft()), show);
}
