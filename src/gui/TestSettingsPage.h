// The "Test" page (template 152): echo of raw GPS and Bluetooth traffic into
// the main form's test window. The flags reach the view only through the
// sheet's OK or Apply command.
#pragma once

#include <QWidget>

class QCheckBox;

class CTestSettingsPage : public QWidget {
    Q_OBJECT
public:
    CTestSettingsPage(bool gpsTest, bool bluetoothTest, QWidget* parent = nullptr);

    void SetFlags(bool gpsTest, bool bluetoothTest);
    void GetTestFlags(bool& gpsTest, bool& bluetoothTest) const;

    QCheckBox* GpsBox() const { return m_gpsBox; }
    QCheckBox* BluetoothBox() const { return m_bluetoothBox; }

private:
    QCheckBox* m_gpsBox = nullptr;
    QCheckBox* m_bluetoothBox = nullptr;
    bool m_bGpsTest = false;
    bool m_bBluetoothTest = false;
};
