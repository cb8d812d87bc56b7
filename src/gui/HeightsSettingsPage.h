// The "Heights" page: the antenna's height above the ground (GPS#ANTENNA) and
// the geoid the ground's elevation is taken against (GPS#GEOID): the
// receiver's own, or a PROJ geoid grid by name. Every change goes into the
// configuration file at once; a grid that cannot be loaded is refused on the
// page with its reason, and the setting stays as it was. The map under the
// track view (MAP#RASTER) is chosen here too, refused the same way.
#pragma once

#include <QWidget>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;

class CHeightsSettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit CHeightsSettingsPage(QWidget* parent = nullptr);

    QDoubleSpinBox* AntennaBox() const { return m_antenna; }
    QComboBox* GeoidList() const { return m_geoid; }
    QLabel* GeoidState() const { return m_state; }
    // Takes the geoid named in the list's text (or its item): the receiver's
    // own for the first item. False when the grid is refused.
    bool ChooseGeoid(const QString& text);
    QLineEdit* MapField() const { return m_map; }
    QLabel* MapState() const { return m_mapState; }
    // Takes the map file (empty: none). False when it cannot be drawn.
    bool ChooseMap(const QString& path);
    // While the transfer runs only the antenna height can change.
    void SetSurveyRunning(bool running);
    // The antenna height and the geoid as typed; false when the geoid is
    // refused (the page says why and keeps the text).
    bool CommitEdits();

private:
    void ShowGeoid();
    void WriteAntenna();

    QDoubleSpinBox* m_antenna = nullptr;
    QComboBox* m_geoid = nullptr;
    QLabel* m_state = nullptr;
    QLineEdit* m_map = nullptr;
    QLabel* m_mapState = nullptr;
};
