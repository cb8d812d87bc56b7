#include "gui/TrackView.h"

#include <QFileInfo>
#include <algorithm>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "point/ColourNames.h"
#include "surveylog/SurveyLog.h"

namespace {

constexpr int kFitMargin = 36;
// Dots are kDotSize pixels across and thinned on a grid of kDotCell pixels:
// twice as wide as a cell, so the thinning cannot be seen, and a crowded
// stretch costs no more to draw than a sparse one.
constexpr double kDotSize = 6.0;
constexpr int kDotCell = 3;
// The GPS marker is held inside this many pixels of the widget: the raster
// engine works in fixed point and cannot take a point a billion pixels away,
// which a close zoom gives.
constexpr double kFarAway = 4.0e6;
// A press that moves less than this is a click, not a drag.
constexpr double kDragStart = 4.0;
// Wheel: one notch (120) zooms by about 20 %.
constexpr double kWheelBase = 1.0015;
// The map is rendered this share of the view's size beyond each edge, so that
// a pan shows map, not background, until the next picture comes.
constexpr double kMapMargin = 0.25;

const QColor kBackground(0xf7, 0xf6, 0xf0);
const QColor kTrackLine(0x70, 0x70, 0x78);
const QColor kPanel(0xff, 0xff, 0xff, 0xe0);
const QColor kPanelText(0x20, 0x20, 0x20);
const QColor kGpsFix(0x10, 0x60, 0xe0);
const QColor kGpsNoFix(0x90, 0x90, 0x90);

double Clamp(double v)
{
    return std::clamp(v, -kFarAway, kFarAway);
}

// 1, 2 or 5 times a power of ten, not above metres.
double NiceLength(double metres)
{
    const double power = std::pow(10.0, std::floor(std::log10(metres)));
    for (double step : {5.0, 2.0, 1.0}) {
        if (step * power <= metres)
            return step * power;
    }
    return power;
}

QString LengthText(double metres)
{
    if (metres >= 1000.0)
        return QStringLiteral("%1 km").arg(metres / 1000.0, 0, 'g', 3);
    if (metres >= 1.0)
        return QStringLiteral("%1 m").arg(metres, 0, 'g', 3);
    return QStringLiteral("%1 cm").arg(metres * 100.0, 0, 'g', 3);
}

} // namespace

QColor DepthClassColour(int depthClass)
{
    // Light and warm for shallow, dark and cold for deep: readable on the
    // light background, and in grey for a photocopy.
    static const QColor kScale[CTrackView::kDepthClasses] = {
        QColor(0xf9, 0xd0, 0x3c), QColor(0xf4, 0xa2, 0x3a), QColor(0xe8, 0x6d, 0x3a), QColor(0xcf, 0x43, 0x4f),
        QColor(0xa3, 0x2a, 0x6b), QColor(0x73, 0x1f, 0x7c), QColor(0x45, 0x1b, 0x78), QColor(0x1c, 0x10, 0x50),
    };
    return kScale[std::clamp(depthClass, 0, CTrackView::kDepthClasses - 1)];
}

