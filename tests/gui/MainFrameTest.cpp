#include "gui/MainFrame.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <atomic>
#include <chrono>
#include <memory>
#include <gtest/gtest.h>
#include <thread>

#include "GuiTestSupport.h"
#include "app/Application.h"
#include "app/ConfigFile.h"
#include "gui/AboutDlg.h"
#include "gui/BannerView.h"
#include "gui/FieldGuide.h"
#include <QTextBrowser>
#include "gui/DialogLayout.h"
#include "gui/FieldbookForm.h"
#include "gui/PointReadout.h"
#include "gui/Images.h"
#include "gui/PictureControl.h"
#include "gui/PortSettingsPage.h"
#include "gui/QtFace.h"
#include "gui/SettingsSheet.h"
#include "gui/TestSettingsPage.h"
#include "gui/TestWindow.h"
#include "gui/PointReadout.h"
#include "gui/TrackView.h"
#include "link/LocatorLink.h"
#include "platform/Clock.h"
#include "surveylog/SurveyLog.h"
#include "gui/TrackView.h"
#include "support/NmeaStream.h"
#include "support/Pty.h"
#include "support/SurveyRun.h"
#include "support/SurveyLogFiles.h"
#include "platform/Folders.h"
#include "resources/DialogTemplates.h"
#include <unistd.h>

namespace {

// The whole window on scratch folders: the link runs against an empty ports
// folder (its ports keep failing to open, which costs no waiting), the survey
// log starts its files without the one-second pause.
class MainFrameTest : public ::testing::Test {
protected:
    explicit MainFrameTest(bool fullResolution = false) : m_frame(m_app, m_face, fullResolution)
    {
        const LOCAL_TIME time{2026, 12, 6, 14, 30, 5};
        SetLocalTimeForTest(&time);
        CSurveyLog::GetInstance()->SetNewFileWait(std::chrono::milliseconds(0));
        m_app.Start();
        m_frame.UpdatePanes();
        m_frame.resize(480, 360);
        m_frame.show();
    }
    ~MainFrameTest() override
    {
        m_frame.RunExitSequence();
        CSurveyLog::DestroyInstance();
        SetLocalTimeForTest(nullptr);
    }

    CFieldbookView& View() { return *m_app.View(); }
    // The transfer button, and the background stop it may start run to its end.
    void Transfer()
    {
        m_frame.Command(ID_TRANSFER)->trigger();
        ASSERT_TRUE(ProcessEventsUntil([&] { return !View().IsStopping(); }));
    }
    QString PaneText(int pane) const { return m_frame.Pane(pane)->text(); }
    bool Echoing(QAction* command) const { return command->isChecked(); }

    ScratchFolders m_folders;
    CQtFace m_face;
    CFieldbookApp m_app{m_face};
    CMainFrame m_frame;
};

// Exit sits at the far end, after a gap, away from About and Help; F1 is Help.
TEST_F(MainFrameTest, CommandBarHoldsTheCommandsWithExitApart)
{
    const QList<QAction*> actions = m_frame.CommandBar()->actions();
    const int kGap = -1, kReport = -2;
    const int expected[] = {ID_TRANSFER, 0, ID_SETTINGS, 0, ID_NEW_LOG, 0, ID_HELP, 0, ID_ABOUT, 0, kReport, kGap, ID_EXIT};
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); ++i) {
        if (expected[i] == 0)
            EXPECT_TRUE(actions[i]->isSeparator()) << i;
        else if (expected[i] == kGap)
            EXPECT_EQ(m_frame.CommandBar()->widgetForAction(actions[i])->objectName(), "exitGap");
        else if (expected[i] == kReport)
            EXPECT_EQ(actions[i]->objectName(), "commandReport");
        else
            EXPECT_EQ(actions[i]->data().toInt(), expected[i]) << i;
    }
    EXPECT_EQ(m_frame.CommandBar()->iconSize(), QSize(14, 16));
    EXPECT_EQ(m_frame.Command(ID_HELP)->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(m_frame.Command(ID_ABOUT)->shortcut().isEmpty());
    // The gap takes the room the bar has: Exit is at its far end.
    m_frame.resize(900, 500);
    QApplication::processEvents();
    const QWidget* about = m_frame.CommandBar()->widgetForAction(m_frame.Command(ID_ABOUT));
    const QWidget* exit = m_frame.CommandBar()->widgetForAction(m_frame.Command(ID_EXIT));
    EXPECT_GT(exit->x() - (about->x() + about->width()), 3 * exit->width());

    // Help opens the field guide shipped with the program, without blocking.
    m_frame.Command(ID_HELP)->trigger();
    ASSERT_NE(m_frame.FieldGuide(), nullptr);
    EXPECT_TRUE(m_frame.FieldGuide()->isVisible());
    EXPECT_FALSE(FieldGuidePath().isEmpty());
    EXPECT_TRUE(m_frame.FieldGuide()->Browser()->toPlainText().contains("fieldbook field guide"));
    m_frame.FieldGuide()->close();
}

