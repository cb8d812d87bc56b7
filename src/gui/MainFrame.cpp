#include "gui/MainFrame.h"

#include <QAction>
#include <cmath>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/Application.h"
#include "app/ConfigFile.h"
#include "app/PortList.h"
#include "app/Corrections.h"
#include "gui/AboutDlg.h"
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

constexpr COMMAND kCommands[] = {
    {ID_TRANSFER, "Start or stop the transfer", "Ctrl+T", "Transfer"},
    {ID_SETTINGS, "Settings", "Ctrl+,", "Settings"},
    {ID_NEW_LOG, "Start a new survey log", "Ctrl+N", "New log"},
    {ID_ABOUT, "About", "F1", "About"},
    {ID_EXIT, "Exit", "Ctrl+Q", "Exit"},
};

} // namespace

CMainFrame::CMainFrame(CFieldbookApp& app, CQtFace& face, bool fullResolution, QWidget* parent)
    : QMainWindow(parent), m_app(app), m_face(face)
{
    setWindowTitle(QString::fromUtf8(kAppTitle));
    setWindowIcon(ProgramIcon());

    // The status bar sits along the top edge under the command bar, as on the
    // handheld, with the form below both; the track view takes the room that
    // the desktop has below the form.
    auto* client = new QWidget(this);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_statusBar = new QStatusBar(client);
    layout->addWidget(m_statusBar);
    m_form = new CFieldbookForm(client);
    layout->addWidget(m_form, 0);
    m_track = new CTrackView(client);
    layout->addWidget(m_track, 1);
    setCentralWidget(client);
    resize(kDefaultSize);

    CreateCommandBar(fullResolution);
    CreateStatusBar();
    if (fullResolution) {
        m_form->SetReadoutPointSize(kFieldReadoutPoints);
        m_track->SetFieldScale(kFieldLegendPoints, TouchTargetPixels());
    }

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
    // A port's entry comes and goes with a device plugged in or a binding made:
    // a look a second is enough for a tip.
    m_portTimer = new QTimer(this);
    m_portTimer->setInterval(1000);
    connect(m_portTimer, &QTimer::timeout, this, &CMainFrame::CheckPorts);
    m_portTimer->start();
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
    const QString shared = QString::fromStdString(hints.shared);
    if (shared != m_sharedPortWarning) {
        m_sharedPortWarning = shared;
        if (!shared.isEmpty())
            ShowNotice(shared, true);
    }
}

void CMainFrame::OnLogSaveState(const QString& text, bool failing)
{
    m_saveFailure = failing ? text : QString();
    m_logPane->setStyleSheet(failing ? QStringLiteral("QLabel { background: #d01010; color: white; }") : QString());
    // One box per run of failures: the pane stays red and its tip says how many
    // points wait, a box per point would bury the window.
    if (failing && !m_saveBoxShown) {
        m_saveBoxShown = true;
        ShowNotice(text, true);
    }
    if (!failing)
        m_saveBoxShown = false;
    UpdatePanes();
}

void CMainFrame::ShowNotice(const QString& text, bool warning)
{
    // Shown, not run: the survey and the window go on while it is up.
    auto* box = new QMessageBox(warning ? QMessageBox::Warning : QMessageBox::Information,
                                QString::fromUtf8(kAppTitle), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("noticeBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
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
    m_commandBar->setIconSize(fullResolution ? kFieldImage : kSmallImage);
    m_commandBar->setToolButtonStyle(fullResolution ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
    bool first = true;
    for (const COMMAND& command : kCommands) {
        if (!first)
            m_commandBar->addSeparator();
        first = false;
        QAction* action = m_commandBar->addAction(ToolbarIcon(command.nId, fullResolution),
                                                  QString::fromUtf8(fullResolution ? command.pszLabel
                                                                                   : command.pszTip));
        action->setData(command.nId);
        const QKeySequence keys(QString::fromUtf8(command.pszKeys));
        action->setShortcut(keys);
        action->setToolTip(QStringLiteral("%1 (%2)").arg(QString::fromUtf8(command.pszTip),
                                                         keys.toString(QKeySequence::NativeText)));
        action->setObjectName(QStringLiteral("command%1").arg(command.nId));
        const int id = command.nId;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        m_commands[command.nId] = action;
    }
    m_commands[ID_TRANSFER]->setCheckable(true);
    // The client's report of the current log, into the log's folder.
    m_commandBar->addSeparator();
    QAction* report = m_commandBar->addAction(QStringLiteral("Report"));
    report->setObjectName(QStringLiteral("commandReport"));
    report->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    report->setToolTip(QStringLiteral("Report: the client's PDF of this survey log (%1)")
                           .arg(report->shortcut().toString(QKeySequence::NativeText)));
    connect(report, &QAction::triggered, this, [this] { MakeLogReport(); });
    if (fullResolution) {
        if (QWidget* button = m_commandBar->widgetForAction(report))
            button->setMinimumSize(TouchTargetPixels(), TouchTargetPixels());
        const int touch = TouchTargetPixels();
        for (const auto& [id, action] : m_commands) {
            if (QWidget* button = m_commandBar->widgetForAction(action))
                button->setMinimumSize(touch, touch);
        }
    }
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
    // The link threads read the ports and echo flags: they change only while stopped.
    if (view == nullptr || view->IsRunning())
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
    CSettingsSheet sheet(current,
                         [view](const VIEW_SETTINGS& chosen) {
                             view->SetPorts(chosen.nGpsPort, chosen.nBluetoothPort);
                             view->SetTestFlags(chosen.bGpsTest, chosen.bBluetoothTest);
                         },
                         this);
    if (sheet.exec() != QDialog::Accepted)
        return;
    sheet.ApplyToView();
    view->GetTestFlags(gpsTest, bluetoothTest);
    view->LayoutTestWindow(gpsTest || bluetoothTest);
}

void CMainFrame::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CMainFrame::OnRunningChanged(bool running)
{
    const CFieldbookView* view = m_app.View();
    const bool stopping = view != nullptr && view->IsStopping();
    Command(ID_TRANSFER)->setChecked(running);
    Command(ID_TRANSFER)->setEnabled(!stopping);
    Command(ID_SETTINGS)->setEnabled(!running && !stopping);
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
}

void CMainFrame::RunExitSequence()
{
    if (m_exitRan)
        return;
    m_exitRan = true;
    m_track->DetachLog();
    m_app.ExitSequence();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    CFieldbookView* view = m_app.View();
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