CTrackView::CTrackView(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("trackView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    setMinimumSize(200, 150);
    setCursor(Qt::OpenHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    m_fitButton = new QToolButton(this);
    m_fitButton->setText(QStringLiteral("Fit"));
    m_fitButton->setToolTip(QStringLiteral("Show the whole survey (double-click)"));
    m_fitButton->move(8, 8);
    connect(m_fitButton, &QToolButton::clicked, this, &CTrackView::FitToSurvey);
    m_view.nWidth = width();
    m_view.nHeight = height();
}

void CTrackView::SyncWithLog(const CSurveyLog& log)
{
    m_log = &log;
    bool changed = false;
    if (log.GetFileName() != m_fileName || log.GetCount() < m_model.Taken()) {
        // A new survey: the view starts empty, fitted, and anchored afresh.
        m_model.Reset();
        m_fileName = log.GetFileName();
        m_selected = -1;
        m_selectedFields.clear();
        m_follow = true;
        changed = true;
        m_utilities.clear();
        m_utilitiesTaken = 0;
        AnchorAtGps();
    }
    for (; m_utilitiesTaken < log.GetCount(); ++m_utilitiesTaken) {
        const UTILITY_TAG& u = log.GetRecord(m_utilitiesTaken).Utility;
        if (!u.IsSet())
            continue;
        const std::string name = u.type + (u.id.empty() ? "" : " " + u.id);
        if (std::find_if(m_utilities.begin(), m_utilities.end(), [&](const auto& e) { return e.first == name; }) ==
            m_utilities.end()) {
            m_utilities.emplace_back(name, u.colour);
            changed = true;
        }
    }
    for (size_t i = m_model.Taken(); i < log.GetCount(); ++i) {
        m_model.Add(log.GetAt(i), static_cast<uint32_t>(i));
        changed = true;
    }
    if (!changed)
        return;
    if (m_follow)
        Refit();
    update();
}

void CTrackView::DetachLog()
{
    m_log = nullptr;
}

void CTrackView::SetGpsFix(const GPS_FIX* fix)
{
    if (fix == nullptr) {
        if (m_bHaveGps) {
            m_bHaveGps = false;
            update();
        }
        return;
    }
    if (m_bHaveGps && *fix == m_gps)
        return;
    const bool first = !m_bHaveGps;
    m_bHaveGps = true;
    m_gps = *fix;
    AnchorAtGps();
    if (first && m_follow && m_model.Size() == 0)
        Refit();
    update();
}

bool CTrackView::GpsDegrees(double& latitude, double& longitude) const
{
    // A receiver that never had a position reports none (zero angles).
    if (!m_bHaveGps || (m_gps.dfLatAng == 0.0 && m_gps.dfLongAng == 0.0))
        return false;
    latitude = m_gps.nLatDir == DIR_SOUTH ? -m_gps.dfLatAng : m_gps.dfLatAng;
    longitude = m_gps.nLongDir == DIR_WEST ? -m_gps.dfLongAng : m_gps.dfLongAng;
    return true;
}

void CTrackView::AnchorAtGps()
{
    // The receiver may speak before the first point: it anchors the plane then.
    double latitude = 0.0;
    double longitude = 0.0;
    if (GpsDegrees(latitude, longitude))
        m_model.SetOriginIfNone(latitude, longitude);
}

bool CTrackView::GpsPosition(double& east, double& north) const
{
    double latitude = 0.0;
    double longitude = 0.0;
    return GpsDegrees(latitude, longitude) && m_model.Project(latitude, longitude, east, north);
}

void CTrackView::FitToSurvey()
{
    m_follow = true;
    Refit();
    update();
}

void CTrackView::Refit()
{
    TRACK_BOUNDS bounds = m_model.Bounds();
    double east = 0.0;
    double north = 0.0;
    // No point yet: the receiver's position is what there is to show.
    if (!bounds.bValid && GpsPosition(east, north))
        bounds = {true, east, east, north, north};
    m_view = FitViewport(bounds, width(), height(), kFitMargin);
}

long CTrackView::SelectAt(const QPointF& pos)
{
    return Select(HitTest(m_model, m_view, pos.x(), pos.y(), kPickRadius));
}

long CTrackView::Select(long modelIndex)
{
    m_selected = modelIndex >= 0 && static_cast<size_t>(modelIndex) < m_model.Size() ? modelIndex : -1;
    m_selectedFields.clear();
    if (m_selected >= 0 && m_log != nullptr) {
        const uint32_t logIndex = m_model.At(static_cast<size_t>(m_selected)).nLogIndex;
        if (logIndex < m_log->GetCount())
            m_selectedFields = PointFields(m_log->GetAt(logIndex), logIndex + 1);
    }
    update();
    return m_selected;
}

QString CTrackView::SelectedText() const
{
    QStringList lines;
    for (const auto& [label, value] : m_selectedFields)
        lines << QString::fromStdString(label) + QStringLiteral(": ") + QString::fromStdString(value);
    return lines.join(QLatin1Char('\n'));
}

QPointF CTrackView::ScreenPos(size_t modelIndex) const
{
    double x = 0.0;
    double y = 0.0;
    m_view.ToScreen(m_model.At(modelIndex).dfEast, m_model.At(modelIndex).dfNorth, x, y);
    return {x, y};
}

int CTrackView::DepthClass(float depth) const
{
    const float range = m_model.MaxDepth() - m_model.MinDepth();
    if (!(range > 0.0f))
        return kDepthClasses / 2;
    const int c = static_cast<int>((depth - m_model.MinDepth()) / range * kDepthClasses);
    return std::clamp(c, 0, kDepthClasses - 1);
}

void CTrackView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_view.nWidth = std::max(width(), 1);
    m_view.nHeight = std::max(height(), 1);
    if (m_follow)
        Refit();
}

void CTrackView::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y();
    if (steps == 0)
        return;
    m_follow = false;
    const QPointF at = event->position();
    m_view.ZoomAt(at.x(), at.y(), std::pow(kWheelBase, steps));
    update();
    event->accept();
}