TEST_F(MainFrameTest, ToolbarAndTransferPaneFollowTheLink)
{
    QAction* transfer = m_frame.Command(ID_TRANSFER);
    QAction* settings = m_frame.Command(ID_SETTINGS);
    struct State {
        bool running;
        const char* pane;
    };
    // Start-up, then the transfer button twice.
    const State states[] = {{true, "XFER On"}, {false, "XFER Off"}, {true, "XFER On"}};
    for (size_t i = 0; i < std::size(states); ++i) {
        if (i > 0)
            Transfer();
        EXPECT_EQ(View().IsRunning(), states[i].running) << i;
        EXPECT_EQ(transfer->isChecked(), states[i].running) << i;
        EXPECT_TRUE(settings->isEnabled()) << i; // the sheet limits itself while running
        EXPECT_EQ(PaneText(ID_PANE_XFER), states[i].pane) << i;
    }
    // Started again after a stop, the link is initialised and its readers run.
    ASSERT_NE(View().Link(), nullptr);
    EXPECT_TRUE(View().Link()->IsInitialised());
    EXPECT_TRUE(View().Link()->HasBluetoothThread());
    EXPECT_TRUE(View().Link()->HasGpsThread());
}

TEST_F(MainFrameTest, LogPaneNamesTheLogAndFollowsNewLog)
{
    EXPECT_EQ(PaneText(ID_PANE_LOG), "0612143005.txt (0)");
    const QFontMetrics metrics(m_frame.Pane(ID_PANE_LOG)->font());
    EXPECT_GE(m_frame.Pane(ID_PANE_LOG)->width(), metrics.horizontalAdvance(QString(25, QLatin1Char('X'))));
    EXPECT_GE(m_frame.Pane(ID_PANE_XFER)->width(), metrics.horizontalAdvance(QString(8, QLatin1Char('X'))));

    const LOCAL_TIME later{2026, 12, 6, 14, 31, 0};
    SetLocalTimeForTest(&later);
    m_frame.Command(ID_NEW_LOG)->trigger();
    EXPECT_EQ(PaneText(ID_PANE_LOG), "0612143100.txt (0)");
}

// A menu launch shows no terminal: the window itself names the program, the
// log file, where the logs go and what keeps the ports from their devices.
TEST_F(MainFrameTest, WindowSaysWhatItIsWhereTheLogsGoAndWhyAPortIsNotReached)
{
    const QString folder = QString::fromStdString(CSurveyLog::GetInstance()->GetFolder());
    EXPECT_EQ(m_frame.windowTitle(), "fieldbook - 0612143005.txt");
    EXPECT_TRUE(m_frame.Pane(ID_PANE_LOG)->toolTip().contains(folder)) << m_frame.Pane(ID_PANE_LOG)->toolTip().toStdString();
    CAboutDlg about(&m_frame);
    about.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(FindControlAs<QLabel>(about, IDC_ABOUT_LOGS)->text(), "Survey logs: " + folder);
    EXPECT_TRUE(about.windowTitle().contains("fieldbook"));

    m_frame.CheckPorts();
    const QString ports = QString::fromStdString(GetPortsFolder());
    EXPECT_EQ(m_frame.Form()->Picture(IDC_BLUETOOTH_LAMP)->toolTip(), "Locator port: COM5 is not in the ports folder " + ports);
    // An entry whose device has gone (an unplugged adapter, a released binding).
    ASSERT_EQ(::symlink((ports + "ttyGone").toStdString().c_str(), (ports + "COM4").toStdString().c_str()), 0);
    m_frame.CheckPorts();
    EXPECT_EQ(m_frame.Form()->Picture(IDC_GPS_LAMP)->toolTip(),
              "GPS port: COM4 points at " + ports + "ttyGone, which does not exist");
}

