#include "gui/PointReadout.h"

#include "app/ConfigFile.h"
#include "app/GeoidModel.h"
#include "point/Heights.h"
#include "point/QualityGate.h"
#include "app/TrackModel.h"
#include "surveylog/SurveyLog.h"

namespace {
constexpr const char* kNoPoint = "Last point: none logged yet";
}

CPointReadout::CPointReadout(QWidget* parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("lastPoint"));
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setText(QString::fromUtf8(kNoPoint));
}

void CPointReadout::ShowLast(const CSurveyLog& log)
{
    if (log.GetCount() == m_count && log.GetFileName() == m_fileName)
        return;
    m_count = log.GetCount();
    m_fileName = log.GetFileName();
    if (m_count == 0) {
        m_bBelowGate = false;
        setStyleSheet(QString());
        setText(QString::fromUtf8(kNoPoint));
        return;
    }
    const auto fields = PointFields(log.GetAt(m_count - 1), m_count);
    const auto value = [&fields](const char* label) {
        for (const auto& [name, text] : fields) {
            if (name == label)
                return QString::fromStdString(text);
        }
        return QString();
    };
    // The pipe's elevation beside its depth: ground under the antenna minus depth.
    const auto utility =
        UtilityElevation(log.GetAt(m_count - 1), GetConfig().m_dfAntennaHeight, GetGeoidModel());
    const QString elevation = utility ? QStringLiteral("%1 m").arg(*utility, 0, 'f', 2) : QStringLiteral("none");
    setText(QStringLiteral("Last point %1   %2   %3, accuracy %9\nDepth %4   Utility at %5   Current %6\nSignal %7   Mode %8")
                .arg(value("Point"), value("Time"), value("Fix"), value("Depth"), elevation, value("Current"),
                     value("Signal"), value("Mode"), value("Accuracy")));
    // Red: the point is below the quality gate.
    const bool below = ::BelowGate(log.GetAt(m_count - 1).Quality);
    if (below != m_bBelowGate) {
        m_bBelowGate = below;
        setStyleSheet(below ? QStringLiteral("color: #c00000; font-weight: bold") : QString());
    }
}