void CTrackView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    m_dragging = false;
    m_pressPos = m_lastPos = event->position();
}

void CTrackView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    const QPointF pos = event->position();
    if (!m_dragging && QLineF(pos, m_pressPos).length() >= kDragStart) {
        m_dragging = true;
        setCursor(Qt::ClosedHandCursor);
    }
    if (m_dragging) {
        m_follow = false;
        m_view.PanBy(pos.x() - m_lastPos.x(), pos.y() - m_lastPos.y());
        m_lastPos = pos;
        update();
    }
}

void CTrackView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    if (m_dragging)
        setCursor(Qt::OpenHandCursor);
    else
        SelectAt(event->position());
    m_dragging = false;
}

void CTrackView::keyPressEvent(QKeyEvent* event)
{
    const long last = static_cast<long>(m_model.Size()) - 1;
    switch (event->key()) {
    case Qt::Key_Home:
        Select(last >= 0 ? 0 : -1);
        break;
    case Qt::Key_End:
        Select(last);
        break;
    case Qt::Key_Left:
        Select(m_selected > 0 ? m_selected - 1 : (m_selected == 0 ? 0 : last));
        break;
    case Qt::Key_Right:
        Select(m_selected >= 0 ? std::min(m_selected + 1, last) : last);
        break;
    case Qt::Key_Escape:
        Select(-1);
        break;
    default:
        QWidget::keyPressEvent(event);
        break;
    }
}

void CTrackView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        FitToSurvey();
}

void CTrackView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    DrawMap(p);
    if (m_model.Size() == 0) {
        p.setPen(QColor(0x80, 0x80, 0x80));
        p.drawText(rect(), Qt::AlignCenter,
                   m_model.WithoutFix() > 0 ? QStringLiteral("No point with a position yet")
                                            : QStringLiteral("No points in this survey yet"));
    }
    p.setRenderHint(QPainter::Antialiasing);
    DrawTrack(p);
    DrawSelection(p);
    DrawGps(p);
    DrawNorthArrow(p);
    DrawScaleBar(p);
    DrawLegend(p);
}

void CTrackView::DrawTrack(QPainter& p)
{
    m_thinning.Build(m_model, m_view, kDotSize, kDotCell);
    m_line.clear();
    for (const TRACK_SCREEN_POINT& sp : m_thinning.Line())
        m_line.append(QPointF(sp.x, sp.y));
    for (QPolygonF& dots : m_dots)
        dots.clear();
    for (QPolygonF& dots : m_hollowDots)
        dots.clear();
    for (const TRACK_SCREEN_POINT& sp : m_thinning.Dots()) {
        const TRACK_POINT& tp = m_model.At(sp.nIndex);
        auto& set = tp.bBelowGate ? m_hollowDots : m_dots;
        set[static_cast<size_t>(DepthClass(tp.fDepth))].append(QPointF(sp.x, sp.y));
    }
    if (m_line.size() > 1) {
        p.setPen(QPen(kTrackLine, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(m_line);
    }
    DrawUtilities(p);
    for (int c = 0; c < kDepthClasses; ++c) {
        const QPolygonF& dots = m_dots[static_cast<size_t>(c)];
        if (dots.isEmpty())
            continue;
        p.setPen(QPen(DepthClassColour(c), kDotSize, Qt::SolidLine, Qt::RoundCap));
        p.drawPoints(dots);
    }
    // A void point: crossed out over its depth dot, which stays readable.
    if (m_log != nullptr) {
        p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1.5));
        for (const TRACK_SCREEN_POINT& sp : m_thinning.Dots()) {
            const uint32_t index = m_model.At(sp.nIndex).nLogIndex;
            if (index >= m_log->GetCount() || !m_log->GetRecord(index).bVoid)
                continue;
            const double r = kDotSize * 0.9;
            p.drawLine(QPointF(sp.x - r, sp.y - r), QPointF(sp.x + r, sp.y + r));
            p.drawLine(QPointF(sp.x - r, sp.y + r), QPointF(sp.x + r, sp.y - r));
        }
    }
    // A ring in the depth colour: the point is there, its position is not
    // what the gate asks for.
    p.setBrush(Qt::NoBrush);
    for (int c = 0; c < kDepthClasses; ++c) {
        const QPolygonF& dots = m_hollowDots[static_cast<size_t>(c)];
        if (dots.isEmpty())
            continue;
        p.setPen(QPen(DepthClassColour(c), 1.5));
        for (const QPointF& at : dots)
            p.drawEllipse(at, kDotSize / 2 - 0.75, kDotSize / 2 - 0.75);
    }
}