// The banner says in words what the lamps and tips say: an unplugged port,
// the gate and why the last point failed it; a tap shows what to do.
TEST_F(MainFrameTest, BannerSaysWhyALampIsNotGreenAndWhyAPointFailedTheGate)
{
    const QString ports = QString::fromStdString(GetPortsFolder());
    GPS_QUALITY rtkFloat;
    rtkFloat.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY;
    rtkFloat.nFixType = FIX_RTK_FLOAT;
    rtkFloat.dfHAccuracy = 0.21;
    struct Row {
        const char* name;
        std::function<void()> act;
        QString line; // a line the banner shows
    } rows[] = {
        {"UnpluggedLocator", [] {}, "Locator: COM5 is not in the ports folder " + ports},
        {"GoneGpsDevice",
         [&] {
             ASSERT_EQ(::symlink((ports + "ttyUSB0").toStdString().c_str(), (ports + "COM4").toStdString().c_str()),
                       0);
         },
         "GPS: COM4 points at " + ports + "ttyUSB0, which does not exist"},
        {"GateSet", [] { GetConfig().m_nGpsRequire = REQUIRE_RTK; }, "Gate: points need RTK fixed"},
        {"PointBelowGate",
         [&] {
             SURVEY_POINT point{};
             point.Quality = rtkFloat;
             View().PointCheck()->Check(point);
             View().PointCheck()->OnLogged(point, 17);
         },
         "Gate RTK fixed: point 17 below RTK fixed: RTK float, 0.21 m"},
    };
    ASSERT_TRUE(View().IsRunning());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.act();
        m_frame.CheckPorts();
        m_frame.UpdateBanner();
        EXPECT_TRUE(m_frame.Banner()->isVisibleTo(&m_frame));
        EXPECT_TRUE(m_frame.Banner()->Text().split('\n').contains(row.line)) << m_frame.Banner()->Text().toStdString();
    }
    // A tap shows what to do beneath the line, a second hides it again.
    const QString before = m_frame.Banner()->Text();
    auto* first = m_frame.Banner()->findChild<QLabel*>(QStringLiteral("bannerLine0"));
    ASSERT_NE(first, nullptr);
    QTest::mouseClick(first, Qt::LeftButton);
    EXPECT_TRUE(m_frame.Banner()->DetailShown(0));
    EXPECT_GT(m_frame.Banner()->Text().size(), before.size());
    QTest::mouseClick(first, Qt::LeftButton);
    EXPECT_EQ(m_frame.Banner()->Text(), before);
    // Stopped, the red lamps are explained as what they are.
    Transfer();
    m_frame.UpdateBanner();
    EXPECT_TRUE(m_frame.Banner()->Text().contains(
        "Transfer stopped: lamps are red because the ports are closed; tap Transfer to start"));
    EXPECT_FALSE(m_frame.Banner()->Text().contains("Locator: COM5"));
}

// Every failed save keeps the pane red with the points held in memory in its
// tip; one box for the run of failures; the first good save clears it all.
TEST_F(MainFrameTest, FailedSavesTurnTheLogPaneRedUntilASaveWorks)
{
    CSurveyLog& log = *CSurveyLog::GetInstance();
    const std::string folder = log.GetFolder();
    log.SetFolder(folder + "gone/");
    for (int i = 0; i < 3; ++i) {
        log.Add(SURVEY_POINT{});
        EXPECT_FALSE(log.Save());
        View().ReportLogSaveState();
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_frame.LogPaneAlarm());
    EXPECT_TRUE(m_frame.Pane(ID_PANE_LOG)->toolTip().startsWith(QString::fromStdString(
        "Log: cannot save " + folder + "gone/0612143005.txt: No such file or directory; 3 points held in memory")))
        << m_frame.Pane(ID_PANE_LOG)->toolTip().toStdString();
    // No box: the banner says it with the counts the disk really holds, and
    // keeps up with every point.
    EXPECT_TRUE(m_frame.findChildren<QMessageBox*>(QStringLiteral("noticeBox")).isEmpty());
    EXPECT_TRUE(m_frame.Banner()->Text().startsWith("Log NOT saved: 0 of 3 points on disk, 3 held in memory only"))
        << m_frame.Banner()->Text().toStdString();
    log.Add(SURVEY_POINT{});
    EXPECT_FALSE(log.Save());
    View().ReportLogSaveState();
    EXPECT_TRUE(m_frame.Banner()->Text().startsWith("Log NOT saved: 0 of 4 points on disk, 4 held in memory only"));

    log.SetFolder(folder);
    EXPECT_TRUE(log.Save());
    View().ReportLogSaveState();
    EXPECT_FALSE(m_frame.LogPaneAlarm());
    EXPECT_TRUE(m_frame.Banner()->Text().split(QLatin1Char('\n')).contains("Log saved again: all 4 points on disk"))
        << m_frame.Banner()->Text().toStdString();
    EXPECT_TRUE(m_frame.findChildren<QMessageBox*>(QStringLiteral("noticeBox")).isEmpty());
    EXPECT_EQ(LogRows(ReadWholeFile(folder + "0612143005.txt")).size(), 4u);
}

