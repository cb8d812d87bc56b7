// The status banner under the status panes: the lines of BannerLines, each in
// its level's colours and in the form's text size, so that nothing the crew
// needs lives only in a tooltip. Tapping a line shows what to do about it
// beneath it; tapping again hides that. Hidden while there is nothing to say.
#pragma once

#include <QFrame>
#include <QString>
#include <vector>

#include "app/StatusBanner.h"

class QLabel;
class QVBoxLayout;

class CBannerView : public QFrame {
    Q_OBJECT
public:
    explicit CBannerView(QWidget* parent = nullptr);

    // Redraws only when the lines changed.
    void SetLines(const std::vector<BANNER_LINE>& lines);
    const std::vector<BANNER_LINE>& Lines() const { return m_lines; }
    // The banner's text as shown, one line each (tests, screenshots).
    QString Text() const;
    // Taps a line (as a finger does): its detail shows or hides.
    void ToggleDetail(int index);
    bool DetailShown(int index) const;
    // The lines' font size; the field scale sets a larger one.
    void SetPointSize(int pointSize);

signals:
    void Tapped(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Rebuild();

    QVBoxLayout* m_layout = nullptr;
    std::vector<BANNER_LINE> m_lines;
    std::vector<QLabel*> m_labels;
    std::vector<bool> m_detail;
    int m_pointSize = 0;
};
