#include "report/ReportPdf.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <set>

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QPolygonF>

#include "point/Accuracy.h"
#include "point/ColourNames.h"
#include "point/Heights.h"

namespace {

// Paper in millimetres. The map frame leaves room for the northings at its
// left, the eastings under it and the legend below.
constexpr double kMargin = 15.0;
constexpr double kFooter = 8.0;
constexpr double kLegendHeight = 52.0;
constexpr double kGridLabelRoom = 8.0;
constexpr int kResolution = 300; // dots per inch of the page's coordinates
// A survey that needs a smaller scale than this on one sheet is cut into
// sheets at it (or the next smaller scale that keeps the sheets few).
constexpr double kLargestSheetScale = 1000.0;
constexpr size_t kMostSheets = 40;
// Map rasters are resampled at this many dots per inch of paper.
constexpr double kRasterDpi = 150.0;

const QColor kInk(25, 25, 25);
const QColor kPlainPoint(110, 110, 110);
const QColor kRule(170, 170, 170);
const QColor kHeadingFill(225, 228, 232);
const QColor kStripe(244, 245, 247);

QString Q(const std::string& text) { return QString::fromStdString(text); }

// No shaping: a ligature ("fi" as one glyph) would reach a reader of the
// PDF's text as another character, and shaping costs time on every cell.
QFont ReportFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

// "1 point", "2 points".
std::string Count(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The colours every drawing of the survey uses: the report's lines match the
// window's and the GIS styles'.
QColor ColourOf(const std::string& name)
{
    const uint32_t rgb = ColourRgb(name);
    return QColor(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>(rgb & 0xFF));
}

// 1, 2, 2.5, 5 times a power of ten: at least value.
double NiceAtLeast(double value)
{
    const double power = std::pow(10.0, std::floor(std::log10(std::max(value, 1e-9))));
    for (double step : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (step * power >= value * (1.0 - 1e-9))
            return step * power;
    }
    return 10.0 * power;
}
// ... at most value.
double NiceAtMost(double value)
{
    const double power = std::pow(10.0, std::floor(std::log10(std::max(value, 1e-9))));
    for (double step : {10.0, 5.0, 2.5, 2.0, 1.0}) {
        if (step * power <= value * (1.0 + 1e-9))
            return step * power;
    }
    return power;
}

std::string ScaleText(double scale)
{
    char text[32];
    std::snprintf(text, sizeof text, "1:%.0f", scale);
    return text;
}

std::string Grouped(double value)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

struct SHEET {
    double x0 = 0.0, y0 = 0.0; // ground metres at the frame's lower left
    double scale = 1000.0;
    int number = 0;            // 0: the index of all sheets
};

class CReportPainter {
public:
    CReportPainter(const REPORT_MODEL& model, const REPORT_PAPER& paper, QPdfWriter& writer)
        : m_model(model), m_paper(paper), m_writer(writer)
    {
        m_dpmm = kResolution / 25.4;
        const QSizeF size = QPageSize(paper.bLetter ? QPageSize::Letter : QPageSize::A4).size(QPageSize::Millimeter);
        m_width = size.width();
        m_height = size.height();
    }

    bool Run(std::string& error);

private:
    double M(double mm) const { return mm * m_dpmm; }
    QRectF R(double x, double y, double w, double h) const { return QRectF(M(x), M(y), M(w), M(h)); }
    void SetFont(double points, bool bold = false);
    void Text(double x, double y, double w, double h, int flags, const std::string& text);
    // Word-wrapped paragraph from the cursor; the cursor moves under it.
    void Paragraph(const std::string& text, double points = 9.0, bool bold = false, double gapAfter = 1.6);
    void NewPage();
    void Footer();
    void Need(double mm);

    void TitleBlock();
    void UtilityTable();
    void Statement();
    void PointTables();
    bool Maps(std::string& error);
    bool DrawSheet(const SHEET& sheet, size_t sheetCount, const std::vector<SHEET>& sheets, std::string& error);
    void DrawNorthArrow();
    void DrawScaleBar(double barLength, double mpm);
    void DrawGrid(const SHEET& sheet);
    void DrawLegend();
    struct FRAME {
        double l, t, w, h; // mm
    };
    // Where the map frame lies on a map page.
    FRAME SheetFrame() const
    {
        return {kMargin + kGridLabelRoom, kMargin + 10.0, m_width - 2 * kMargin - kGridLabelRoom,
                m_height - 2 * kMargin - kFooter - kLegendHeight - 12.0 - kGridLabelRoom};
    }

    struct COLUMN {
        const char* heading;
        double width; // mm
        bool bRight;
    };
    using CellsOf = std::function<void(size_t row, std::vector<std::string>& cells)>;
    void Table(const std::string& title, const std::vector<COLUMN>& columns, size_t rows, const CellsOf& cells,
               const std::function<QColor(size_t)>& swatch = nullptr,
               const std::function<bool(size_t)>& greyed = nullptr);

    const REPORT_MODEL& m_model;
    const REPORT_PAPER& m_paper;
    QPdfWriter& m_writer;
    QPainter m_painter;
    double m_dpmm = 1.0;
    double m_width = 210.0, m_height = 297.0;
    double m_y = kMargin; // the cursor, mm from the top
    int m_page = 0;
    std::string m_footer;
};

void CReportPainter::SetFont(double points, bool bold)
{
    QFont font = ReportFont();
    font.setPointSizeF(points);
    font.setBold(bold);
    m_painter.setFont(font);
}

void CReportPainter::Text(double x, double y, double w, double h, int flags, const std::string& text)
{
    m_painter.drawText(R(x, y, w, h), flags, Q(text));
}

void CReportPainter::Paragraph(const std::string& text, double points, bool bold, double gapAfter)
{
    SetFont(points, bold);
    const double width = m_width - 2 * kMargin;
    const QRectF box = m_painter.boundingRect(R(kMargin, 0, width, 1000), Qt::TextWordWrap | Qt::AlignLeft, Q(text));
    const double height = box.height() / m_dpmm;
    Need(height);
    Text(kMargin, m_y, width, height + 1.0, Qt::TextWordWrap | Qt::AlignLeft, text);
    m_y += height + gapAfter;
}

void CReportPainter::NewPage()
{
    if (m_page > 0)
        m_writer.newPage();
    ++m_page;
    m_y = kMargin;
    Footer();
}

void CReportPainter::Footer()
{
    m_painter.setPen(QPen(kRule, M(0.2)));
    m_painter.drawLine(QPointF(M(kMargin), M(m_height - kMargin)), QPointF(M(m_width - kMargin), M(m_height - kMargin)));
    m_painter.setPen(kInk);
    SetFont(7.0);
    Text(kMargin, m_height - kMargin + 0.8, 150, 4, Qt::AlignLeft | Qt::AlignTop, m_footer);
    Text(m_width - kMargin - 40, m_height - kMargin + 0.8, 40, 4, Qt::AlignRight | Qt::AlignTop,
         "page " + std::to_string(m_page));
}

void CReportPainter::Need(double mm)
{
    if (m_y + mm > m_height - kMargin - kFooter + 4.0)
        NewPage();
}

bool CReportPainter::Run(std::string& error)
{
    m_writer.setResolution(kResolution);
    m_writer.setPageSize(QPageSize(m_paper.bLetter ? QPageSize::Letter : QPageSize::A4));
    m_writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    m_writer.setTitle(QStringLiteral("Utility survey report"));
    m_writer.setCreator(Q("fieldbook " + m_paper.version));
    if (!m_painter.begin(&m_writer)) {
        error = "the PDF cannot be started";
        return false;
    }
    const std::string& ticket = m_model.job.ticket;
    m_footer = "Utility survey report" + (ticket.empty() ? std::string() : " · ticket " + ticket) + " · fieldbook " +
               m_paper.version;
    NewPage();
    TitleBlock();
    UtilityTable();
    Statement();
    if (!Maps(error)) {
        m_painter.end();
        return false;
    }
    NewPage();
    PointTables();
    if (!m_painter.end()) {
        error = "the PDF cannot be finished";
        return false;
    }
    return true;
}

void CReportPainter::TitleBlock()
{
    m_painter.setPen(kInk);
    Paragraph("Utility survey report", 20.0, true, 2.0);
    const JOB_INFO& job = m_model.job;
    Paragraph(job.site.empty() ? "Site not recorded" : job.site, 12.0, false, 5.0);

    // Who and what measured, as far as the log tells.
    std::set<int> protocols;
    std::set<std::string> sources;
    size_t points = 0;
    for (const REPORT_POINT& p : m_model.points) {
        protocols.insert(p.pLogged->Point.LocateData.nProtocolId);
        if (const char* source = PositionSourceText(p.pLogged->Point.Quality.nSource))
            sources.insert(source);
        ++points;
    }
    std::string protocolText;
    for (int id : protocols)
        protocolText += (protocolText.empty() ? "" : ", ") + std::to_string(id);
    std::string sourceText;
    for (const std::string& s : sources)
        sourceText += (sourceText.empty() ? "" : ", ") + s;
    std::string logs;
    for (const REPORT_SURVEY& s : m_model.surveys)
        logs += (logs.empty() ? "" : ", ") + s.log.logFile + " (" + std::to_string(s.points.size()) + " points)";
    std::string dates = m_model.firstDate.empty() ? "not recorded" : m_model.firstDate;
    if (!m_model.lastDate.empty() && m_model.lastDate != m_model.firstDate)
        dates += " to " + m_model.lastDate;
    char made[40] = "";
    const time_t now = ::time(nullptr);
    struct tm utc {};
    if (::gmtime_r(&now, &utc) != nullptr)
        std::strftime(made, sizeof made, "%Y-%m-%d %H:%M UTC", &utc);

    auto orNot = [](const std::string& text) { return text.empty() ? std::string("not recorded") : text; };
    const std::pair<const char*, std::string> rows[] = {
        {"Ticket", orNot(job.ticket)},
        {"Client", orNot(job.client)},
        {"Site", orNot(job.site)},
        {"Crew", orNot(job.crew)},
        {"Survey dates", dates},
        {"Survey logs", logs},
        {"Locator", "did not identify itself in the log (protocol " + protocolText + ")"},
        {"GPS receiver", "did not identify itself in the log" +
                             (sourceText.empty() ? std::string() : " (positions from: " + sourceText + ")")},
        {"Map grid", m_model.crsName + " (" + m_model.crs + ")"},
        {"Report made", std::string(made) + " by fieldbook " + m_paper.version},
    };
    const double keyWidth = 34.0, valueWidth = m_width - 2 * kMargin - keyWidth;
    for (const auto& [key, value] : rows) {
        SetFont(9.5, false);
        const QRectF box =
            m_painter.boundingRect(R(0, 0, valueWidth, 100), Qt::TextWordWrap | Qt::AlignLeft, Q(value));
        const double h = std::max(5.0, box.height() / m_dpmm + 1.2);
        Need(h);
        m_painter.fillRect(R(kMargin, m_y, keyWidth - 1.0, h - 0.6), kHeadingFill);
        SetFont(9.5, true);
        Text(kMargin + 1.5, m_y + 0.6, keyWidth - 2.0, h, Qt::AlignLeft | Qt::AlignTop, key);
        SetFont(9.5, false);
        Text(kMargin + keyWidth + 1.0, m_y + 0.6, valueWidth - 1.0, h, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop,
             value);
        m_y += h;
    }
    m_y += 6.0;
}

void CReportPainter::Table(const std::string& title, const std::vector<COLUMN>& columns, size_t rows,
                           const CellsOf& cells, const std::function<QColor(size_t)>& swatch,
                           const std::function<bool(size_t)>& greyed)
{
    constexpr double kRow = 4.4, kHeading = 8.0, kTitle = 7.0;
    double total = 0.0;
    for (const COLUMN& c : columns)
        total += c.width;
    const double left = kMargin + std::max(0.0, (m_width - 2 * kMargin - total) / 2.0);
    const double bottom = m_height - kMargin - kFooter + 4.0;
    bool bHeadings = false;
    std::vector<std::string> row;
    QFont cellFont = ReportFont();
    cellFont.setPointSizeF(6.5);
    const QFontMetricsF metrics(cellFont, &m_writer);
    auto headings = [&](bool continued) {
        m_painter.setPen(kInk);
        SetFont(11.0, true);
        Text(kMargin, m_y, m_width - 2 * kMargin, kTitle, Qt::AlignLeft | Qt::AlignVCenter,
             continued ? title + " (continued)" : title);
        m_y += kTitle;
        m_painter.fillRect(R(left, m_y, total, kHeading), kHeadingFill);
        SetFont(7.0, true);
        double x = left;
        for (const COLUMN& c : columns) {
            Text(x + 0.8, m_y, c.width - 1.6, kHeading,
                 Qt::TextWordWrap | Qt::AlignVCenter | (c.bRight ? Qt::AlignRight : Qt::AlignLeft), c.heading);
            x += c.width;
        }
        m_y += kHeading;
        m_painter.setFont(cellFont);
        bHeadings = true;
    };
    if (m_y + kTitle + kHeading + 2 * kRow > bottom)
        NewPage();
    headings(false);
    for (size_t i = 0; i < rows; ++i) {
        if (m_y + kRow > bottom) {
            NewPage();
            headings(true);
        }
        if (i % 2 == 1)
            m_painter.fillRect(R(left, m_y, total, kRow), kStripe);
        row.clear();
        cells(i, row);
        m_painter.setPen(greyed && greyed(i) ? QColor(130, 130, 130) : kInk);
        double x = left;
        for (size_t c = 0; c < columns.size() && c < row.size(); ++c) {
            double textLeft = x + 0.8;
            if (c == 0 && swatch) {
                m_painter.fillRect(R(x + 0.8, m_y + 1.0, 2.4, kRow - 2.0), swatch(i));
                m_painter.setPen(QPen(kInk, M(0.1)));
                m_painter.drawRect(R(x + 0.8, m_y + 1.0, 2.4, kRow - 2.0));
                m_painter.setPen(greyed && greyed(i) ? QColor(130, 130, 130) : kInk);
                textLeft += 3.2;
            }
            const double width = x + columns[c].width - 0.8 - textLeft;
            QString text = Q(row[c]);
            if (text.size() > 6 && metrics.horizontalAdvance(text) > M(width))
                text = metrics.elidedText(text, Qt::ElideRight, M(width));
            m_painter.drawText(R(textLeft, m_y, width, kRow),
                               Qt::AlignVCenter | (columns[c].bRight ? Qt::AlignRight : Qt::AlignLeft), text);
            x += columns[c].width;
        }
        m_y += kRow;
    }
    (void)bHeadings;
    m_painter.setPen(QPen(kRule, M(0.2)));
    m_painter.drawLine(QPointF(M(left), M(m_y)), QPointF(M(left + total), M(m_y)));
    m_painter.setPen(kInk);
    m_y += 5.0;
}

std::string DepthRange(const std::optional<double>& low, const std::optional<double>& high)
{
    if (!low || !high)
        return "no depth";
    return MetresText(low) + " to " + MetresText(high);
}

void CReportPainter::UtilityTable()
{
    const auto& utilities = m_model.utilities;
    if (utilities.empty()) {
        Paragraph("Utilities", 11.0, true);
        Paragraph("No point of this survey was given a utility.");
        return;
    }
    Table("Utilities",
          {{"Type", 30, false},
           {"Id", 34, false},
           {"Owner", 28, false},
           {"Quality level", 16, false},
           {"Points", 13, true},
           {"Length", 19, true},
           {"Depth range", 40, false}},
          utilities.size(),
          [&](size_t i, std::vector<std::string>& cells) {
              const REPORT_UTILITY& u = utilities[i];
              cells = {u.tag.type,
                       u.tag.id,
                       u.tag.owner,
                       u.tag.qualityLevel.empty() ? "not recorded" : u.tag.qualityLevel,
                       std::to_string(u.points),
                       MetresText(u.dfLength, 1),
                       DepthRange(u.MinDepth, u.MaxDepth)};
          },
          [&](size_t i) { return ColourOf(utilities[i].tag.colour); });
}

void CReportPainter::Statement()
{
    const REPORT_STATEMENT& s = m_model.statement;
    Need(40.0);
    Paragraph("Quality and method statement", 11.0, true, 2.0);
    std::string fixes;
    for (const auto& [text, count] : s.fixCounts)
        fixes += (fixes.empty() ? "" : ", ") + text + " " + std::to_string(count);
    Paragraph("Points: " + Count(s.measured, "measured point", "measured points") +
              (s.voids > 0 ? "; " + Count(s.voids, "void point", "void points") +
                                 " (wrong presses, kept in the log, left out of every line and of "
                                 "these figures)"
                           : std::string()) +
              ".");
    Paragraph("Counts by fix type: " + (fixes.empty() ? std::string("none") : fixes) + ".");
    auto accuracy = [](const char* what, const std::optional<double>& median, const std::optional<double>& worst,
                       size_t count, const char* how) {
        if (!median)
            return std::string(what) + " at 95 %: not reported by the receiver.";
        return std::string(what) + " at 95 %: median " + MetresText(median, 3) + ", worst " + MetresText(worst, 3) +
               " (" + std::to_string(count) + " points; " + how + ").";
    };
    Paragraph(accuracy("Horizontal accuracy", s.H95Median, s.H95Worst, s.h95Count,
                       "1.7308 times the receiver's one-sigma horizontal error (DRMS)"));
    Paragraph(accuracy("Vertical accuracy", s.V95Median, s.V95Worst, s.v95Count,
                       "1.96 times the receiver's one-sigma height error"));
    bool bGate = false;
    for (const REPORT_POINT& p : m_model.points)
        bGate = bGate || p.pLogged->Point.Quality.Has(QUALITY_CHECKED);
    Paragraph(bGate ? "Quality gate: " + Count(s.belowGate, "point", "points") +
                          " below the crew's quality gate, marked with a triangle on the map and listed below."
                    : std::string("Quality gate: none was set during the survey."));
    std::string stations;
    for (const std::string& id : s.stations)
        stations += (stations.empty() ? "" : ", ") + id;
    std::string sources;
    for (const std::string& one : s.sources)
        sources += (sources.empty() ? "" : ", ") + one;
    Paragraph("Correction source: " +
              (stations.empty() ? std::string("no differential reference station was reported")
                                : "reference station " + stations) +
              (s.CorrectionAgeWorst ? "; correction age at most " + DecimalText(s.CorrectionAgeWorst, 1) + " s"
                                    : std::string()) +
              (sources.empty() ? std::string() : "; positions from the " + sources) +
              ". Base distance: not recorded in the survey log.");
    std::string geoids, antennas;
    for (const std::string& g : s.geoids)
        geoids += (geoids.empty() ? "" : ", ") + g;
    for (const std::string& a : s.antennas)
        antennas += (antennas.empty() ? "" : ", ") + a;
    Paragraph("Geoid model: " + (geoids.empty() ? std::string("not recorded") : geoids) + ".");
    Paragraph("Antenna height: " + (antennas.empty() ? std::string("not recorded") : antennas) + ".");
    Paragraph("Map grid: " + m_model.crsName + " (" + m_model.crs + ")" +
              (m_model.bCrsChosen ? std::string(", as asked for.")
                                  : std::string(", the UTM zone of the survey (no grid was asked for).")));
    m_y += 2.0;
    Paragraph("Quality levels and methods", 11.0, true);
    if (m_model.utilities.empty())
        Paragraph("No point of this survey was given a utility.");
    std::set<std::string> levels;
    for (const REPORT_UTILITY& u : m_model.utilities) {
        std::string methods;
        for (const std::string& m : u.methods)
            methods += (methods.empty() ? "" : ", ") + m;
        Paragraph(u.tag.type + " " + u.tag.id + ": quality level " +
                  (u.tag.qualityLevel.empty() ? std::string("not recorded") : u.tag.qualityLevel) + ", located by " +
                  (methods.empty() ? std::string("a method not recorded") : methods) + ".");
        levels.insert(u.tag.qualityLevel);
    }
    for (const std::string& level : levels) {
        if (!level.empty() && level.size() == 1)
            Paragraph("Quality level " + level + ": " + QualityLevelMeaning(level) + ".");
    }
    Paragraph("Note: depths are the locator's estimates at the time of the survey.", 9.0, true, 6.0);
}

void CReportPainter::PointTables()
{
    size_t offset = 0;
    for (const REPORT_SURVEY& survey : m_model.surveys) {
        const size_t first = offset;
        Table("Points of " + survey.log.logFile,
              {{"Log", 13, true},
               {"Time UTC", 15, false},
               {"Utility", 27, false},
               {"Depth (m)", 13, true},
               {"Utility elevation (m)", 19, true},
               {"Fix type", 29, false},
               {"HAccuracy95 (m)", 18, true},
               {"Correction age (s)", 17, true},
               {"Void", 8, false},
               {"Note", 21, false}},
              survey.points.size(),
              [&](size_t i, std::vector<std::string>& cells) {
                  const REPORT_POINT& rp = m_model.points[first + i];
                  const LOGGED_POINT& p = *rp.pLogged;
                  const GPS_QUALITY& q = p.Point.Quality;
                  // The headings carry the units.
                  const std::string depth = DecimalText(PointDepthMetres(p.Point), 2);
                  const std::string elevation = DecimalText(p.Heights.UtilityElevation, 2);
                  const std::string h95 = DecimalText(HAccuracy95(q), 3);
                  const std::string age =
                      DecimalText(q.Has(QUALITY_CORRECTION_AGE) ? std::optional<double>(q.dfCorrectionAge)
                                                                : std::nullopt,
                                  1);
                  std::string fix = FixText(p);
                  if (rp.bBelowGate)
                      fix += ", below gate";
                  cells = {std::to_string(p.Point.LocateData.u32EepromFileIndex), UtcTimeText(p), rp.utility, depth,
                           elevation, fix, h95, age, p.Record.bVoid ? "void" : "", p.Record.Note};
              },
              nullptr, [&](size_t i) { return m_model.points[first + i].pLogged->Record.bVoid; });
        offset += survey.points.size();
    }
}

// The sheets a survey needs: one at the largest nice scale that holds it, or
// several at kLargestSheetScale (or smaller, to keep them few), each a frame
// of ground beside the next, only those with points.
std::vector<SHEET> PlanSheets(const REPORT_MODEL& model, double frameW, double frameH, SHEET& index)
{
    double minX = model.minX, maxX = model.maxX, minY = model.minY, maxY = model.maxY;
    // Room around the survey, and at least 10 m of ground.
    const double padX = std::max(5.0, (maxX - minX) * 0.08), padY = std::max(5.0, (maxY - minY) * 0.08);
    minX -= padX, maxX += padX, minY -= padY, maxY += padY;
    const double needed = std::max((maxX - minX) / frameW, (maxY - minY) / frameH) * 1000.0;
    const double cx = (minX + maxX) / 2.0, cy = (minY + maxY) / 2.0;
    index.scale = NiceAtLeast(needed);
    index.x0 = cx - frameW * index.scale / 2000.0;
    index.y0 = cy - frameH * index.scale / 2000.0;
    if (index.scale <= kLargestSheetScale) {
        SHEET one = index;
        one.number = 1;
        return {one};
    }
    for (double scale = kLargestSheetScale;; scale = NiceAtLeast(scale * 1.01)) {
        const double w = frameW * scale / 1000.0, h = frameH * scale / 1000.0;
        const long nx = static_cast<long>(std::ceil((maxX - minX) / w)), ny = static_cast<long>(std::ceil((maxY - minY) / h));
        const double x0 = cx - nx * w / 2.0, y0 = cy + ny * h / 2.0; // top left of the sheets
        std::set<std::pair<long, long>> used;
        for (const REPORT_POINT& p : model.points) {
            if (p.bFix)
                used.emplace(static_cast<long>((y0 - p.y) / h), static_cast<long>((p.x - x0) / w));
        }
        if (used.size() > kMostSheets && scale < index.scale)
            continue;
        std::vector<SHEET> sheets;
        for (const auto& [row, column] : used) {
            SHEET s;
            s.scale = scale;
            s.x0 = x0 + column * w;
            s.y0 = y0 - (row + 1) * h;
            s.number = static_cast<int>(sheets.size()) + 1;
            sheets.push_back(s);
        }
        return sheets;
    }
}

bool CReportPainter::Maps(std::string& error)
{
    const double frameW = m_width - 2 * kMargin - kGridLabelRoom;
    const double frameH = m_height - 2 * kMargin - kFooter - kLegendHeight - 12.0 - kGridLabelRoom;
    if (!m_model.bExtent) {
        NewPage();
        Paragraph("Map", 14.0, true);
        Paragraph("No point of this survey has a position: there is nothing to map.");
        return true;
    }
    SHEET index;
    const std::vector<SHEET> sheets = PlanSheets(m_model, frameW, frameH, index);
    if (sheets.size() > 1) {
        NewPage();
        if (!DrawSheet(index, sheets.size(), sheets, error))
            return false;
    }
    for (const SHEET& sheet : sheets) {
        NewPage();
        if (!DrawSheet(sheet, sheets.size(), sheets, error))
            return false;
    }
    return true;
}

bool CReportPainter::DrawSheet(const SHEET& sheet, size_t sheetCount, const std::vector<SHEET>& sheets,
                               std::string& error)
{
    const FRAME frame = SheetFrame();
    const double frameL = frame.l, frameT = frame.t, frameW = frame.w, frameH = frame.h;
    const double mpm = sheet.scale / 1000.0; // ground metres per paper millimetre
    const double x1 = sheet.x0 + frameW * mpm, y1 = sheet.y0 + frameH * mpm;
    const bool bIndex = sheet.number == 0;
    auto at = [&](double x, double y) {
        return QPointF(M(frameL + (x - sheet.x0) / mpm), M(frameT + frameH - (y - sheet.y0) / mpm));
    };
    const std::string paperName = m_paper.bLetter ? "Letter" : "A4";

    m_painter.setPen(kInk);
    SetFont(12.0, true);
    Text(kMargin, kMargin, m_width - 2 * kMargin, 7, Qt::AlignLeft | Qt::AlignVCenter,
         bIndex ? "Map: index of sheets" : "Map, sheet " + std::to_string(sheet.number) + " of " + std::to_string(sheetCount));
    SetFont(8.0);
    Text(kMargin, kMargin, m_width - 2 * kMargin, 7, Qt::AlignRight | Qt::AlignVCenter,
         "scale " + ScaleText(sheet.scale) + " on " + paperName + " · " + m_model.crsName);

    const QRectF frameRect = R(frameL, frameT, frameW, frameH);
    m_painter.save();
    m_painter.setClipRect(frameRect);
    m_painter.setRenderHint(QPainter::Antialiasing, true);
    if (!m_paper.mapRaster.empty()) {
        const int w = static_cast<int>(frameW / 25.4 * kRasterDpi), h = static_cast<int>(frameH / 25.4 * kRasterDpi);
        std::vector<uint32_t> argb;
        const double unit = m_model.dfMetresPerUnit;
        if (!RenderMapRaster(m_paper.mapRaster, *m_model.grid, sheet.x0 / unit, sheet.y0 / unit, x1 / unit,
                             y1 / unit, w, h, argb, error)) {
            m_painter.restore();
            return false;
        }
        const QImage image(reinterpret_cast<const uchar*>(argb.data()), w, h, w * 4, QImage::Format_ARGB32);
        m_painter.drawImage(frameRect, image);
    }

    // Occupied half-millimetre cells of the frame: a label goes only where
    // nothing is drawn yet.
    constexpr double kCell = 0.5;
    const int cols = static_cast<int>(frameW / kCell) + 1, rows = static_cast<int>(frameH / kCell) + 1;
    std::vector<uint8_t> taken(static_cast<size_t>(cols) * static_cast<size_t>(rows), 0);
    auto cellsOf = [&](double l, double t, double r, double b, bool mark) {
        const int c0 = std::max(0, static_cast<int>((l - frameL) / kCell)), c1 = std::min(cols - 1, static_cast<int>((r - frameL) / kCell));
        const int r0 = std::max(0, static_cast<int>((t - frameT) / kCell)), r1 = std::min(rows - 1, static_cast<int>((b - frameT) / kCell));
        if (!mark && (l < frameL || t < frameT || r > frameL + frameW || b > frameT + frameH))
            return false;
        for (int y = r0; y <= r1; ++y) {
            for (int x = c0; x <= c1; ++x) {
                uint8_t& cell = taken[static_cast<size_t>(y) * static_cast<size_t>(cols) + static_cast<size_t>(x)];
                if (mark)
                    cell = 1;
                else if (cell != 0)
                    return false;
            }
        }
        return true;
    };
    auto inside = [&](double x, double y, double marginMetres) {
        return x >= sheet.x0 - marginMetres && x <= x1 + marginMetres && y >= sheet.y0 - marginMetres &&
               y <= y1 + marginMetres;
    };

    // The scale bar's box and the north arrow take their corners first: no
    // label goes under them.
    const double barLength = NiceAtMost(frameW * 0.3 * mpm);
    const double bar = barLength / mpm;
    const double barLeft = frameL + 4.0, barBase = frameT + frameH - 4.0;
    cellsOf(barLeft - 2.0, barBase - 8.0, barLeft + bar + 14.0, barBase + 2.0, true);
    cellsOf(frameL + frameW - 16.0, frameT, frameL + frameW - 0.1, frameT + 20.0, true);

    // Lines: a dark casing under the colour, so yellow and white read on paper.
    const double margin = 5.0 * mpm;
    for (const REPORT_LINE& line : m_model.lines) {
        QPolygonF polygon;
        for (size_t i = 0; i < line.x.size(); ++i)
            polygon << at(line.x[i], line.y[i]);
        if (polygon.size() < 2)
            continue;
        const QColor colour = ColourOf(line.line.Utility.colour);
        m_painter.setPen(QPen(QColor(40, 40, 40), M(1.3), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        m_painter.drawPolyline(polygon);
        m_painter.setPen(QPen(colour, M(0.8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        m_painter.drawPolyline(polygon);
    }
    // Points: drawn in their utility's colour; void ones crossed out; below
    // the gate inside a triangle.
    m_painter.setRenderHint(QPainter::Antialiasing, !bIndex);
    const double dot = bIndex ? 0.35 : 0.7;
    for (const REPORT_POINT& p : m_model.points) {
        if (!p.bFix || !inside(p.x, p.y, margin))
            continue;
        const QPointF c = at(p.x, p.y);
        const LOGGED_POINT& lp = *p.pLogged;
        if (lp.Record.bVoid) {
            m_painter.setPen(QPen(kInk, M(0.3)));
            const double d = M(1.0);
            m_painter.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
            m_painter.drawLine(c + QPointF(-d, d), c + QPointF(d, -d));
        } else {
            m_painter.setPen(QPen(kInk, M(0.12)));
            m_painter.setBrush(lp.Record.Utility.IsSet() ? ColourOf(lp.Record.Utility.colour) : kPlainPoint);
            m_painter.drawEllipse(c, M(dot), M(dot));
            m_painter.setBrush(Qt::NoBrush);
        }
        if (p.bBelowGate) {
            m_painter.setPen(QPen(kInk, M(0.3)));
            const double s = M(bIndex ? 1.2 : 2.0);
            const QPointF triangle[] = {c + QPointF(0, -s), c + QPointF(s * 0.9, s * 0.6), c + QPointF(-s * 0.9, s * 0.6)};
            m_painter.drawPolygon(triangle, 3);
        }
        const double px = c.x() / m_dpmm, py = c.y() / m_dpmm;
        cellsOf(px - 1.0, py - 1.0, px + 1.0, py + 1.0, true);
    }
    // Line ids at each line's middle vertex.
    SetFont(7.0, true);
    QFontMetricsF idMetrics(m_painter.font(), &m_writer);
    for (const REPORT_LINE& line : m_model.lines) {
        if (line.x.empty())
            continue;
        const size_t mid = line.x.size() / 2;
        if (!inside(line.x[mid], line.y[mid], 0.0))
            continue;
        const std::string label = line.line.Utility.id.empty() ? line.line.Utility.type : line.line.Utility.id;
        const QPointF c = at(line.x[mid], line.y[mid]);
        const double w = idMetrics.horizontalAdvance(Q(label)) / m_dpmm + 1.2, h = 3.6;
        double l = c.x() / m_dpmm - w / 2.0, t = c.y() / m_dpmm - h - 1.5;
        if (!cellsOf(l, t, l + w, t + h, false))
            t = c.y() / m_dpmm + 1.5;
        l = std::clamp(l, frameL, frameL + frameW - w);
        t = std::clamp(t, frameT, frameT + frameH - h);
        m_painter.fillRect(R(l, t, w, h), QColor(255, 255, 255, 225));
        m_painter.setPen(QPen(ColourOf(line.line.Utility.colour), M(0.3)));
        m_painter.drawRect(R(l, t, w, h));
        m_painter.setPen(kInk);
        Text(l, t, w, h, Qt::AlignCenter, label);
        cellsOf(l, t, l + w, t + h, true);
    }
    // Depth labels where they do not crowd.
    if (!bIndex) {
        SetFont(5.5);
        QFontMetricsF metrics(m_painter.font(), &m_writer);
        const double h = metrics.height() / m_dpmm;
        for (const REPORT_POINT& p : m_model.points) {
            if (!p.bFix || p.pLogged->Record.bVoid || !inside(p.x, p.y, 0.0))
                continue;
            const std::string text = MetresText(PointDepthMetres(p.pLogged->Point));
            if (text.empty())
                continue;
            const QPointF c = at(p.x, p.y);
            const double w = metrics.horizontalAdvance(Q(text)) / m_dpmm;
            const double l = c.x() / m_dpmm + 1.2, t = c.y() / m_dpmm - h / 2.0;
            if (!cellsOf(l, t, l + w, t + h, false))
                continue;
            cellsOf(l - 0.5, t - 0.5, l + w + 0.5, t + h + 0.5, true);
            m_painter.setPen(kInk);
            m_painter.drawText(R(l, t, w + 0.5, h), Qt::AlignLeft | Qt::AlignVCenter, Q(text));
        }
    }
    // The index shows where each sheet lies.
    if (bIndex) {
        SetFont(9.0, true);
        for (const SHEET& s : sheets) {
            const QRectF r(at(s.x0, s.y0 + frameH * s.scale / 1000.0), at(s.x0 + frameW * s.scale / 1000.0, s.y0));
            m_painter.setPen(QPen(QColor(0, 0, 0), M(0.3), Qt::DashLine));
            m_painter.drawRect(r);
            m_painter.drawText(r, Qt::AlignCenter, QString::number(s.number));
        }
    }
    DrawNorthArrow();
    DrawScaleBar(barLength, mpm);
    m_painter.restore();
    DrawGrid(sheet);
    DrawLegend();
    return true;
}

// North arrow (true north, turned from grid north by the convergence).
void CReportPainter::DrawNorthArrow()
{
    const FRAME frame = SheetFrame();
    const double frameL = frame.l, frameT = frame.t, frameW = frame.w;
    const QPointF c(M(frameL + frameW - 9.0), M(frameT + 13.0));
    m_painter.save();
    m_painter.translate(c);
    m_painter.rotate(m_model.dfConvergence * 180.0 / M_PI);
    m_painter.setBrush(QColor(255, 255, 255, 220));
    m_painter.setPen(Qt::NoPen);
    m_painter.drawEllipse(QPointF(0, 0), M(6.5), M(6.5));
    const QPointF left[] = {{0, -M(5.5)}, {-M(2.2), M(4.0)}, {0, M(2.5)}};
    const QPointF right[] = {{0, -M(5.5)}, {M(2.2), M(4.0)}, {0, M(2.5)}};
    m_painter.setPen(QPen(kInk, M(0.2)));
    m_painter.setBrush(kInk);
    m_painter.drawPolygon(left, 3);
    m_painter.setBrush(Qt::white);
    m_painter.drawPolygon(right, 3);
    m_painter.restore();
    SetFont(8.0, true);
    m_painter.setPen(kInk);
    Text(frameL + frameW - 12.0, frameT + 0.3, 6.0, 4.0, Qt::AlignCenter, "N");
}

// Scale bar in metres, in the frame's lower left corner.
void CReportPainter::DrawScaleBar(double barLength, double mpm)
{
    const FRAME frame = SheetFrame();
    const double bar = barLength / mpm;
    const double l = frame.l + 4.0, b = frame.t + frame.h - 4.0;
    m_painter.fillRect(R(l - 2.0, b - 8.0, bar + 16.0, 10.0), QColor(255, 255, 255, 220));
    for (int i = 0; i < 4; ++i) {
        const QRectF piece = R(l + bar * i / 4.0, b - 2.0, bar / 4.0, 1.4);
        m_painter.fillRect(piece, i % 2 == 0 ? kInk : Qt::white);
        m_painter.setPen(QPen(kInk, M(0.15)));
        m_painter.drawRect(piece);
    }
    SetFont(6.5);
    m_painter.setPen(kInk);
    Text(l - 2.0, b - 7.0, 4.0, 4.0, Qt::AlignCenter, "0");
    Text(l + bar - 10.0, b - 7.0, 20.0, 4.0, Qt::AlignCenter, Grouped(barLength) + " m");
}

// The frame, and grid coordinates in the grid's own units at its edges.
void CReportPainter::DrawGrid(const SHEET& sheet)
{
    const FRAME frame = SheetFrame();
    const double frameL = frame.l, frameT = frame.t, frameW = frame.w, frameH = frame.h;
    const QRectF frameRect = R(frameL, frameT, frameW, frameH);
    const double mpm = sheet.scale / 1000.0;
    const double x1 = sheet.x0 + frameW * mpm, y1 = sheet.y0 + frameH * mpm;
    m_painter.setPen(QPen(kInk, M(0.35)));
    m_painter.drawRect(frameRect);
    const double unit = m_model.dfMetresPerUnit;
    const double step = NiceAtLeast(frameW * mpm / unit / 5.0);
    SetFont(6.0);
    m_painter.setPen(QPen(kInk, M(0.2)));
    for (double e = std::ceil(sheet.x0 / unit / step) * step; e * unit <= x1; e += step) {
        const double px = frameL + (e * unit - sheet.x0) / mpm;
        m_painter.drawLine(QPointF(M(px), M(frameT)), QPointF(M(px), M(frameT + 2.0)));
        m_painter.drawLine(QPointF(M(px), M(frameT + frameH)), QPointF(M(px), M(frameT + frameH - 2.0)));
        Text(px - 15.0, frameT + frameH + 0.5, 30.0, 3.5, Qt::AlignHCenter | Qt::AlignTop, Grouped(e) + " E");
    }
    for (double n = std::ceil(sheet.y0 / unit / step) * step; n * unit <= y1; n += step) {
        const double py = frameT + frameH - (n * unit - sheet.y0) / mpm;
        m_painter.drawLine(QPointF(M(frameL), M(py)), QPointF(M(frameL + 2.0), M(py)));
        m_painter.drawLine(QPointF(M(frameL + frameW), M(py)), QPointF(M(frameL + frameW - 2.0), M(py)));
        m_painter.save();
        m_painter.translate(M(frameL - 0.8), M(py));
        m_painter.rotate(-90.0);
        m_painter.drawText(QRectF(-M(20.0), -M(3.5), M(40.0), M(3.5)), Qt::AlignHCenter | Qt::AlignBottom,
                           Q(Grouped(n) + " N"));
        m_painter.restore();
    }

}

// The legend under the frame: each utility, then the point symbols.
void CReportPainter::DrawLegend()
{
    const FRAME frame = SheetFrame();
    double y = frame.t + frame.h + kGridLabelRoom;
    SetFont(9.0, true);
    m_painter.setPen(kInk);
    Text(kMargin, y, 60, 5, Qt::AlignLeft | Qt::AlignVCenter, "Legend");
    y += 5.5;
    const double columnW = (m_width - 2 * kMargin) / 2.0;
    const double rowH = 4.2;
    const int perColumn = static_cast<int>((kLegendHeight - 8.0) / rowH);
    int entry = 0;
    auto slot = [&](double& x, double& top) {
        x = kMargin + (entry / perColumn) * columnW;
        top = y + (entry % perColumn) * rowH;
        ++entry;
    };
    SetFont(7.0);
    const size_t room = static_cast<size_t>(perColumn) * 2 - 4;
    std::vector<const REPORT_UTILITY*> shown;
    for (const REPORT_UTILITY& u : m_model.utilities)
        shown.push_back(&u);
    const size_t hidden = shown.size() > room ? shown.size() - room + 1 : 0;
    if (hidden > 0)
        shown.resize(room - 1);
    for (const REPORT_UTILITY* u : shown) {
        double x = 0, top = 0;
        slot(x, top);
        const QColor colour = ColourOf(u->tag.colour);
        m_painter.setPen(QPen(QColor(40, 40, 40), M(1.3), Qt::SolidLine, Qt::FlatCap));
        m_painter.drawLine(QPointF(M(x), M(top + rowH / 2)), QPointF(M(x + 9.0), M(top + rowH / 2)));
        m_painter.setPen(QPen(colour, M(0.8), Qt::SolidLine, Qt::FlatCap));
        m_painter.drawLine(QPointF(M(x + 0.25), M(top + rowH / 2)), QPointF(M(x + 8.75), M(top + rowH / 2)));
        m_painter.setPen(kInk);
        Text(x + 11.0, top, columnW - 12.0, rowH, Qt::AlignLeft | Qt::AlignVCenter,
             u->tag.type + " " + u->tag.id + " (" + (u->tag.colour.empty() ? "no colour" : u->tag.colour) +
                 "), quality level " + (u->tag.qualityLevel.empty() ? "not recorded" : u->tag.qualityLevel));
    }
    if (hidden > 0) {
        double x = 0, top = 0;
        slot(x, top);
        Text(x + 11.0, top, columnW - 12.0, rowH, Qt::AlignLeft | Qt::AlignVCenter,
             "and " + std::to_string(hidden) + " more utilities (see the utilities table)");
    }
    // The point symbols.
    double x = 0, top = 0;
    slot(x, top);
    QPointF c(M(x + 4.5), M(top + rowH / 2));
    m_painter.setPen(QPen(kInk, M(0.12)));
    m_painter.setBrush(kPlainPoint);
    m_painter.drawEllipse(c, M(0.7), M(0.7));
    m_painter.setBrush(Qt::NoBrush);
    Text(x + 11.0, top, columnW - 12.0, rowH, Qt::AlignLeft | Qt::AlignVCenter,
         "survey point (in its utility's colour); 1.23 m: depth below ground");
    slot(x, top);
    c = QPointF(M(x + 4.5), M(top + rowH / 2));
    m_painter.setPen(QPen(kInk, M(0.3)));
    m_painter.drawLine(c + QPointF(-M(1), -M(1)), c + QPointF(M(1), M(1)));
    m_painter.drawLine(c + QPointF(-M(1), M(1)), c + QPointF(M(1), -M(1)));
    Text(x + 11.0, top, columnW - 12.0, rowH, Qt::AlignLeft | Qt::AlignVCenter, "void point (crossed out)");
    slot(x, top);
    c = QPointF(M(x + 4.5), M(top + rowH / 2 + 0.3));
    const double s = M(1.6);
    const QPointF triangle[] = {c + QPointF(0, -s), c + QPointF(s * 0.9, s * 0.6), c + QPointF(-s * 0.9, s * 0.6)};
    m_painter.drawPolygon(triangle, 3);
    Text(x + 11.0, top, columnW - 12.0, rowH, Qt::AlignLeft | Qt::AlignVCenter, "point below the quality gate");
    slot(x, top);
    Text(x, top, columnW - 1.0, rowH, Qt::AlignLeft | Qt::AlignVCenter,
         "Grid: " + m_model.crsName + "; north arrow: true north");
}

} // namespace

bool WriteReportPdf(const REPORT_MODEL& model, const REPORT_PAPER& paper, const std::string& path,
                    std::string& error)
{
    QPdfWriter writer(Q(path));
    CReportPainter painter(model, paper, writer);
    return painter.Run(error);
}
