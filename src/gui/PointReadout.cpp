#include "gui/PointReadout.h"

#include "app/QualityGate.h"
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
    setText(QStringLiteral("Last point %1   %2   %3, accuracy %8\nDepth %4   Current %5\nSignal %6   Mode %7")
                .arg(value("Point"), value("Time"), value("Fix"), value("Depth"), value("Current"),
                     value("Signal"), value("Mode"), value("Accuracy")));
    // Red: the point is below the quality gate.
    const bool below = ::BelowGate(log.GetAt(m_count - 1).Quality);
    if (below != m_bBelowGate) {
        m_bBelowGate = below;
        setStyleSheet(below ? QStringLiteral("color: #c00000; font-weight: bold") : QString());
    }
}
