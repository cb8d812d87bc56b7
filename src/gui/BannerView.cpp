#include "gui/BannerView.h"

#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace {

// Dark text on light colours and white on red: readable in sunlight, and the
// level is told by the words too ("NOT saved", "waiting"), not by colour alone.
QString StyleFor(BannerLevel level)
{
    switch (level) {
    case BannerLevel::Alarm: return QStringLiteral("QLabel { background: #c00000; color: white; padding: 3px; }");
    case BannerLevel::Warning: return QStringLiteral("QLabel { background: #ffc000; color: black; padding: 3px; }");
    case BannerLevel::Info: break;
    }
    return QStringLiteral("QLabel { background: #e4e8ee; color: black; padding: 3px; }");
}

} // namespace

CBannerView::CBannerView(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("statusBanner"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(1);
    hide();
}

void CBannerView::SetLines(const std::vector<BANNER_LINE>& lines)
{
    if (lines == m_lines)
        return;
    // A detail stays open while its line is still there.
    std::vector<bool> detail(lines.size(), false);
    for (size_t i = 0; i < lines.size(); ++i) {
        for (size_t j = 0; j < m_lines.size(); ++j) {
            if (m_lines[j].text == lines[i].text && j < m_detail.size())
                detail[i] = m_detail[j];
        }
    }
    m_lines = lines;
    m_detail = std::move(detail);
    Rebuild();
}

void CBannerView::Rebuild()
{
    while (m_labels.size() > m_lines.size()) {
        delete m_labels.back();
        m_labels.pop_back();
    }
    while (m_labels.size() < m_lines.size()) {
        auto* label = new QLabel(this);
        label->setObjectName(QStringLiteral("bannerLine%1").arg(m_labels.size()));
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->installEventFilter(this);
        if (m_pointSize > 0) {
            QFont font = label->font();
            font.setPointSize(m_pointSize);
            label->setFont(font);
        }
        m_layout->addWidget(label);
        m_labels.push_back(label);
    }
    for (size_t i = 0; i < m_lines.size(); ++i) {
        QString text = QString::fromStdString(m_lines[i].text);
        if (m_detail[i] && !m_lines[i].detail.empty())
            text += QStringLiteral("\n") + QString::fromStdString(m_lines[i].detail);
        m_labels[i]->setText(text);
        m_labels[i]->setStyleSheet(StyleFor(m_lines[i].level));
    }
    setVisible(!m_lines.empty());
}

QString CBannerView::Text() const
{
    QStringList lines;
    for (const QLabel* label : m_labels)
        lines << label->text();
    return lines.join(QLatin1Char('\n'));
}

void CBannerView::ToggleDetail(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= m_lines.size())
        return;
    m_detail[static_cast<size_t>(index)] = !m_detail[static_cast<size_t>(index)];
    Rebuild();
    emit Tapped(index);
}

bool CBannerView::DetailShown(int index) const
{
    return index >= 0 && static_cast<size_t>(index) < m_detail.size() && m_detail[static_cast<size_t>(index)];
}

void CBannerView::SetPointSize(int pointSize)
{
    m_pointSize = pointSize;
    for (QLabel* label : m_labels) {
        QFont font = label->font();
        font.setPointSize(pointSize);
        label->setFont(font);
    }
}

bool CBannerView::eventFilter(QObject* watched, QEvent* event)
{
    // A release, as a touch screen's tap arrives; a drag off the line does not count.
    if (event->type() == QEvent::MouseButtonRelease) {
        for (size_t i = 0; i < m_labels.size(); ++i) {
            if (m_labels[i] == watched) {
                ToggleDetail(static_cast<int>(i));
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}
