#include "gui/PortSettingsPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <algorithm>

#include "app/ConfigFile.h"
#include "app/PortList.h"
#include "point/QualityGate.h"
#include "gui/DialogLayout.h"
#include "corrections/NtripReply.h"
#include "resources/Strings.h"

CPortSettingsPage::CPortSettingsPage(int gpsPort, int bluetoothPort, QWidget* parent)
    : QWidget(parent), m_nGpsPort(gpsPort), m_nBluetoothPort(bluetoothPort)
{
    const DLG_TEMPLATE* page = FindDialogTemplate(IDD_PORT_SETTINGS);
    BuildDialogControls(*this, *page);
    // The quality gate's row goes under the template's last control, then
    // four rows of the caster's fields.
    setMinimumSize(DialogSizeToPixels(*this, page->cx, std::max<int>(page->cy + kGateRowHeight, 212)));
    m_gpsList = FindControlAs<QComboBox>(*this, IDC_GPS_PORT_LIST);
    m_bluetoothList = FindControlAs<QComboBox>(*this, IDC_BLUETOOTH_PORT_LIST);
    m_gpsEnabled = FindControlAs<QCheckBox>(*this, IDC_GPS_BOX);
    m_bluetoothEnabled = FindControlAs<QCheckBox>(*this, IDC_BLUETOOTH_BOX);

    FillPortLists();
    SelectPorts(m_nGpsPort, m_nBluetoothPort);
    const CConfigFile& config = GetConfig();
    m_gpsEnabled->setChecked(config.m_bGpsEnabled);
    m_bluetoothEnabled->setChecked(config.m_bBluetoothEnabled);
    // The line settings a probe of the port could read are shown and used
    // nowhere, so the ports are not opened a second time here.
    FindControlAs<QPlainTextEdit>(*this, IDC_INFO_TEXT)->setPlainText(QString::fromUtf8(kPortsPageInfo));

    AddGpsReceiverControls();
    AddCorrectionsControls();

    // activated and clicked come from the user only, not from SelectPorts.
    connect(m_gpsList, &QComboBox::activated, this, [this](int index) { OnPortChosen(true, index); });
    connect(m_bluetoothList, &QComboBox::activated, this, [this](int index) { OnPortChosen(false, index); });
    connect(m_gpsEnabled, &QCheckBox::clicked, this, [this](bool ticked) { OnEnabledClicked(true, ticked); });
    connect(m_bluetoothEnabled, &QCheckBox::clicked, this,
            [this](bool ticked) { OnEnabledClicked(false, ticked); });
}

void CPortSettingsPage::FillPortLists()
{
    m_gpsList->clear();
    m_bluetoothList->clear();
    for (const std::string& name : ListPortNames()) {
        m_gpsList->addItem(QString::fromStdString(name));
        m_bluetoothList->addItem(QString::fromStdString(name));
    }
}

void CPortSettingsPage::SelectPorts(int gpsPort, int bluetoothPort)
{
    const int gpsIndex = m_gpsList->findText(QString::fromStdString(PortName(gpsPort)), Qt::MatchExactly);
    m_gpsList->setCurrentIndex(gpsIndex);
    if (gpsIndex >= 0)
        m_nGpsPort = gpsPort;
    const int bluetoothIndex =
        m_bluetoothList->findText(QString::fromStdString(PortName(bluetoothPort)), Qt::MatchExactly);
    m_bluetoothList->setCurrentIndex(bluetoothIndex);
    if (bluetoothIndex >= 0)
        m_nBluetoothPort = bluetoothPort;
}

void CPortSettingsPage::GetPorts(int& gpsPort, int& bluetoothPort) const
{
    gpsPort = m_nGpsPort;
    bluetoothPort = m_nBluetoothPort;
}

void CPortSettingsPage::OnPortChosen(bool gpsSide, int index)
{
    const QComboBox* list = gpsSide ? m_gpsList : m_bluetoothList;
    if (index < 0 || index >= list->count())
        return;
    const int port = PortNumberFromName(list->itemText(index).toStdString());
    CConfigFile& config = GetConfig();
    // One device cannot answer as both: the second reader would be refused the
    // port and each link would fail in turn. gpsd takes no port of ours.
    const bool gpsUsesPort = config.m_strGpsd.empty();
    if (gpsUsesPort && port == (gpsSide ? m_nBluetoothPort : m_nGpsPort)) {
        SelectPorts(m_nGpsPort, m_nBluetoothPort);
        FindControlAs<QPlainTextEdit>(*this, IDC_INFO_TEXT)
            ->setPlainText(QStringLiteral("%1 is already the %2 port; choose another")
                               .arg(QString::fromStdString(PortName(port)),
                                    gpsSide ? QStringLiteral("locator's") : QStringLiteral("GPS")));
        return;
    }
    FindControlAs<QPlainTextEdit>(*this, IDC_INFO_TEXT)->setPlainText(QString::fromUtf8(kPortsPageInfo));
    if (gpsSide) {
        m_nGpsPort = port;
        config.m_nGpsPort = port;
    } else {
        m_nBluetoothPort = port;
        config.m_nBluetoothPort = port;
    }
    config.Write();
}

