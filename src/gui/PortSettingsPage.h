// The "Ports" page (template 201): which COM port the GPS receiver and the
// locator use, and their enabled flags. Every change goes into the configuration
// file at once; the chosen ports reach the view only through the sheet's OK or
// Apply command. Below the original controls: the GPS port's speed ("Keep",
// then the rates), whether sentences of every talker are read, and the NTRIP
// caster of the RTK corrections (caster, mountpoint, user, password).
#pragma once

#include <QWidget>
#include <string>
#include <vector>

class QCheckBox;
class QDoubleSpinBox;
class QComboBox;
class QLineEdit;

class CPortSettingsPage : public QWidget {
    Q_OBJECT
public:
    CPortSettingsPage(int gpsPort, int bluetoothPort, QWidget* parent = nullptr);

    // "COM<n>" for each port of the ports folder that exists, in text order.
    void FillPortLists();
    // Selects each side's "COM<n>"; a port without an entry shows no selection
    // and keeps its number.
    void SelectPorts(int gpsPort, int bluetoothPort);
    void GetPorts(int& gpsPort, int& bluetoothPort) const;

    QComboBox* GpsList() const { return m_gpsList; }
    QComboBox* BluetoothList() const { return m_bluetoothList; }
    QCheckBox* GpsEnabledBox() const { return m_gpsEnabled; }
    QCheckBox* BluetoothEnabledBox() const { return m_bluetoothEnabled; }
    QComboBox* GpsSpeedList() const { return m_gpsSpeed; }
    QCheckBox* AnyTalkerBox() const { return m_anyTalker; }
    QComboBox* GateRequireList() const { return m_gateRequire; }
    QDoubleSpinBox* GateMaxHAccBox() const { return m_gateMaxHAcc; }
    // Dialog units the quality gate's row adds under the template.
    static constexpr int kGateRowHeight = 10;
    QLineEdit* CasterEdit() const { return m_caster; }
    QComboBox* MountpointList() const { return m_mountpoint; }
    QLineEdit* UserEdit() const { return m_user; }
    QLineEdit* PasswordEdit() const { return m_password; }
    // The mountpoints of the caster's sourcetable, nearest first; the one set stays.
    void SetMountpoints(const std::vector<std::string>& mountpoints);
    // While the transfer runs only the gate row can change.
    void SetSurveyRunning(bool running);
    // The fields being typed in, taken as leaving them would take them.
    void CommitEdits();

private:
    void OnPortChosen(bool gpsSide, int index);
    void OnEnabledClicked(bool gpsSide, bool ticked);
    void AddGpsReceiverControls();
    void AddCorrectionsControls();
    // The four fields as PORT#GPS#NTRIP (OFF without a caster); an address
    // that does not read is not written.
    void WriteCorrections();
    void WriteMaxHAccuracy();
    // The page's note back to its help text: its cause has gone.
    void ClearNote();

    QComboBox* m_gpsList = nullptr;
    QComboBox* m_bluetoothList = nullptr;
    QCheckBox* m_gpsEnabled = nullptr;
    QCheckBox* m_bluetoothEnabled = nullptr;
    QComboBox* m_gpsSpeed = nullptr;
    QCheckBox* m_anyTalker = nullptr;
    QComboBox* m_gateRequire = nullptr;      // GPS#REQUIRE
    QDoubleSpinBox* m_gateMaxHAcc = nullptr; // GPS#MAXHACC
    QLineEdit* m_caster = nullptr;
    QComboBox* m_mountpoint = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    int m_nGpsPort = 0;
    int m_nBluetoothPort = 0;
};