// Each utility segment as a wide line in its utility's colour under the depth
// dots, through the thinned track's vertices; a void point breaks no line but
// adds no vertex.
void CTrackView::DrawUtilities(QPainter& p)
{
    if (m_log == nullptr || m_utilities.empty())
        return;
    struct SEGMENT {
        const UTILITY_TAG* tag;
        QPolygonF line;
    };
    std::vector<SEGMENT> segments;
    for (const TRACK_SCREEN_POINT& sp : m_thinning.Line()) {
        const uint32_t index = m_model.At(sp.nIndex).nLogIndex;
        if (index >= m_log->GetCount())
            continue;
        const POINT_RECORD& record = m_log->GetRecord(index);
        if (!record.Utility.IsSet() || record.bVoid)
            continue;
        const UTILITY_TAG& u = record.Utility;
        auto it = std::find_if(segments.begin(), segments.end(), [&](const SEGMENT& s) {
            return s.tag->segment == u.segment && s.tag->type == u.type && s.tag->id == u.id;
        });
        if (it == segments.end()) {
            segments.push_back({&u, {}});
            it = segments.end() - 1;
        }
        it->line.append(QPointF(sp.x, sp.y));
    }
    for (const SEGMENT& segment : segments) {
        if (segment.line.size() < 2)
            continue;
        const uint32_t rgb = ColourRgb(segment.tag->colour);
        p.setPen(QPen(QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF), kDotSize * 0.8, Qt::SolidLine,
                      Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(segment.line);
    }
}

void CTrackView::DrawSelection(QPainter& p)
{
    if (m_selected < 0 || static_cast<size_t>(m_selected) >= m_model.Size())
        return;
    const QPointF at = ScreenPos(static_cast<size_t>(m_selected));
    p.setPen(QPen(Qt::black, 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(at, 7.0, 7.0);
    if (m_selectedFields.empty())
        return;
    const QString text = SelectedText();
    const QFontMetrics metrics(font());
    const QRect textRect = metrics.boundingRect(QRect(0, 0, 400, 400), Qt::AlignLeft, text);
    QRect box(8, 8 + m_fitButton->height() + 8, textRect.width() + 16, textRect.height() + 12);
    p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1.0));
    p.setBrush(kPanel);
    p.drawRoundedRect(box, 4, 4);
    p.setPen(kPanelText);
    p.drawText(box.adjusted(8, 6, -8, -6), Qt::AlignLeft | Qt::AlignTop, text);
}

void CTrackView::DrawGps(QPainter& p)
{
    double east = 0.0;
    double north = 0.0;
    if (!GpsPosition(east, north))
        return;
    double x = 0.0;
    double y = 0.0;
    m_view.ToScreen(east, north, x, y);
    const QPointF at(Clamp(x), Clamp(y));
    if (m_gps.nGpsFix != 0) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(kGpsFix.red(), kGpsFix.green(), kGpsFix.blue(), 0x40));
        p.drawEllipse(at, 14.0, 14.0);
        p.setPen(QPen(Qt::white, 2.0));
        p.setBrush(kGpsFix);
        p.drawEllipse(at, 7.0, 7.0);
    } else {
        // The last position heard, without a fix: hollow and dashed.
        p.setPen(QPen(kGpsNoFix, 2.0, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(at, 8.0, 8.0);
        p.drawLine(at + QPointF(-4, -4), at + QPointF(4, 4));
        p.drawLine(at + QPointF(-4, 4), at + QPointF(4, -4));
    }
}

void CTrackView::DrawNorthArrow(QPainter& p)
{
    const QPointF tip(width() - 24.0, 12.0);
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip + QPointF(8, 24));
    arrow.lineTo(tip + QPointF(0, 18));
    arrow.lineTo(tip + QPointF(-8, 24));
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.0));
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawPath(arrow);
    p.drawText(QRectF(tip.x() - 10, tip.y() + 26, 20, 16), Qt::AlignCenter, QStringLiteral("N"));
}