void CPortSettingsPage::ClearNote()
{
    auto* note = FindControlAs<QPlainTextEdit>(*this, IDC_INFO_TEXT);
    if (note->toPlainText() != QString::fromUtf8(kPortsPageInfo))
        note->setPlainText(QString::fromUtf8(kPortsPageInfo));
}

void CPortSettingsPage::SetSurveyRunning(bool running)
{
    for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control != m_gateRequire && control != m_gateMaxHAcc && control->objectName() != QStringLiteral("gateLabel"))
            control->setEnabled(!running);
    }
}

void CPortSettingsPage::CommitEdits()
{
    WriteMaxHAccuracy();
    if (isEnabled() && m_caster->isEnabled())
        WriteCorrections();
}

void CPortSettingsPage::WriteMaxHAccuracy()
{
    m_gateMaxHAcc->interpretText();
    CConfigFile& settings = GetConfig();
    if (settings.m_dfGpsMaxHAcc == m_gateMaxHAcc->value())
        return;
    settings.m_dfGpsMaxHAcc = m_gateMaxHAcc->value();
    settings.Write();
}

void CPortSettingsPage::OnEnabledClicked(bool gpsSide, bool ticked)
{
    ClearNote();
    CConfigFile& config = GetConfig();
    (gpsSide ? config.m_bGpsEnabled : config.m_bBluetoothEnabled) = ticked;
    config.Write();
}

void CPortSettingsPage::AddGpsReceiverControls()
{
    // Placed in dialog units under the template's controls, in the page's
    // bottom band, so the original controls keep their places.
    const CConfigFile& config = GetConfig();
    auto* speedLabel = new QLabel(QStringLiteral("Speed"), this);
    speedLabel->setGeometry(DialogRectToPixels(*this, DLG_RECT{7, 112, 22, 8}));
    m_gpsSpeed = new QComboBox(this);
    m_gpsSpeed->setObjectName(QStringLiteral("gpsSpeed"));
    m_gpsSpeed->setGeometry(DialogRectToPixels(*this, DLG_RECT{31, 110, 53, 12}));
    for (int32_t speed : kGpsSpeeds) {
        m_gpsSpeed->addItem(speed == 0 ? QStringLiteral("Keep") : QString::number(speed), speed);
        if (speed == config.m_nGpsSpeed)
            m_gpsSpeed->setCurrentIndex(m_gpsSpeed->count() - 1);
    }
    m_anyTalker = new QCheckBox(QStringLiteral("Any talker (GN, GL...)"), this);
    m_anyTalker->setObjectName(QStringLiteral("anyTalker"));
    m_anyTalker->setToolTip(QStringLiteral("Read GGA and ZDA from every talker (GN, GL, GA, BD...), not only GP"));
    m_anyTalker->setGeometry(DialogRectToPixels(*this, DLG_RECT{31, 126, 119, 10}));
    m_anyTalker->setChecked(config.m_bGpsAnyTalker);

    auto* gateLabel = new QLabel(QStringLiteral("Gate"), this);
    gateLabel->setObjectName(QStringLiteral("gateLabel"));
    gateLabel->setGeometry(DialogRectToPixels(*this, DLG_RECT{7, 141, 22, 8}));
    m_gateRequire = new QComboBox(this);
    m_gateRequire->setObjectName(QStringLiteral("gateRequire"));
    m_gateRequire->setToolTip(QStringLiteral("Quality gate: the least fix a point must have; points below it are "
                                             "still logged, marked and announced"));
    m_gateRequire->setGeometry(DialogRectToPixels(*this, DLG_RECT{31, 139, 53, 12}));
    const struct {
        const char* text;
        int32_t require;
    } choices[] = {{"No gate", REQUIRE_NONE},  {"Any fix", REQUIRE_ANY},   {"DGPS", REQUIRE_DGPS},
                    {"RTK float", REQUIRE_FLOAT}, {"RTK fixed", REQUIRE_RTK}};
    for (const auto& r : choices) {
        m_gateRequire->addItem(QString::fromUtf8(r.text), r.require);
        if (r.require == config.m_nGpsRequire)
            m_gateRequire->setCurrentIndex(m_gateRequire->count() - 1);
    }
    m_gateMaxHAcc = new QDoubleSpinBox(this);
    m_gateMaxHAcc->setObjectName(QStringLiteral("gateMaxHAcc"));
    m_gateMaxHAcc->setToolTip(QStringLiteral("Quality gate: the largest horizontal error a point may have, as a "
                                             "DRMS (about 63-68 %) from the receiver's GST; the 95 % figure is "
                                             "1.73 times larger"));
    m_gateMaxHAcc->setGeometry(DialogRectToPixels(*this, DLG_RECT{97, 139, 53, 12}));
    m_gateMaxHAcc->setRange(0.0, 100.0);
    m_gateMaxHAcc->setDecimals(2);
    m_gateMaxHAcc->setSingleStep(0.01);
    m_gateMaxHAcc->setSuffix(QStringLiteral(" m"));
    m_gateMaxHAcc->setSpecialValueText(QStringLiteral("No limit"));
    m_gateMaxHAcc->setValue(config.m_dfGpsMaxHAcc);

    connect(m_gateRequire, &QComboBox::activated, this, [this](int index) {
        ClearNote();
        CConfigFile& settings = GetConfig();
        settings.m_nGpsRequire = m_gateRequire->itemData(index).toInt();
        settings.Write();
    });
    // Written when the user leaves the box, not at every keystroke.
    connect(m_gateMaxHAcc, &QDoubleSpinBox::editingFinished, this, &CPortSettingsPage::WriteMaxHAccuracy);
    connect(m_gpsSpeed, &QComboBox::activated, this, [this](int index) {
        ClearNote();
        CConfigFile& settings = GetConfig();
        settings.m_nGpsSpeed = m_gpsSpeed->itemData(index).toInt();
        settings.Write();
    });
    connect(m_anyTalker, &QCheckBox::clicked, this, [this](bool ticked) {
        ClearNote();
        CConfigFile& settings = GetConfig();
        settings.m_bGpsAnyTalker = ticked;
        settings.Write();
    });
}