TEST_F(MainFrameTest, IndicatorsStartIdleAndTakeChangesPostedFromAWorker)
{
    CFieldbookForm& form = *m_frame.Form();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.Picture(IDC_GPS_ICON)->GetBitmap() == IDB_GPS_NO_FIX; }));
    EXPECT_EQ(form.Picture(IDC_BLUETOOTH_ICON)->GetBitmap(), IDB_BLUETOOTH_DOWN);
    EXPECT_EQ(form.Picture(IDC_GPS_LAMP)->GetBitmap(), IDB_LAMP_RED);
    EXPECT_EQ(form.Picture(IDC_BLUETOOTH_LAMP)->GetBitmap(), IDB_LAMP_RED);

    std::thread worker([this] {
        View().SetBitmap(IDC_GPS_ICON, IDB_GPS_FIX);
        View().SetBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN);
    });
    worker.join();
    // Posted, never drawn from the worker: nothing changes before the loop runs.
    EXPECT_EQ(form.Picture(IDC_GPS_ICON)->GetBitmap(), IDB_GPS_NO_FIX);
    EXPECT_TRUE(ProcessEventsUntil([&] { return form.Picture(IDC_GPS_LAMP)->GetBitmap() == IDB_LAMP_GREEN; }));
    EXPECT_EQ(form.Picture(IDC_GPS_ICON)->GetBitmap(), IDB_GPS_FIX);
    EXPECT_EQ(form.Picture(IDC_BLUETOOTH_ICON)->GetBitmap(), IDB_BLUETOOTH_DOWN);

    // The third lamp stays hidden until the corrections speak, from their thread.
    EXPECT_FALSE(form.CorrectionsText()->isVisible());
    std::thread ntrip([this] { m_face.OnCorrections("NTRIP: streaming MOUNT1, RTCM 3, base 12.4 km", true); });
    ntrip.join();
    EXPECT_TRUE(ProcessEventsUntil([&] { return form.CorrectionsText()->isVisible(); }));
    EXPECT_EQ(form.CorrectionsText()->text(), "Corrections: streaming MOUNT1, RTCM 3, base 12.4 km");
    EXPECT_EQ(form.Readout()->y(), form.CorrectionsText()->geometry().bottom() + 1);
    // Streaming into a GPS port that is not there: amber, and the banner says why.
    GetConfig().m_strNtrip = "ntrip://caster.example/MOUNT1";
    m_frame.CheckPorts();
    m_frame.UpdateBanner();
    EXPECT_EQ(form.CorrectionsLampBitmap(), IDB_LAMP_AMBER);
    EXPECT_TRUE(m_frame.Banner()->Text().contains("Corrections: received, but the GPS receiver is not connected"))
        << m_frame.Banner()->Text().toStdString();
}

TEST_F(MainFrameTest, EchoFromTwoThreadsAtOnceArrivesWhole)
{
    constexpr int kChunks = 300;
    std::atomic<bool> go{false};
    auto echo = [&](char side) {
        while (!go.load()) {
        }
        for (int i = 0; i < kChunks; ++i) {
            // A long chunk, so that two threads overlapping in it would show.
            const std::string chunk = std::string(1, side) + std::to_string(i) + ":" + std::string(200, side);
            View().ShowRawData(reinterpret_cast<const uint8_t*>(chunk.data()), static_cast<uint32_t>(chunk.size()));
        }
    };
    std::thread gps(echo, 'G');
    std::thread bluetooth(echo, 'B');
    go = true;
    gps.join();
    bluetooth.join();

    CTestWindow& window = *m_frame.Form()->TestWindow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.document()->blockCount() > 2 * kChunks; }));
    const QStringList lines = window.toPlainText().split(QLatin1Char('\n'));
    int next[2] = {0, 0};
    for (const QString& line : lines) {
        if (line.isEmpty())
            continue;
        const char side = line[0].toLatin1();
        ASSERT_TRUE(side == 'G' || side == 'B') << line.toStdString();
        int& expected = next[side == 'G' ? 0 : 1];
        EXPECT_EQ(line, QString("%1%2:%3").arg(side).arg(expected).arg(QString(200, QLatin1Char(side))));
        ++expected;
    }
    EXPECT_EQ(next[0], kChunks);
    EXPECT_EQ(next[1], kChunks);
}

// The echo shows whole sentences, however the reads cut them, and a frame
// (zero bytes and all) in hex between them.
TEST_F(MainFrameTest, EchoShowsWholeSentencesAndFramesInHex)
{
    const std::string chunks[] = {"$GPZDA,143005.00,12,0", std::string("\x7E\xFF\x00\x10\x03", 5),
                                  "6,2026,00,00*6E\r\n$GPGGA,1430", "05.00,5130.0,N*00\r\n"};
    for (const std::string& chunk : chunks)
        View().ShowRawData(reinterpret_cast<const uint8_t*>(chunk.data()), static_cast<uint32_t>(chunk.size()));
    CTestWindow& window = *m_frame.Form()->TestWindow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.document()->blockCount() > 3; }));
    EXPECT_EQ(window.toPlainText(),
              "7E FF 00 10 03\n$GPZDA,143005.00,12,06,2026,00,00*6E\n$GPGGA,143005.00,5130.0,N*00\n");
}

