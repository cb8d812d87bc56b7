// The "Settings" sheet: the Ports, Test, Heights and Screen pages, with OK,
// Cancel and Apply as on the desktop. The pages write the configuration as the
// crew works them; OK and Apply first take in a field still being typed in
// (Enter never drops it: a value that is refused keeps the sheet open with the
// reason), then hand the ports and echo flags to the caller. Cancel, Escape and
// closing the sheet apply nothing: the configuration and the geoid go back to
// what they were when the sheet opened (or at the last Apply).
// While the transfer runs only what may change during a survey is offered:
// the antenna height, the quality gate and the screen; they apply from the
// next point.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/ConfigFile.h"

class CHeightsSettingsPage;
class CPortSettingsPage;
class CTestSettingsPage;
class QCheckBox;
class QLabel;
class QPushButton;
class QTabWidget;

// What the sheet hands to the view.
struct VIEW_SETTINGS {
    int nGpsPort = 0;
    int nBluetoothPort = 0;
    bool bGpsTest = false;
    bool bBluetoothTest = false;
    // The caster's mountpoints from its last sourcetable, nearest first (the
    // Ports page's list); nothing to hand back.
    std::vector<std::string> mountpoints{};
    // The transfer runs: ports and echo stay as they are.
    bool bRunning = false;
    // The window fills the screen (F11); the window keeps it, not the file.
    bool bFullScreen = false;
};

class CSettingsSheet : public QDialog {
    Q_OBJECT
public:
    CSettingsSheet(const VIEW_SETTINGS& current, std::function<void(const VIEW_SETTINGS&)> applyToView,
                   QWidget* parent = nullptr);

    VIEW_SETTINGS Chosen() const;
    // Takes in the fields being typed in, then hands the pages' ports and echo
    // flags to the view; false (and nothing handed) when a field is refused.
    bool ApplyToView();

    CPortSettingsPage* PortsPage() const { return m_portsPage; }
    CTestSettingsPage* TestPage() const { return m_testPage; }
    CHeightsSettingsPage* HeightsPage() const { return m_heightsPage; }
    QWidget* ScreenPage() const { return m_screenPage; }
    QCheckBox* FieldScaleBox() const { return m_fieldScale; }
    QCheckBox* FullScreenBox() const { return m_fullScreen; }
    QTabWidget* Pages() const { return m_pages; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }
    QPushButton* ApplyButton() const { return m_apply; }
    // Brings the tab holding page to the front.
    void ShowPage(QWidget* page);
    // Says why some settings are greyed while the transfer runs.
    QLabel* RunningNote() const { return m_runningNote; }
    // Says that lines of the file the program did not read are kept.
    QLabel* KeptNote() const { return m_keptNote; }

public slots:
    void accept() override;
    void reject() override;

private:
    // The fields still being edited, as their editingFinished would take them.
    bool CommitEdits();
    QWidget* MakeScreenPage();

    std::function<void(const VIEW_SETTINGS&)> m_applyToView;
    VIEW_SETTINGS m_current;
    QTabWidget* m_pages = nullptr;
    CPortSettingsPage* m_portsPage = nullptr;
    CTestSettingsPage* m_testPage = nullptr;
    CHeightsSettingsPage* m_heightsPage = nullptr;
    QWidget* m_screenPage = nullptr;
    QCheckBox* m_fieldScale = nullptr;
    QCheckBox* m_fullScreen = nullptr;
    QLabel* m_runningNote = nullptr;
    QLabel* m_keptNote = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_apply = nullptr;
    // The settings as OK, Cancel or closing find them untouched.
    CConfigFile m_saved;
};
