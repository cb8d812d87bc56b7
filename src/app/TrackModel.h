// The survey as the window's track view draws it, without any drawing: every
// point with a fix projected once, when it arrives, into a local east/north
// plane in metres; the viewport that maps that plane to pixels; fit, zoom, pan
// and hit-testing; and the values a point shows when it is clicked or is the
// last one logged.
//
// The plane is an equirectangular projection about the first position the
// model gets (origin): east = R * dLong * cos(origin latitude), north = R *
// dLat, R the mean earth radius, dLong taken the short way round so that a
// survey across the 180th meridian stays in one piece. Over the few kilometres
// a crew walks in a day the error is below a part in a thousand of the
// distance, and nothing has to be computed again when points are added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "link/SurveyPoint.h"

// A point of the survey in the plane.
struct TRACK_POINT {
    double dfEast = 0.0;  // metres east of the origin
    double dfNorth = 0.0; // metres north of the origin
    float fDepth = 0.0f;  // metres
    uint32_t nLogIndex = 0; // index of the point in the survey log
    bool bBelowGate = false; // below the quality gate: drawn hollow
};

struct TRACK_BOUNDS {
    bool bValid = false; // false: nothing to bound
    double dfMinEast = 0.0, dfMaxEast = 0.0;
    double dfMinNorth = 0.0, dfMaxNorth = 0.0;
};

class CTrackModel {
public:
    // Empties the model and forgets the origin.
    void Reset();
    // Takes the next point of the survey log (signed degrees, as the log keeps
    // them). Without a fix it is only counted.
    void Add(const SURVEY_POINT& point, uint32_t logIndex);
    // The first position the model gets is its origin: a GPS position seen
    // before the first fixed point anchors the plane too.
    void SetOriginIfNone(double latitude, double longitude);

    size_t Size() const { return m_points.size(); }
    const TRACK_POINT& At(size_t index) const { return m_points[index]; }
    size_t WithoutFix() const { return m_withoutFix; }
    // Points drawn hollow (below the quality gate): the legend keys them.
    size_t BelowGate() const { return m_belowGate; }
    // Points taken, with and without a fix.
    size_t Taken() const { return m_points.size() + m_withoutFix; }
    bool HasOrigin() const { return m_bOrigin; }
    // The origin, signed degrees (0 while there is none).
    double OriginLat() const { return m_dfOriginLat; }
    double OriginLong() const { return m_dfOriginLong; }
    const TRACK_BOUNDS& Bounds() const { return m_bounds; }
    // Depth range of the points drawn (metres); both 0 for an empty model.
    float MinDepth() const { return m_fMinDepth; }
    float MaxDepth() const { return m_fMaxDepth; }

    // Signed degrees to the plane; false while there is no origin.
    bool Project(double latitude, double longitude, double& east, double& north) const;

private:
    std::vector<TRACK_POINT> m_points;
    size_t m_withoutFix = 0;
    size_t m_belowGate = 0;
    bool m_bOrigin = false;
    double m_dfOriginLat = 0.0;
    double m_dfOriginLong = 0.0;
    double m_dfEastPerDegree = 0.0;
    TRACK_BOUNDS m_bounds;
    float m_fMinDepth = 0.0f;
    float m_fMaxDepth = 0.0f;
};

// Maps the plane to the widget: the plane point at the widget's centre and the
// scale. Screen y grows downwards, north upwards.
struct TRACK_VIEWPORT {
    double dfCentreEast = 0.0;
    double dfCentreNorth = 0.0;
    double dfScale = 10.0; // pixels per metre
    int nWidth = 1;
    int nHeight = 1;

    // Scale limits: 0.1 mm per pixel to 10 km per pixel.
    static constexpr double kMaxScale = 1e4;
    static constexpr double kMinScale = 1e-4;

    void ToScreen(double east, double north, double& x, double& y) const;
    void ToPlane(double x, double y, double& east, double& north) const;
    // Zooms by factor (above 1 closer) keeping the plane point under (x, y) there.
    void ZoomAt(double x, double y, double factor);
    // Moves the picture by (dx, dy) pixels.
    void PanBy(double dx, double dy);
};

// A point of the track in widget pixels; index: its index in the model.
struct TRACK_SCREEN_POINT {
    double x = 0.0;
    double y = 0.0;
    uint32_t nIndex = 0;
};

// What of the track a repaint draws: the line's vertices and the dots, thinned
// in screen space. The line keeps one vertex per pixel it passes through, and
// of a run of vertices that all lie beyond the same edge of the view (widened
// by margin pixels) only the first and the last, since the run can only draw
// out there: zoomed close into a long survey that is nearly all of it. Dots are
// kept only inside the view, one per cell of dotCell x dotCell pixels, the
// first point of the log in that cell. Points come in screen coordinates held
// within a few million pixels: the raster engines work in fixed point.
// Buffers are kept between builds, so a repaint allocates nothing once they
// have grown.
class CTrackThinning {
public:
    void Build(const CTrackModel& model, const TRACK_VIEWPORT& viewport, double margin, int dotCell);
    const std::vector<TRACK_SCREEN_POINT>& Line() const { return m_line; }
    const std::vector<TRACK_SCREEN_POINT>& Dots() const { return m_dots; }

private:
    std::vector<TRACK_SCREEN_POINT> m_line;
    std::vector<TRACK_SCREEN_POINT> m_dots;
    std::vector<uint8_t> m_occupied;
};

// Smallest extent a fit shows (metres): one point, or points on top of each
// other, still get a sensible scale.
constexpr double kFitMinimumSpan = 10.0;

// The viewport of width x height pixels that shows bounds whole, centred, with
// margin pixels free on every side. Invalid bounds: centre on the origin.
TRACK_VIEWPORT FitViewport(const TRACK_BOUNDS& bounds, int width, int height, int margin);

// Index (into the model) of the drawn point nearest to (x, y) within radius
// pixels; of two at the same distance the later one. -1 when none is that near.
long HitTest(const CTrackModel& model, const TRACK_VIEWPORT& viewport, double x, double y, double radius);

// What a point shows, as label and value pairs in this order: Point (its
// number in the log, from 1), Depth, Current, Signal, Frequency, Mode, Time
// (the locator's clock), Fix, Accuracy (horizontal, from the receiver's GST;
// "unknown" without). Depth in metres and current in milliamperes
// whatever the locator's protocol sent; numbers with the C locale's point.
std::vector<std::pair<std::string, std::string>> PointFields(const SURVEY_POINT& point, size_t number);
// Depth of a point in metres (protocol ids 2 and 3 send centimetres).
float DepthMetres(const SURVEY_POINT& point);
