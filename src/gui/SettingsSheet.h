// The "Settings" sheet: the Ports, Test and Heights pages. OK ends the modal run and the
// caller applies the pages; Apply (the sheet's command 2) applies them at once
// and leaves the sheet open; closing it any other way (window close, Escape) applies
// nothing. Changes on the Ports page are in the configuration file already.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class CHeightsSettingsPage;
class CPortSettingsPage;
class CTestSettingsPage;
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
};

class CSettingsSheet : public QDialog {
    Q_OBJECT
public:
    CSettingsSheet(const VIEW_SETTINGS& current, std::function<void(const VIEW_SETTINGS&)> applyToView,
                   QWidget* parent = nullptr);

    VIEW_SETTINGS Chosen() const;
    // Hands the pages' ports and echo flags to the view.
    void ApplyToView();

    CPortSettingsPage* PortsPage() const { return m_portsPage; }
    CTestSettingsPage* TestPage() const { return m_testPage; }
    CHeightsSettingsPage* HeightsPage() const { return m_heightsPage; }
    QTabWidget* Pages() const { return m_pages; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* ApplyButton() const { return m_apply; }

private:
    std::function<void(const VIEW_SETTINGS&)> m_applyToView;
    QTabWidget* m_pages = nullptr;
    CPortSettingsPage* m_portsPage = nullptr;
    CTestSettingsPage* m_testPage = nullptr;
    CHeightsSettingsPage* m_heightsPage = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_apply = nullptr;
};
