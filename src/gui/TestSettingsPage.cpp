#include "gui/TestSettingsPage.h"

#include <QCheckBox>
#include <QPlainTextEdit>

#include "gui/DialogLayout.h"
#include "resources/Strings.h"

CTestSettingsPage::CTestSettingsPage(bool gpsTest, bool bluetoothTest, QWidget* parent) : QWidget(parent)
{
    const DLG_TEMPLATE* page = FindDialogTemplate(IDD_TEST_SETTINGS);
    BuildDialogControls(*this, *page);
    setMinimumSize(DialogSizeToPixels(*this, page->cx, page->cy));
    m_gpsBox = FindControlAs<QCheckBox>(*this, IDC_GPS_BOX);
    m_bluetoothBox = FindControlAs<QCheckBox>(*this, IDC_BLUETOOTH_BOX);

    SetFlags(gpsTest, bluetoothTest);
    // The text's CR LF pairs are its line breaks: three lines.
    QString info = QString::fromUtf8(kTestPageInfo);
    info.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    FindControlAs<QPlainTextEdit>(*this, IDC_INFO_TEXT)->setPlainText(info);
    // The second line is wider than the box in a desktop font and wraps: four
    // lines where the box had room for three.
    FitInfoBoxToText(*this, IDC_INFO_TEXT);

    connect(m_gpsBox, &QCheckBox::clicked, this, [this](bool ticked) { m_bGpsTest = ticked; });
    connect(m_bluetoothBox, &QCheckBox::clicked, this, [this](bool ticked) { m_bBluetoothTest = ticked; });
}

void CTestSettingsPage::SetFlags(bool gpsTest, bool bluetoothTest)
{
    m_bGpsTest = gpsTest;
    m_bBluetoothTest = bluetoothTest;
    m_gpsBox->setChecked(gpsTest);
    m_bluetoothBox->setChecked(bluetoothTest);
}

void CTestSettingsPage::GetTestFlags(bool& gpsTest, bool& bluetoothTest) const
{
    gpsTest = m_bGpsTest;
    bluetoothTest = m_bBluetoothTest;
}