// Runs the settings sheet from the settings command, ticks the echo boxes as
// asked and leaves it with OK.
void SettingsWithOk(CMainFrame& frame, bool gpsEcho, bool bluetoothEcho, int chooseGpsIndex = -1)
{
    QTimer::singleShot(0, &frame, [=] {
        auto* sheet = qobject_cast<CSettingsSheet*>(QApplication::activeModalWidget());
        ASSERT_NE(sheet, nullptr);
        if (chooseGpsIndex >= 0)
            emit sheet->PortsPage()->GpsList()->activated(chooseGpsIndex);
        if (sheet->TestPage()->GpsBox()->isChecked() != gpsEcho)
            sheet->TestPage()->GpsBox()->click();
        if (sheet->TestPage()->BluetoothBox()->isChecked() != bluetoothEcho)
            sheet->TestPage()->BluetoothBox()->click();
        sheet->OkButton()->click();
    });
    frame.Command(ID_SETTINGS)->trigger();
}

TEST_F(MainFrameTest, SettingsOkAppliesPortsAndShowsOrHidesTheTestWindow)
{
    for (const char* name : {"COM3", "COM4", "COM5"})
        ASSERT_TRUE(WriteWholeFile(m_folders.Ports().File(name), ""));
    Transfer();
    ASSERT_FALSE(View().IsRunning());
    CTestWindow& window = *m_frame.Form()->TestWindow();
    EXPECT_FALSE(window.isVisible());

    SettingsWithOk(m_frame, true, false, 0);
    EXPECT_TRUE(window.isVisible());
    int gps = 0;
    int bluetooth = 0;
    View().GetPorts(gps, bluetooth);
    EXPECT_EQ(gps, 3);
    EXPECT_EQ(bluetooth, 5);
    bool gpsTest = false;
    bool bluetoothTest = true;
    View().GetTestFlags(gpsTest, bluetoothTest);
    EXPECT_TRUE(gpsTest);
    EXPECT_FALSE(bluetoothTest);

    SettingsWithOk(m_frame, false, false);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainFrameTest, TestWindowSitsInsideTheFrameMarginsOnTheForm)
{
    View().SetTestFlags(false, true);
    View().LayoutTestWindow(true);
    CTestWindow& window = *m_frame.Form()->TestWindow();
    ASSERT_TRUE(window.isVisible());
    const QRect inFrame(window.mapTo(&m_frame, QPoint(0, 0)), window.size());
    const QRect outer = m_frame.frameGeometry();
    const QPoint frameOrigin = m_frame.mapFromGlobal(outer.topLeft());
    const QRect formInFrame(m_frame.Form()->mapTo(&m_frame, QPoint(0, 0)), m_frame.Form()->size());
    EXPECT_EQ(inFrame.left(), frameOrigin.x() + 10);
    EXPECT_EQ(inFrame.right(), frameOrigin.x() + outer.width() - 10 - 1);
    // Never over the command bar or the panes, nor over the track view below.
    EXPECT_EQ(inFrame.bottom(), std::min(frameOrigin.y() + outer.height() - 30 - 1, formInFrame.bottom()));
    EXPECT_EQ(inFrame.top(), std::max(frameOrigin.y() + 10, formInFrame.top()));
    EXPECT_TRUE(formInFrame.contains(inFrame));

    // A new frame size places it again.
    m_frame.resize(600, 420);
    QApplication::processEvents();
    EXPECT_EQ(window.mapTo(&m_frame, QPoint(0, 0)).x() + window.width(),
              m_frame.mapFromGlobal(m_frame.frameGeometry().topLeft()).x() + m_frame.frameGeometry().width() - 10);
}

enum class Leave { ExitCommand, Close };

class MainFrameLeave : public MainFrameTest, public ::testing::WithParamInterface<Leave> {};

// A running survey is ended from the window only after one question; keeping
// on surveying leaves everything running.
TEST_P(MainFrameLeave, RunsTheExitSequence)
{
    ASSERT_TRUE(m_face.RecordTimerActive());
    ASSERT_EQ(CSurveyLog::GetInstance()->GetFileName(), "0612143005.txt");
    const auto leave = [&] {
        switch (GetParam()) {
        case Leave::ExitCommand:
            m_frame.Command(ID_EXIT)->trigger();
            break;
        case Leave::Close:
            m_frame.close();
            break;
        }
    };
    const auto answer = [&](const char* button) {
        ASSERT_TRUE(ProcessEventsUntil([&] { return m_frame.ExitQuestion() != nullptr; }));
        EXPECT_EQ(m_frame.ExitQuestion()->text(), "A survey is running. End it and close fieldbook?");
        m_frame.ExitQuestion()->findChild<QPushButton*>(button)->click();
    };
    leave();
    leave(); // asked once, not twice
    EXPECT_EQ(m_frame.findChildren<QMessageBox*>(QStringLiteral("exitQuestion")).size(), 1);
    answer("keepSurveyingButton");
    QApplication::processEvents();
    EXPECT_TRUE(View().IsRunning());
    EXPECT_FALSE(m_frame.ExitSequenceRan());
    EXPECT_TRUE(m_frame.isVisible());
    leave();
    answer("endSurveyButton");
    EXPECT_TRUE(ProcessEventsUntil([&] { return m_frame.ExitSequenceRan(); }));
    EXPECT_FALSE(m_face.RecordTimerActive());
    // The view (and with it the link) is gone, and so is the survey log: a log
    // asked for now is a new, empty one.
    EXPECT_EQ(m_app.View(), nullptr);
    EXPECT_EQ(g_pView, nullptr);
    EXPECT_TRUE(CSurveyLog::GetInstance()->GetFileName().empty());
    EXPECT_TRUE(ProcessEventsUntil([&] { return !m_frame.isVisible(); }));
    // Commands after the end do nothing.
    m_frame.Command(ID_TRANSFER)->trigger();
    m_frame.Command(ID_NEW_LOG)->trigger();
}

