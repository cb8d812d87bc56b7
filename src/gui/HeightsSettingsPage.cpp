#include "gui/HeightsSettingsPage.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QToolButton>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>

#include "app/ConfigFile.h"
#include "app/GeoidModel.h"
#include "app/MapBackdrop.h"

namespace {
const QString kReceiver = QStringLiteral("Receiver's own");
// Debian's proj-data ships this grid; others are typed in by name or path.
const QString kEgm96 = QStringLiteral("egm96_15.gtx");
} // namespace

CHeightsSettingsPage::CHeightsSettingsPage(QWidget* parent) : QWidget(parent)
{
    const CConfigFile& config = GetConfig();
    m_antenna = new QDoubleSpinBox(this);
    m_antenna->setObjectName(QStringLiteral("antennaHeight"));
    // The file holds metres with a point: so does the box, whatever the desktop.
    m_antenna->setLocale(QLocale::c());
    m_antenna->setRange(0.0, kMaxAntennaHeight);
    m_antenna->setDecimals(3);
    m_antenna->setSingleStep(0.05);
    m_antenna->setSuffix(QStringLiteral(" m"));
    m_antenna->setValue(config.m_dfAntennaHeight);
    m_antenna->setToolTip(QStringLiteral("Height of the antenna's reference point above the ground (pole height)"));

    m_geoid = new QComboBox(this);
    m_geoid->setObjectName(QStringLiteral("geoid"));
    m_geoid->setEditable(true);
    m_geoid->setInsertPolicy(QComboBox::NoInsert);
    m_geoid->addItem(kReceiver);
    m_geoid->addItem(kEgm96);
    m_geoid->setToolTip(QStringLiteral("The receiver's own geoid, or the name or path of a PROJ geoid grid"));

    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("geoidState"));
    m_state->setWordWrap(true);
    m_state->setTextFormat(Qt::PlainText);

    auto* layout = new QFormLayout(this);
    layout->addRow(QStringLiteral("Antenna height"), m_antenna);
    layout->addRow(QStringLiteral("Geoid"), m_geoid);
    layout->addRow(m_state);

    m_map = new QLineEdit(QString::fromStdString(config.m_strMapRaster), this);
    m_map->setObjectName(QStringLiteral("mapFile"));
    m_map->setPlaceholderText(QStringLiteral("none"));
    m_map->setToolTip(QStringLiteral("A GeoTIFF, MBTiles or GeoPackage file drawn under the track"));
    auto* browse = new QToolButton(this);
    browse->setText(QStringLiteral("..."));
    m_mapState = new QLabel(this);
    m_mapState->setObjectName(QStringLiteral("mapState"));
    m_mapState->setWordWrap(true);
    m_mapState->setTextFormat(Qt::PlainText);
    auto* mapRow = new QHBoxLayout;
    mapRow->addWidget(m_map, 1);
    mapRow->addWidget(browse);
    layout->addRow(QStringLiteral("Map"), mapRow);
    layout->addRow(m_mapState);
    connect(m_map, &QLineEdit::editingFinished, this, [this] { ChooseMap(m_map->text()); });
    connect(browse, &QToolButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Map"), m_map->text(),
                                                          QStringLiteral("Maps (*.tif *.tiff *.mbtiles *.gpkg);;All files (*)"));
        if (!path.isEmpty() && ChooseMap(path))
            m_map->setText(path);
    });
    ShowGeoid();

    connect(m_antenna, &QDoubleSpinBox::editingFinished, this, &CHeightsSettingsPage::WriteAntenna);
    connect(m_geoid, &QComboBox::activated, this, [this](int index) { ChooseGeoid(m_geoid->itemText(index)); });
    connect(m_geoid->lineEdit(), &QLineEdit::editingFinished, this, [this] { ChooseGeoid(m_geoid->currentText()); });
}

bool CHeightsSettingsPage::ChooseGeoid(const QString& text)
{
    const std::string grid = text == kReceiver ? std::string() : text.trimmed().toStdString();
    CConfigFile& settings = GetConfig();
    if (grid == settings.m_strGeoid)
        return true;
    std::string message;
    // '#' separates the configuration file's tokens: such a name would not read back.
    if (grid.find('#') != std::string::npos || !LoadGeoidModel(grid, message)) {
        // The typed name stays in the box to be mended; the reason in the
        // crew's words (PROJ's own text says nothing to them).
        m_geoid->setCurrentText(text);
        m_state->setText(
            grid.find('#') != std::string::npos
                ? QStringLiteral("\"%1\" cannot be a grid name: it holds a #. The elevations stay as they were.")
                      .arg(text)
                : QStringLiteral("The geoid grid \"%1\" cannot be used: fieldbook cannot find or read it. Install "
                                 "it where PROJ keeps its grids (the proj-data package holds egm96_15.gtx), or "
                                 "choose \"Receiver's own\". The elevations stay as they were.")
                      .arg(text));
        return false;
    }
    settings.m_strGeoid = grid;
    settings.Write();
    ShowGeoid();
    return true;
}

void CHeightsSettingsPage::WriteAntenna()
{
    m_antenna->interpretText();
    CConfigFile& settings = GetConfig();
    if (settings.m_dfAntennaHeight == m_antenna->value())
        return;
    settings.m_dfAntennaHeight = m_antenna->value();
    settings.Write();
}

void CHeightsSettingsPage::SetSurveyRunning(bool running)
{
    m_geoid->setEnabled(!running);
}

bool CHeightsSettingsPage::CommitEdits()
{
    WriteAntenna();
    if (!m_geoid->isEnabled())
        return true;
    return ChooseGeoid(m_geoid->currentText());
}

void CHeightsSettingsPage::ShowGeoid()
{
    const std::string& grid = GetConfig().m_strGeoid;
    m_geoid->setCurrentText(grid.empty() ? kReceiver : QString::fromStdString(grid));
    m_state->setText(grid.empty()
                         ? QStringLiteral("Elevations from the receiver's altitude (its own geoid)")
                         : QStringLiteral("Elevations from the ellipsoidal height minus the undulation of %1")
                               .arg(QString::fromStdString(grid)));
}

bool CHeightsSettingsPage::ChooseMap(const QString& path)
{
    const std::string file = path.trimmed().toStdString();
    CConfigFile& settings = GetConfig();
    if (file == settings.m_strMapRaster)
        return true;
    std::string error;
    if (!file.empty() && !MapPathFits(file)) {
        m_mapState->setText(QStringLiteral("The settings file cannot hold this path: at most %1 characters, no '#'")
                                .arg(kMaxMapPathChars));
        return false;
    }
    if (!file.empty() && !OpenMapBackdrop(file, error)) {
        m_mapState->setText(QStringLiteral("Not taken: %1").arg(QString::fromStdString(error)));
        return false;
    }
    m_mapState->clear();
    settings.m_strMapRaster = file;
    settings.Write();
    return true;
}
