// The track view: the points of the current survey log drawn where they were
// measured, in a local east/north plane in metres (no map, no network), joined
// in log order, coloured by depth, with the GPS receiver's latest position, a
// scale bar and a north arrow. One widget that paints everything itself: the
// points are projected once when they arrive (CTrackModel) and drawn as a
// polyline and batches of dots, thinned in screen space where they crowd a
// pixel, so that a day's survey stays cheap to draw.
//
// Wheel zooms about the cursor, dragging pans, a double click or the Fit
// button fits the survey again; until the user zooms or pans, the view keeps
// fitting the survey as points arrive. A click on a point shows its values;
// Home, End and the arrow keys step through the points, Escape lets go.
//
// A map (MAP#RASTER) is drawn under the survey: rendered by a worker for the
// view and a margin around it, kept as a picture, and drawn scaled and moved
// while the view pans and zooms until the worker's next picture comes.
#pragma once

#include <QPolygonF>
#include <QWidget>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include <QImage>
#include <memory>

#include "app/MapBackdrop.h"
#include "app/TrackModel.h"
#include "gps/GpsRecords.h"

class CSurveyLog;
class QToolButton;

class CTrackView : public QWidget {
    Q_OBJECT
public:
    // Depth classes of the colour scale, shallow to deep.
    static constexpr int kDepthClasses = 8;
    // How near (pixels) a click must come to a point to pick it.
    static constexpr double kPickRadius = 8.0;

    explicit CTrackView(QWidget* parent = nullptr);

    // Legend and scale text in a font of pointSize points; the Fit button at
    // least touchPixels square.
    void SetFieldScale(int pointSize, int touchPixels);

    // Brings the view up to the log: new points are projected and drawn; a log
    // under another name, or with fewer points, starts the view over. The log
    // must stay alive until the next call or DetachLog.
    void SyncWithLog(const CSurveyLog& log);
    void DetachLog();
    // The GPS receiver's latest GGA (unsigned angles and hemisphere codes), or
    // nullptr for none; repaints only when something shown changed.
    void SetGpsFix(const GPS_FIX* fix);
    // Fits the survey into the view and follows new points again.
    void FitToSurvey();
    // Picks the point nearest to pos (within kPickRadius); its model index or -1.
    long SelectAt(const QPointF& pos);
    // Picks the point of that model index (-1 or out of range: none).
    long Select(long modelIndex);

    const CTrackModel& Model() const { return m_model; }
    const TRACK_VIEWPORT& Viewport() const { return m_view; }
    bool Following() const { return m_follow; }
    long Selected() const { return m_selected; }
    // The picked point's values, one "Label: value" line each; empty without one.
    QString SelectedText() const;
    // Where a point of the model is drawn, in widget pixels.
    QPointF ScreenPos(size_t modelIndex) const;
    QToolButton* FitButton() const { return m_fitButton; }
    // The GPS marker as drawn: the fix it shows (nullptr for none) and the
    // legend's GPS line.
    const GPS_FIX* GpsShown() const { return m_bHaveGps ? &m_gps : nullptr; }
    QString GpsLegendText() const;

    // The map under the survey; null for none. Its problems come once, by
    // MapProblem.
    void SetMap(std::unique_ptr<IMapBackdrop> map);
    // The map's file, empty without one.
    QString MapPath() const;
    // True when the map's picture shows all of the current view.
    bool MapCurrent() const;

    QSize sizeHint() const override { return {640, 420}; }

signals:
    void MapProblem(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Refit();
    bool GpsDegrees(double& latitude, double& longitude) const;
    void AnchorAtGps();
    bool GpsPosition(double& east, double& north) const;
    int DepthClass(float depth) const;
    void DrawTrack(QPainter& p);
    void DrawGps(QPainter& p);
    void DrawSelection(QPainter& p);
    void DrawScaleBar(QPainter& p);
    void DrawNorthArrow(QPainter& p);
    void DrawLegend(QPainter& p);
    // The view as a map request: widened by margin of its size on every side.
    MAP_VIEW MapView(double margin) const;
    void DrawMap(QPainter& p);
    void OnMapReady();

    CTrackModel m_model;
    TRACK_VIEWPORT m_view;
    bool m_follow = true;
    const CSurveyLog* m_log = nullptr;
    std::string m_fileName;

    bool m_bHaveGps = false;
    GPS_FIX m_gps;

    long m_selected = -1;
    std::vector<std::pair<std::string, std::string>> m_selectedFields;

    bool m_pressed = false;
    bool m_dragging = false;
    QPointF m_pressPos;
    QPointF m_lastPos;

    // Drawing buffers, kept between paints so that a repaint allocates nothing
    // once they have grown to the survey.
    QPolygonF m_line;
    // The utilities of the log in the order they came ("type id" and the
    // colour's name), for the legend; points taken so far.
    std::vector<std::pair<std::string, std::string>> m_utilities;
    size_t m_utilitiesTaken = 0;
    void DrawUtilities(QPainter& p);
    std::array<QPolygonF, kDepthClasses> m_dots;
    std::array<QPolygonF, kDepthClasses> m_hollowDots; // points below the quality gate
    CTrackThinning m_thinning;

    QToolButton* m_fitButton = nullptr;

    std::unique_ptr<CMapWorker> m_map;
    MAP_IMAGE m_mapImage;  // the picture the worker finished last
    QImage m_mapPicture;   // m_mapImage's pixels, for the painter
    bool m_mapAsked = false;
    MAP_VIEW m_mapAsk;     // the view last asked for
    bool m_mapProblemShown = false;
};

// Colour of a depth class, shallow (0) to deep (kDepthClasses - 1).
QColor DepthClassColour(int depthClass);