void CTrackView::DrawScaleBar(QPainter& p)
{
    const double metres = NiceLength(120.0 / m_view.dfScale);
    const double length = metres * m_view.dfScale;
    const double right = width() - 16.0;
    const double base = height() - 16.0;
    const QPointF left(right - length, base);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(left, QPointF(right, base));
    p.drawLine(left, left - QPointF(0, 6));
    p.drawLine(QPointF(right, base), QPointF(right, base - 6));
    p.drawText(QRectF(left.x(), base - 24, length, 16), Qt::AlignCenter, LengthText(metres));
}

QString CTrackView::GpsLegendText() const
{
    if (!m_bHaveGps)
        return QStringLiteral("GPS: no position yet");
    return m_gps.nGpsFix != 0 ? QStringLiteral("GPS: fix, %1 satellites").arg(m_gps.nNoSats)
                              : QStringLiteral("GPS: no fix");
}

void CTrackView::SetFieldScale(int pointSize, int touchPixels)
{
    QFont larger = font();
    larger.setPointSize(pointSize);
    setFont(larger);
    m_fitButton->setMinimumSize(touchPixels, touchPixels);
    m_fitButton->adjustSize();
    update();
}

void CTrackView::DrawLegend(QPainter& p)
{
    const QFontMetrics metrics(font());
    const int line = metrics.height();
    // The swatches and the box grow with the font (the field scale).
    const int swatch = std::max(14, line);
    QStringList notes;
    if (m_model.WithoutFix() > 0)
        notes << QStringLiteral("%1 point%2 without fix (not drawn)")
                     .arg(m_model.WithoutFix())
                     .arg(m_model.WithoutFix() == 1 ? "" : "s");
    if (m_model.BelowGate() > 0)
        notes << QStringLiteral("\u25CB hollow: %1 below the quality gate").arg(m_model.BelowGate());
    notes << GpsLegendText();
    if (m_map)
        notes << QStringLiteral("Map: %1").arg(QFileInfo(MapPath()).fileName());
    const bool scale = m_model.Size() > 0;
    int width = std::max(kDepthClasses * swatch + 8 * 2, 220);
    for (const QString& note : notes)
        width = std::max(width, metrics.horizontalAdvance(note) + 8 * 2);
    for (const auto& utility : m_utilities)
        width = std::max(width, swatch + 8 * 3 + metrics.horizontalAdvance(QString::fromStdString(utility.first)));
    const int utilitiesHeight = static_cast<int>(m_utilities.size()) * std::max(line, swatch);
    const int height = 8 + (scale ? line + swatch + line + 4 : 0) + utilitiesHeight + notes.size() * line + 8;
    const QRect box(8, this->height() - height - 8, width, height);
    p.setPen(QPen(QColor(0xa0, 0xa0, 0xa0), 1.0));
    p.setBrush(kPanel);
    p.drawRoundedRect(box, 4, 4);
    p.setPen(kPanelText);
    int y = box.top() + 8;
    if (scale) {
        p.drawText(QRect(box.left() + 8, y, width - 16, line), Qt::AlignLeft, QStringLiteral("Depth"));
        y += line;
        p.setPen(Qt::NoPen);
        for (int c = 0; c < kDepthClasses; ++c) {
            p.setBrush(DepthClassColour(c));
            p.drawRect(box.left() + 8 + c * swatch, y, swatch, swatch);
        }
        y += swatch;
        p.setPen(kPanelText);
        const int barRight = box.left() + 8 + kDepthClasses * swatch;
        const int half = kDepthClasses * swatch / 2;
        p.drawText(QRect(box.left() + 8, y, half, line), Qt::AlignLeft,
                   QStringLiteral("%1 m").arg(static_cast<double>(m_model.MinDepth()), 0, 'f', 2));
        p.drawText(QRect(barRight - half, y, half, line), Qt::AlignRight,
                   QStringLiteral("%1 m").arg(static_cast<double>(m_model.MaxDepth()), 0, 'f', 2));
        y += line + 4;
    }
    for (const auto& [name, colour] : m_utilities) {
        const uint32_t rgb = ColourRgb(colour);
        p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1.0));
        p.setBrush(QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
        p.drawRect(box.left() + 8, y + (std::max(line, swatch) - swatch) / 2, swatch, swatch / 2);
        p.setPen(kPanelText);
        p.drawText(QRect(box.left() + 16 + swatch, y, width - 24 - swatch, std::max(line, swatch)),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(name));
        y += std::max(line, swatch);
    }
    for (const QString& note : notes) {
        p.drawText(QRect(box.left() + 8, y, width - 16, line), Qt::AlignLeft, note);
        y += line;
    }
}