INSTANTIATE_TEST_SUITE_P(Ways, MainFrameLeave,
                         ::testing::Values(Leave::ExitCommand, Leave::Close));

TEST_F(MainFrameTest, MinimisingKeepsTheSurveyRunning)
{
    m_frame.showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(m_frame.ExitSequenceRan());
    ASSERT_NE(m_app.View(), nullptr);
    EXPECT_TRUE(View().IsRunning());
    EXPECT_TRUE(m_face.RecordTimerActive());
    m_frame.showNormal();
    EXPECT_TRUE(m_frame.isVisible());
}

// F11 fills the screen and gives it back; size, place and full screen are
// remembered in the documents folder for the next start.
TEST_F(MainFrameTest, FullScreenAndTheWindowsSizeAreKept)
{
    m_frame.resize(700, 450);
    QApplication::processEvents();
    const QSize kept = m_frame.size(); // as the form's least height allows
    m_frame.SaveWindowState();
    m_frame.resize(500, 380);
    QApplication::processEvents();
    EXPECT_TRUE(m_frame.RestoreWindowState());
    QApplication::processEvents();
    EXPECT_EQ(m_frame.size(), kept);

    QTest::keyClick(&m_frame, Qt::Key_F11);
    EXPECT_TRUE(ProcessEventsUntil([&] { return m_frame.isFullScreen(); }));
    m_frame.SaveWindowState();
    QTest::keyClick(&m_frame, Qt::Key_F11);
    EXPECT_TRUE(ProcessEventsUntil([&] { return !m_frame.isFullScreen(); }));
    m_frame.RestoreWindowState();
    EXPECT_TRUE(m_frame.windowState() & Qt::WindowFullScreen);
    m_frame.SetFullScreen(false);
    EXPECT_TRUE(FileExists(DocumentsPath("fieldbook-window.ini")));
}

TEST_F(MainFrameTest, CommandBarCannotBeHidden)
{
    EXPECT_EQ(std::unique_ptr<QMenu>(m_frame.createPopupMenu()), nullptr);
    EXPECT_EQ(m_frame.CommandBar()->contextMenuPolicy(), Qt::PreventContextMenu);
    EXPECT_FALSE(m_frame.CommandBar()->toggleViewAction()->isVisible());
}

// A GPS port that is really open: stopping the link then waits out the port's
// close wait (2500 ms), which must not hold up the window. Both the transfer
// button and closing the window stop the link that way.
TEST_F(MainFrameTest, StoppingTheLinkKeepsTheWindowLive)
{
    Transfer();
    int gpsPort = 0;
    int bluetoothPort = 0;
    View().GetPorts(gpsPort, bluetoothPort);
    Pty gps(m_folders.Ports().Path(), gpsPort);
    View().SetTestFlags(true, false);
    const auto startAndSeeThePortOpen = [&] {
        Transfer();
        m_frame.Form()->TestWindow()->ClearText();
        ASSERT_TRUE(gps.Write("$GPZDA,143005.00,12,06,2026,00,00*6E\r\n"));
        ASSERT_TRUE(ProcessEventsUntil([&] { return m_frame.Form()->TestWindow()->TextLength() > 0; }));
    };
    bool liveWhileStopping = false;
    const auto watchTheEventLoop = [&] {
        QTimer::singleShot(0, &m_frame, [&] { liveWhileStopping = View().IsStopping(); });
    };

    startAndSeeThePortOpen();
    watchTheEventLoop();
    m_frame.Command(ID_TRANSFER)->trigger();
    EXPECT_FALSE(View().IsRunning());
    EXPECT_TRUE(View().IsStopping());
    EXPECT_EQ(PaneText(ID_PANE_XFER), "XFER Stopping");
    EXPECT_FALSE(m_frame.Command(ID_TRANSFER)->isEnabled());
    EXPECT_FALSE(m_frame.Command(ID_SETTINGS)->isEnabled());
    ASSERT_TRUE(ProcessEventsUntil([&] { return !View().IsStopping(); }, 15000));
    EXPECT_TRUE(liveWhileStopping);
    EXPECT_EQ(PaneText(ID_PANE_XFER), "XFER Off");
    EXPECT_TRUE(m_frame.Command(ID_TRANSFER)->isEnabled());
    EXPECT_TRUE(m_frame.Command(ID_SETTINGS)->isEnabled());

    startAndSeeThePortOpen();
    liveWhileStopping = false;
    watchTheEventLoop();
    m_frame.CloseWithoutAsking();
    // The record timer has stopped first; the rest waits for the link.
    EXPECT_FALSE(m_face.RecordTimerActive());
    EXPECT_TRUE(m_frame.isVisible());
    EXPECT_FALSE(m_frame.ExitSequenceRan());
    ASSERT_TRUE(ProcessEventsUntil([&] { return m_frame.ExitSequenceRan() && !m_frame.isVisible(); }, 15000));
    EXPECT_TRUE(liveWhileStopping);
    EXPECT_EQ(m_app.View(), nullptr);
}