void CPortSettingsPage::AddCorrectionsControls()
{
    NTRIP_URL url;
    const bool set = ParseNtripUrl(GetConfig().m_strNtrip, url);
    auto row = [this](const char* label, int y, QWidget* field) {
        auto* text = new QLabel(QString::fromUtf8(label), this);
        text->setGeometry(DialogRectToPixels(*this, DLG_RECT{7, y + 2, 40, 8}));
        field->setGeometry(DialogRectToPixels(*this, DLG_RECT{49, y, 101, 12}));
    };
    m_caster = new QLineEdit(this);
    m_caster->setObjectName(QStringLiteral("ntripCaster"));
    m_caster->setPlaceholderText(QStringLiteral("host[:port], none: off"));
    m_mountpoint = new QComboBox(this);
    m_mountpoint->setObjectName(QStringLiteral("ntripMountpoint"));
    m_mountpoint->setEditable(true);
    m_user = new QLineEdit(this);
    m_user->setObjectName(QStringLiteral("ntripUser"));
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("ntripPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    row("Caster", 154, m_caster);
    row("Mountpoint", 168, m_mountpoint);
    row("User", 182, m_user);
    row("Password", 196, m_password);
    if (set) {
        // The URL without user, password and mountpoint: host[:port], ntrips:// for TLS.
        NTRIP_URL caster = url;
        caster.user.clear();
        caster.password.clear();
        caster.mountpoint.clear();
        std::string text = FormatNtripUrl(caster);
        text.pop_back();
        m_caster->setText(QString::fromStdString(url.bTls ? text : text.substr(8)));
        m_mountpoint->setEditText(QString::fromStdString(url.mountpoint));
        m_user->setText(QString::fromStdString(url.user));
        m_password->setText(QString::fromStdString(url.password));
    }
    for (QLineEdit* edit : {m_caster, m_user, m_password})
        connect(edit, &QLineEdit::editingFinished, this, &CPortSettingsPage::WriteCorrections);
    connect(m_mountpoint, &QComboBox::activated, this, &CPortSettingsPage::WriteCorrections);
    connect(m_mountpoint->lineEdit(), &QLineEdit::editingFinished, this, &CPortSettingsPage::WriteCorrections);
}

void CPortSettingsPage::SetMountpoints(const std::vector<std::string>& mountpoints)
{
    const QString chosen = m_mountpoint->currentText();
    m_mountpoint->clear();
    for (const std::string& name : mountpoints)
        m_mountpoint->addItem(QString::fromStdString(name));
    m_mountpoint->setEditText(chosen);
}

void CPortSettingsPage::WriteCorrections()
{
    CConfigFile& config = GetConfig();
    std::string text;
    const std::string caster = m_caster->text().trimmed().toStdString();
    if (!caster.empty()) {
        NTRIP_URL url;
        const bool scheme = caster.find("://") != std::string::npos;
        if (!ParseNtripUrl((scheme ? caster : "ntrip://" + caster) + "/", url))
            return;
        url.user = m_user->text().toStdString();
        url.password = m_password->text().toStdString();
        url.mountpoint = m_mountpoint->currentText().trimmed().toStdString();
        text = FormatNtripUrl(url);
        // Never a URL the configuration reader would refuse (too long, say).
        NTRIP_URL check;
        if (!ParseNtripUrl(text, check))
            return;
    }
    if (text == config.m_strNtrip)
        return;
    config.m_strNtrip = text;
    config.Write();
}
