// The field guide (F1, Help): a short HTML page shipped with the program
// (share/fieldbook/field-guide.html beside the installed program, the source
// tree's docs/ in a build), shown in a text browser that does not block the
// window: the survey goes on while the crew reads.
#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

// The guide's file, or empty when none is found.
QString FieldGuidePath();

class CFieldGuide : public QDialog {
    Q_OBJECT
public:
    explicit CFieldGuide(QWidget* parent = nullptr);
    QTextBrowser* Browser() const { return m_browser; }

private:
    QTextBrowser* m_browser = nullptr;
};