void CTrackView::SetMap(std::unique_ptr<IMapBackdrop> map)
{
    m_map.reset();
    m_mapPicture = QImage();
    m_mapImage = MAP_IMAGE{};
    m_mapAsked = false;
    m_mapProblemShown = false;
    if (map) {
        // Called on the worker's thread: it only posts.
        m_map = std::make_unique<CMapWorker>(std::move(map), [this] {
            QMetaObject::invokeMethod(this, &CTrackView::OnMapReady, Qt::QueuedConnection);
        });
    }
    update();
}

QString CTrackView::MapPath() const
{
    return m_map ? QString::fromStdString(m_map->Path()) : QString();
}

bool CTrackView::MapCurrent() const
{
    return m_map && m_model.HasOrigin() && !m_mapPicture.isNull() && m_mapImage.view.Covers(MapView(0.0));
}

MAP_VIEW CTrackView::MapView(double margin) const
{
    MAP_VIEW view;
    view.dfOriginLat = m_model.OriginLat();
    view.dfOriginLong = m_model.OriginLong();
    view.dfCentreEast = m_view.dfCentreEast;
    view.dfCentreNorth = m_view.dfCentreNorth;
    view.dfScale = m_view.dfScale;
    view.nWidth = m_view.nWidth + 2 * static_cast<int>(std::lround(m_view.nWidth * margin));
    view.nHeight = m_view.nHeight + 2 * static_cast<int>(std::lround(m_view.nHeight * margin));
    return view;
}

void CTrackView::DrawMap(QPainter& p)
{
    // Without an origin the view has no place on earth yet.
    if (!m_map || !m_model.HasOrigin())
        return;
    const MAP_VIEW shown = MapView(0.0);
    if (!m_mapAsked || !m_mapAsk.Covers(shown)) {
        m_mapAsk = MapView(kMapMargin);
        m_mapAsked = true;
        m_map->Request(m_mapAsk);
    }
    const MAP_VIEW& had = m_mapImage.view;
    if (m_mapPicture.isNull() || !had.SamePlane(shown))
        return;
    // The old picture where it lies now, cut to the widget first: zoomed far
    // in, the whole of it would be millions of pixels across.
    double left = 0.0, top = 0.0, right = 0.0, bottom = 0.0;
    m_view.ToScreen(had.West(), had.North(), left, top);
    m_view.ToScreen(had.East(), had.South(), right, bottom);
    const QRectF target(QPointF(left, top), QPointF(right, bottom));
    const QRectF visible = target.intersected(QRectF(rect()));
    if (visible.isEmpty())
        return;
    const double sx = had.nWidth / target.width();
    const double sy = had.nHeight / target.height();
    const QRectF source((visible.left() - left) * sx, (visible.top() - top) * sy, visible.width() * sx,
                        visible.height() * sy);
    p.drawImage(visible, m_mapPicture, source);
}

void CTrackView::OnMapReady()
{
    if (!m_map)
        return;
    // The worker reuses the buffer of the picture given back.
    const QImage held = std::exchange(m_mapPicture, QImage());
    if (!m_map->Take(m_mapImage)) {
        m_mapPicture = held;
        return;
    }
    if (m_mapImage.result != MapRender::Drawn) {
        if (!m_mapProblemShown) {
            m_mapProblemShown = true;
            emit MapProblem(QStringLiteral("The map %1 cannot be drawn: %2")
                                .arg(MapPath(), QString::fromStdString(m_mapImage.error)));
        }
        update();
        return;
    }
    const MAP_VIEW& view = m_mapImage.view;
    m_mapPicture = QImage(reinterpret_cast<const uchar*>(m_mapImage.pixels.data()), view.nWidth, view.nHeight,
                          view.nWidth * 4, QImage::Format_ARGB32_Premultiplied);
    update();
}
