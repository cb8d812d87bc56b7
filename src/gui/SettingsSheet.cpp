#include "gui/SettingsSheet.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "gui/HeightsSettingsPage.h"
#include "gui/PortSettingsPage.h"
#include "gui/TestSettingsPage.h"
#include "resources/Strings.h"

CSettingsSheet::CSettingsSheet(const VIEW_SETTINGS& current,
                               std::function<void(const VIEW_SETTINGS&)> applyToView, QWidget* parent)
    : QDialog(parent), m_applyToView(std::move(applyToView))
{
    setWindowTitle(QString::fromUtf8(kSettingsCaption));
    m_pages = new QTabWidget(this);
    m_portsPage = new CPortSettingsPage(current.nGpsPort, current.nBluetoothPort, m_pages);
    m_portsPage->SetMountpoints(current.mountpoints);
    m_testPage = new CTestSettingsPage(current.bGpsTest, current.bBluetoothTest, m_pages);
    m_pages->addTab(m_portsPage, QString::fromUtf8(kPortsPageTitle));
    m_pages->addTab(m_testPage, QString::fromUtf8(kTestPageTitle));
    m_heightsPage = new CHeightsSettingsPage(m_pages);
    m_pages->addTab(m_heightsPage, QStringLiteral("Heights"));
    m_pages->setCurrentIndex(0);

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setDefault(true);
    // The sheet's second command (id 2) applies the pages and leaves the sheet
    // open: it is labelled for what it does.
    m_apply = new QPushButton(QStringLiteral("Apply"), this);
    m_apply->setAutoDefault(false);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_apply, &QPushButton::clicked, this, &CSettingsSheet::ApplyToView);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_apply);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pages);
    layout->addLayout(buttons);
}

VIEW_SETTINGS CSettingsSheet::Chosen() const
{
    VIEW_SETTINGS chosen;
    m_portsPage->GetPorts(chosen.nGpsPort, chosen.nBluetoothPort);
    m_testPage->GetTestFlags(chosen.bGpsTest, chosen.bBluetoothTest);
    return chosen;
}

void CSettingsSheet::ApplyToView()
{
    if (m_applyToView)
        m_applyToView(Chosen());
}
