#include "gui/PointReadout.h"

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
    setText(QStringLiteral("Last point %1   %2   %3\nDepth %4   Current %5\nSignal %6   Mode %7")
                .arg(value("Point"), value("Time"), value("Fix"), value("Depth"), value("Current"),
                     value("Signal"), value("Mode")));
}
