#include "gui/SettingsSheet.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/GeoidModel.h"
#include "gui/FieldScale.h"
#include "gui/HeightsSettingsPage.h"
#include "gui/PortSettingsPage.h"
#include "gui/TestSettingsPage.h"
#include "resources/Strings.h"

CSettingsSheet::CSettingsSheet(const VIEW_SETTINGS& current,
                               std::function<void(const VIEW_SETTINGS&)> applyToView, QWidget* parent)
    : QDialog(parent), m_applyToView(std::move(applyToView)), m_current(current), m_saved(GetConfig())
{
    setWindowTitle(QString::fromUtf8(kSettingsCaption));
    m_pages = new QTabWidget(this);
    m_portsPage = new CPortSettingsPage(current.nGpsPort, current.nBluetoothPort, m_pages);
    m_portsPage->SetMountpoints(current.mountpoints);
    m_testPage = new CTestSettingsPage(current.bGpsTest, current.bBluetoothTest, m_pages);
    m_heightsPage = new CHeightsSettingsPage(m_pages);
    m_screenPage = MakeScreenPage();
    // At the field scale a page in large text may be higher than a small
    // screen (800 pixels): it scrolls rather than losing its last rows.
    const bool scroll = ProgramFieldScale();
    for (auto [page, title] : {std::pair<QWidget*, QString>{m_portsPage, QString::fromUtf8(kPortsPageTitle)},
                               {m_testPage, QString::fromUtf8(kTestPageTitle)},
                               {m_heightsPage, QStringLiteral("Heights")},
                               {m_screenPage, QStringLiteral("Screen")}}) {
        if (!scroll) {
            m_pages->addTab(page, title);
            continue;
        }
        auto* area = new QScrollArea(m_pages);
        area->setFrameShape(QFrame::NoFrame);
        area->setWidgetResizable(true);
        area->setWidget(page);
        // As large as the page wants, as far as the screen has room for it
        // under the note and above the buttons.
        const QRect room = screen()->availableGeometry();
        const QSize wanted = page->minimumSizeHint().expandedTo(page->minimumSize()) +
                             QSize(area->verticalScrollBar()->sizeHint().width() + 4, 4);
        area->setMinimumSize(std::min(wanted.width(), room.width() - 40),
                             std::min(wanted.height(), std::max(200, room.height() - 320)));
        m_pages->addTab(area, title);
    }
    m_pages->setCurrentIndex(0);

    m_runningNote = new QLabel(this);
    m_runningNote->setObjectName(QStringLiteral("runningNote"));
    m_runningNote->setWordWrap(true);
    m_runningNote->setTextFormat(Qt::PlainText);
    if (current.bRunning) {
        // The link threads read the ports, the speed, the talker rule, the
        // caster and the echo flags: those wait for the transfer to stop.
        m_portsPage->SetSurveyRunning(true);
        m_testPage->setEnabled(false);
        m_heightsPage->SetSurveyRunning(true);
        m_runningNote->setText(QStringLiteral("The transfer is running: the antenna height, the gate and the screen "
                                              "can change now and apply from the next point. Stop the transfer to "
                                              "change the ports, the corrections, the geoid or the echo."));
    } else {
        m_runningNote->hide();
    }

    // Said where the crew changes settings: nothing they did not set is lost.
    m_keptNote = new QLabel(QString::fromStdString(GetConfig().KeptLinesNote()), this);
    m_keptNote->setObjectName(QStringLiteral("keptNote"));
    m_keptNote->setWordWrap(true);
    m_keptNote->setTextFormat(Qt::PlainText);
    m_keptNote->setVisible(!m_keptNote->text().isEmpty());

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    // The sheet's second command (id 2) applies the pages and leaves the sheet
    // open: it is labelled for what it does.
    m_apply = new QPushButton(QStringLiteral("Apply"), this);
    m_apply->setObjectName(QStringLiteral("applyButton"));
    m_apply->setAutoDefault(false);
    connect(m_ok, &QPushButton::clicked, this, &CSettingsSheet::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CSettingsSheet::reject);
    connect(m_apply, &QPushButton::clicked, this, [this] {
        if (ApplyToView())
            m_saved = GetConfig();
    });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_apply);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_runningNote);
    layout->addWidget(m_keptNote);
    layout->addWidget(m_pages);
    layout->addLayout(buttons);
}

QWidget* CSettingsSheet::MakeScreenPage()
{
    auto* page = new QWidget(m_pages);
    m_fieldScale = new QCheckBox(QStringLiteral("Field scale: large text and buttons for gloves"), page);
    m_fieldScale->setObjectName(QStringLiteral("fieldScale"));
    m_fieldScale->setChecked(GetConfig().m_bFullResolution != 0);
    m_fullScreen = new QCheckBox(QStringLiteral("Full screen (F11)"), page);
    m_fullScreen->setObjectName(QStringLiteral("fullScreen"));
    m_fullScreen->setChecked(m_current.bFullScreen);
    connect(m_fieldScale, &QCheckBox::clicked, this, [](bool ticked) {
        CConfigFile& settings = GetConfig();
        settings.m_bFullResolution = ticked ? 1 : 0;
        settings.Write();
    });
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(m_fieldScale);
    layout->addWidget(m_fullScreen);
    layout->addStretch(1);
    return page;
}

void CSettingsSheet::ShowPage(QWidget* page)
{
    for (int i = 0; i < m_pages->count(); ++i) {
        if (m_pages->widget(i) == page || m_pages->widget(i)->isAncestorOf(page))
            m_pages->setCurrentIndex(i);
    }
}

VIEW_SETTINGS CSettingsSheet::Chosen() const
{
    VIEW_SETTINGS chosen = m_current;
    chosen.mountpoints.clear();
    if (!m_current.bRunning) {
        m_portsPage->GetPorts(chosen.nGpsPort, chosen.nBluetoothPort);
        m_testPage->GetTestFlags(chosen.bGpsTest, chosen.bBluetoothTest);
    }
    chosen.bFullScreen = m_fullScreen->isChecked();
    return chosen;
}

bool CSettingsSheet::CommitEdits()
{
    m_portsPage->CommitEdits();
    if (!m_heightsPage->CommitEdits()) {
        ShowPage(m_heightsPage);
        return false;
    }
    return true;
}

bool CSettingsSheet::ApplyToView()
{
    if (!CommitEdits())
        return false;
    if (m_applyToView)
        m_applyToView(Chosen());
    return true;
}

void CSettingsSheet::accept()
{
    // The caller hands the pages on after exec; a refused field keeps the sheet.
    if (!CommitEdits())
        return;
    QDialog::accept();
}

void CSettingsSheet::reject()
{
    CConfigFile& config = GetConfig();
    if (!config.SameSettings(m_saved)) {
        const std::string geoid = config.m_strGeoid;
        config.RestoreSettings(m_saved);
        config.Write();
        if (geoid != config.m_strGeoid) {
            std::string message;
            LoadGeoidModel(config.m_strGeoid, message);
        }
    }
    QDialog::reject();
}