// One place decides the current fix: the track view's marker follows each fix
// between points, and goes stale with the lamp, when the fix grows too old and
// when the link stops.
TEST_F(MainFrameTest, TrackViewGpsMarkerFollowsTheFixAndGoesStaleWithTheLamp)
{
    Transfer();
    GetConfig().m_nGpsMaxAge = 1;
    int gpsPort = 0;
    int bluetoothPort = 0;
    View().GetPorts(gpsPort, bluetoothPort);
    Pty gps(m_folders.Ports().Path(), gpsPort);
    Transfer();
    const CTrackView& track = *m_frame.TrackView();
    const auto fixShown = [&] { return track.GpsShown() != nullptr && track.GpsShown()->nGpsFix != 0; };
    const auto lampGreen = [&] { return View().m_wndGpsLamp.GetBitmap() == IDB_LAMP_GREEN; };
    const auto sendFix = [&](const char* latitude) {
        return gps.Write(NmeaSentence(std::string("GPGGA,143005.00,") + latitude + ",N,01320.0000,E,1,07,1.1,35.0,M,40.0,M,,"));
    };

    ASSERT_TRUE(sendFix("5230.0000"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return fixShown() && lampGreen(); }));
    EXPECT_EQ(track.GpsLegendText(), "GPS: fix, 7 satellites");
    EXPECT_EQ(track.Model().Taken(), 0u);
    const double firstLatitude = track.GpsShown()->dfLatAng;
    ASSERT_TRUE(sendFix("5230.0100"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return track.GpsShown()->dfLatAng != firstLatitude; }));

    // The receiver falls silent: past the maximum age the marker goes with the lamp.
    ASSERT_TRUE(ProcessEventsUntil([&] { return !lampGreen(); }));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !fixShown(); }));
    EXPECT_EQ(track.GpsLegendText(), "GPS: no fix");

    ASSERT_TRUE(sendFix("5230.0200"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return fixShown() && lampGreen(); }));
    Transfer();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !fixShown(); }));
    EXPECT_FALSE(lampGreen());
    EXPECT_EQ(track.GpsLegendText(), "GPS: no fix");
    GetConfig().m_nGpsMaxAge = 5;
}

class MainFrameFullResolution : public MainFrameTest {
protected:
    MainFrameFullResolution() : MainFrameTest(true) {}
};

