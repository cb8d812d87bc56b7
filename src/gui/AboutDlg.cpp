#include "gui/AboutDlg.h"

#include <QPushButton>
#include <QResizeEvent>

#include "gui/DialogLayout.h"
#include "gui/Images.h"
#include "resources/DialogTemplates.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    const DLG_TEMPLATE* portrait = FindDialogTemplate(IDD_ABOUTBOX);
    setWindowTitle(QString::fromUtf8(portrait->pszCaption));
    setWindowIcon(ProgramIcon());
    BuildDialogControls(*this, *portrait);
    m_templateId = IDD_ABOUTBOX;
    resize(DialogSizeToPixels(*this, portrait->cx, portrait->cy));
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
}
