#include "gui/AboutDlg.h"

#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

#include "gui/DialogLayout.h"
#include "gui/Images.h"
#include "resources/DialogTemplates.h"
#include "surveylog/SurveyLog.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    const DLG_TEMPLATE* portrait = FindDialogTemplate(IDD_ABOUTBOX);
    setWindowTitle(QString::fromUtf8(portrait->pszCaption));
    setWindowIcon(ProgramIcon());
    // The box takes the size of the template it is laid out with. Template 100
    // (156 x 129 units) is itself wider than high, so a box of its size is laid
    // out by the landscape template, whose lines and button need 210 units:
    // sized from 100 it cut the lines and put OK off the middle.
    const QSize portraitSize = DialogSizeToPixels(*this, portrait->cx, portrait->cy);
    m_templateId = portraitSize.width() < portraitSize.height() ? IDD_ABOUTBOX : IDD_ABOUTBOX_WIDE;
    const DLG_TEMPLATE* shown = FindDialogTemplate(m_templateId);
    BuildDialogControls(*this, *shown);
    resize(DialogSizeToPixels(*this, shown->cx, shown->cy));
    if (auto* logs = FindControlAs<QLabel>(*this, IDC_ABOUT_LOGS)) {
        // A menu launch shows no terminal: here the user learns where the logs go.
        const QString folder = QString::fromStdString(CSurveyLog::GetInstance()->GetFolder());
        m_logsText = QStringLiteral("Survey logs: %1").arg(folder);
        logs->setText(m_logsText);
        logs->setWordWrap(true);
        logs->setTextInteractionFlags(Qt::TextSelectableByMouse);
        logs->setToolTip(folder);
    }
    if (auto* ok = FindControlAs<QPushButton>(*this, IDC_OK)) {
        ok->setDefault(true);
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
}

void CAboutDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    const int wanted = width() < height() ? IDD_ABOUTBOX : IDD_ABOUTBOX_WIDE;
    // A failed move leaves every control where it was.
    if (RelayoutDialog(*this, wanted))
        m_templateId = wanted;
    if (auto* logs = FindControlAs<QLabel>(*this, IDC_ABOUT_LOGS))
        logs->setText(m_logsText);
}
