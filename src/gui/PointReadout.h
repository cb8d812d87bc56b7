// The last point readout under the form's lamps: number, depth, the utility's
// elevation, current, signal, mode name, time and fix of the point logged last, so that the crew
// sees what the locator just sent without opening the log.
#pragma once

#include <QLabel>
#include <string>

class CSurveyLog;

class CPointReadout : public QLabel {
    Q_OBJECT
public:
    explicit CPointReadout(QWidget* parent = nullptr);

    // Shows the log's last point; the text changes only when the log did.
    void ShowLast(const CSurveyLog& log);
    // The point shown is below the quality gate: the text is red.
    bool BelowGate() const { return m_bBelowGate; }

private:
    std::string m_fileName;
    size_t m_count = static_cast<size_t>(-1);
    bool m_bBelowGate = false;
};
