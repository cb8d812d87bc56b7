// The main window: the command bar with the five commands, the two status panes
// and the form. Closing and the exit command run the exit sequence, which stops
// the link before anything it uses goes away. Minimising only minimises: on a
// desktop it (or "show desktop") must not end a survey.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <map>

#include "app/PortList.h"

class CBannerView;
class CFieldGuide;
class QMessageBox;
class CFieldbookApp;
class CFieldbookForm;
class CQtFace;
class CTrackView;
class CUtilityPanel;
class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QToolBar;
class QTimer;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Toolbar image sizes of the two screen resolution classes.
    static constexpr QSize kSmallImage{14, 16};
    static constexpr QSize kLargeImage{28, 32};
    // The field scale (SCREEN#RESOLUTION#FULL): a rugged screen read at arm's
    // length in the sun and worked with gloves. 9 mm is the smallest target a
    // gloved finger hits reliably; the texts are sized for about 70 cm.
    static constexpr QSize kFieldImage{42, 48};
    static constexpr double kTouchTargetMm = 9.0;
    static constexpr int kFieldReadoutPoints = 16;
    static constexpr int kFieldLegendPoints = 13;
    // kTouchTargetMm in pixels on the window's screen.
    int TouchTargetPixels() const;
    // First size: the form and a useful track view on a 1366 x 768 screen.
    static constexpr QSize kDefaultSize{1024, 640};
    // The GPS marker is brought up to the link's current fix at most this
    // often: a 10 Hz receiver moves it without repainting at its rate.
    static constexpr int kGpsMarkerMs = 200;
    // Test window margins inside the frame: left, top, right, bottom.
    static constexpr int kTestMarginLeft = 10;
    static constexpr int kTestMarginTop = 10;
    static constexpr int kTestMarginRight = 10;
    static constexpr int kTestMarginBottom = 30;

    CMainFrame(CFieldbookApp& app, CQtFace& face, bool fullResolution, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The field scale now, for this window and every one made after it
    // (Settings' Screen page).
    void SetFieldScale(bool on);
    bool FieldScale() const { return m_fieldScale; }
    // F11 and the Screen page.
    void SetFullScreen(bool on);
    // The window's size, place and full screen, kept in the documents folder
    // beside the settings; Restore gives false when there was nothing to restore.
    void SaveWindowState();
    bool RestoreWindowState();
    // F1 and Help: the field guide shipped with the program.
    void ShowFieldGuide();
    CFieldGuide* FieldGuide() const { return m_guide; }
    // SIGINT and SIGTERM: the survey ends without a question.
    void CloseWithoutAsking();
    QMessageBox* ExitQuestion() const { return m_exitQuestion; }

    // ID_TRANSFER ... ID_EXIT.
    void OnCommand(int commandId);
    void RunExitSequence();
    bool ExitSequenceRan() const { return m_exitRan; }
    // Both panes from the view: the survey log and the transfer state; the
    // title names the log file.
    void UpdatePanes();
    // The lamps' tips say what stands between each port and its device; a
    // port set for both devices is told once, in a box.
    void CheckPorts();
    // The log pane is red while saves of the survey log fail.
    bool LogPaneAlarm() const { return !m_saveFailure.isEmpty(); }

    QAction* Command(int commandId) const;
    QLabel* Pane(int paneId) const;
    QToolBar* CommandBar() const { return m_commandBar; }
    CFieldbookForm* Form() const { return m_form; }
    CTrackView* TrackView() const { return m_track; }
    CBannerView* Banner() const { return m_banner; }
    // The status banner from the view's state, the port hints and the
    // corrections' last line: with every pane, lamp and port update.
    void UpdateBanner();
    // How long the banner says that saves work again.
    static constexpr int kRecoveredNoticeMs = 30000;
    CUtilityPanel* UtilityPanel() const { return m_utilities; }
    // The track view and the readout from the survey log and the GPS reader.
    void UpdateSurvey();
    // The GPS lamp's text and colour from the receiver's latest fix and the
    // quality gate: with every point, and each second while the link runs.
    void UpdateGpsLamp();
    // The track view's map from MAP#RASTER, when that names another file; a
    // file that cannot be drawn is told once, in a box that does not block.
    void LoadMap();
    // A second start of the window asked for this one: shown, raised, focused.
    void BringToFront();
    // The client's report of the current survey log, beside it as
    // <log>.pdf; says where it went (or why not). The PDF's path, or empty.
    QString MakeLogReport();
    // No menu: the default one would offer to hide the command bar.
    QMenu* createPopupMenu() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateCommandBar(bool fullResolution);
    void CreateStatusBar();
    void OnSettings();
    void ApplySettings(const struct VIEW_SETTINGS& chosen);
    void ApplyFieldScale(bool on);
    void OnAbout();
    void OnRunningChanged(bool running);
    // A notice from the view: a box that does not block the window.
    void ShowNotice(const QString& text, bool warning);
    void OnLinkStopped();
    void OnLogSaveState(const QString& text, bool failing);
    void LayoutTestWindow(bool show);
    void LayoutTestWindowFromView();
    // The track view's GPS marker from the view's current fix.
    void UpdateGpsMarker();

    CFieldbookApp& m_app;
    CQtFace& m_face;
    QToolBar* m_commandBar = nullptr;
    QStatusBar* m_statusBar = nullptr;
    CFieldbookForm* m_form = nullptr;
    CTrackView* m_track = nullptr;
    CBannerView* m_banner = nullptr;
    PORT_HINTS m_portHints;
    QString m_correctionsLine;
    bool m_correctionsStreaming = false;
    bool m_saveRecovered = false;
    QTimer* m_recoveredTimer = nullptr;
    CUtilityPanel* m_utilities = nullptr;
    QTimer* m_gpsLampTimer = nullptr;
    std::map<int, QAction*> m_commands;
    QLabel* m_logPane = nullptr;
    QLabel* m_transferPane = nullptr;
    bool m_exitRan = false;
    bool m_fieldScale = false;
    bool m_exitConfirmed = false;
    QMessageBox* m_exitQuestion = nullptr;
    CFieldGuide* m_guide = nullptr;
    QAction* m_fullScreenAction = nullptr;
    bool m_ownsFieldScale = false;
    int m_desktopReadoutPoints = 0;
    int m_desktopTrackPoints = 0;
    // The window closes once the background stop of the link has ended.
    bool m_closeAfterStop = false;
    bool m_testWindowShown = false;
    QTimer m_gpsMarkerTimer;
    // The warning of the failing saves; empty while they work.
    QString m_saveFailure;
    QTimer* m_portTimer = nullptr;
    QString m_sharedPortWarning;
    // The map file last refused, told once.
    QString m_mapRefused;
};
