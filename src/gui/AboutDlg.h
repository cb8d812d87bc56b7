// The About box: portrait (template 100) while it is narrower than high,
// landscape (template 200) otherwise; the controls move when its shape changes.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // The template whose places the controls have now.
    int CurrentTemplate() const { return m_templateId; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_templateId = 0;
    // A relayout puts the template's (empty) text back on the log folder line.
    QString m_logsText;
};