// The field scale: labelled buttons a gloved finger hits, and texts read at
// arm's length. Sizes from the widgets, in millimetres and points.
TEST_F(MainFrameFullResolution, FieldScaleGivesLabelledTouchTargetsAndLargeTexts)
{
    EXPECT_EQ(m_frame.CommandBar()->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    EXPECT_GE(m_frame.CommandBar()->iconSize().height(), 32);
    EXPECT_EQ(m_frame.Command(ID_EXIT)->icon().availableSizes().value(0), QSize(28, 32));
    const double pixelsPerMm = m_frame.logicalDpiY() / 25.4;
    std::vector<QWidget*> targets{m_frame.TrackView()->FitButton()};
    for (int id : {ID_TRANSFER, ID_SETTINGS, ID_NEW_LOG, ID_ABOUT, ID_EXIT}) {
        auto* button = qobject_cast<QToolButton*>(m_frame.CommandBar()->widgetForAction(m_frame.Command(id)));
        ASSERT_NE(button, nullptr) << id;
        EXPECT_FALSE(m_frame.Command(id)->text().isEmpty()) << id;
        targets.push_back(button);
    }
    for (QWidget* target : targets) {
        EXPECT_GE(target->width() / pixelsPerMm, 9.0) << target->objectName().toStdString();
        EXPECT_GE(target->height() / pixelsPerMm, 9.0) << target->objectName().toStdString();
    }
    EXPECT_GE(m_frame.Form()->Readout()->font().pointSize(), 16);
    EXPECT_GE(m_frame.TrackView()->font().pointSize(), 13);
    // The readout's three lines keep their room in the larger font.
    EXPECT_GE(m_frame.Form()->Readout()->height(), 3 * m_frame.Form()->Readout()->fontMetrics().lineSpacing());
}

// On a screen of device pixel ratio 2 every picture has twice the pixels in
// each direction and keeps its logical size.
TEST(Images, DrawnAtTheScreensDevicePixelRatio)
{
    struct CASE {
        QPixmap image;
        QSize logical;
    };
    const CASE cases[] = {
        {LoadBitmap(IDB_GPS_FIX, 2.0), {36, 36}},
        {LoadBitmap(IDB_LAMP_RED, 2.0), {16, 16}},
        {ToolbarImage(ID_EXIT, false, 2.0), {14, 16}},
        {ToolbarIcon(ID_EXIT, false).pixmap(QSize(14, 16), 2.0), {14, 16}},
        {ToolbarIcon(ID_TRANSFER, true).pixmap(QSize(28, 32), 2.0), {28, 32}},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(c.image.size(), c.logical * 2);
        EXPECT_EQ(c.image.deviceIndependentSize().toSize(), c.logical);
    }
}

TEST(TestWindow, LimitRaisedToNeedPlusTwoHundredAndTextKeptWhole)
{
    CTestWindow window;
    ASSERT_EQ(window.TextLimit(), 30000);
    // 30000 characters and a line break need 30002: over the limit.
    window.AppendChunk(QByteArray(30000, 'a'));
    EXPECT_EQ(window.TextLimit(), 30202);
    // 30002 + 3 + 2 = 30007 fits.
    window.AppendChunk("abc");
    EXPECT_EQ(window.TextLimit(), 30202);
    EXPECT_EQ(window.TextLength(), 30007);
    EXPECT_EQ(window.toPlainText(), QString(30000, QLatin1Char('a')) + "\nabc\n");
    window.ClearText();
    EXPECT_TRUE(window.toPlainText().isEmpty());
    EXPECT_EQ(window.TextLength(), 0);
}

TEST(TestWindow, KeepsOnlyTheNewestLines)
{
    CTestWindow window;
    const int total = CTestWindow::kKeptLines + 700;
    for (int i = 1; i <= total; ++i)
        window.AppendChunk(QByteArray::number(i));
    const QStringList lines = window.toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), CTestWindow::kKeptLines + 1);
    EXPECT_EQ(lines.front(), QString::number(total - CTestWindow::kKeptLines + 1));
    EXPECT_EQ(lines[lines.size() - 2], QString::number(total));
    EXPECT_EQ(window.TextLength(), window.toPlainText().size() + CTestWindow::kKeptLines);
}

TEST(TestWindow, TrafficLineEndsAndHighBytes)
{
    CTestWindow window;
    window.AppendChunk("$GPGGA,1*00\r\n$GPZDA,2*00\r\n");
    window.AppendChunk(QByteArray("\x7e\xe9\x7e", 3));
    EXPECT_EQ(window.toPlainText(), QString::fromUtf8("$GPGGA,1*00\n$GPZDA,2*00\n\n~\u00e9~\n"));
}

} // namespace

namespace {

TEST_F(MainFrameTest, TalkerNoticeFromTheGpsReaderIsShownOnceWithoutBlockingTheWindow)
{
    // As the GPS reader does, from its own thread, twice.
    std::thread reader([this] {
        View().OnIgnoredTalker("GNGGA");
        View().OnIgnoredTalker("GNGGA");
    });
    reader.join();
    QList<QMessageBox*> boxes;
    for (int i = 0; i < 200 && boxes.isEmpty(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        boxes = m_frame.findChildren<QMessageBox*>(QStringLiteral("noticeBox"));
    }
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0]->isVisible());
    EXPECT_EQ(boxes[0]->windowModality(), Qt::NonModal);
    EXPECT_TRUE(boxes[0]->text().startsWith("GPS: the receiver sends GNGGA, which is ignored; set GPS#TALKER#ANY in "));
    boxes[0]->close();
}

} // namespace

// Report: the client's PDF of the current log lands beside it, and a box
// says where; a log with nothing saved gets a box saying so, and no file.
TEST_F(MainFrameTest, ReportCommandWritesThePdfBesideTheLogAndSaysWhere)
{
    CSurveyLog& log = *CSurveyLog::GetInstance();
    const QString folder = QString::fromStdString(log.GetFolder());
    QStringList boxes;
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->accept();
        }
    });
    closer.start();
    EXPECT_TRUE(m_frame.MakeLogReport().isEmpty());
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes.back().contains(QStringLiteral("nothing to report"))) << boxes.back().toStdString();

    for (int n = 0; n < 5; ++n)
        log.Add(SamplePoint(n));
    ASSERT_TRUE(log.Save());
    const QString pdf = m_frame.MakeLogReport();
    EXPECT_EQ(pdf, folder + QStringLiteral("0612143005.pdf"));
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(boxes.back(), QStringLiteral("Report written to ") + pdf);
    EXPECT_EQ(ReadWholeFile(pdf.toStdString()).substr(0, 5), "%PDF-");
}
