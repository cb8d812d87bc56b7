#include "gui/FieldGuide.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/Folders.h"

QString FieldGuidePath()
{
    const QString program = QString::fromStdString(GetAppDirectory());
    QStringList candidates;
    if (!program.isEmpty())
        candidates << program + QStringLiteral("../share/fieldbook/field-guide.html");
#ifdef FIELDBOOK_SOURCE_DOCS
    candidates << QStringLiteral(FIELDBOOK_SOURCE_DOCS "/field-guide.html");
#endif
    for (const QString& path : candidates) {
        if (QFileInfo(path).isReadable())
            return QFileInfo(path).canonicalFilePath();
    }
    return {};
}

CFieldGuide::CFieldGuide(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("fieldGuide"));
    setWindowTitle(QStringLiteral("fieldbook field guide"));
    m_browser = new QTextBrowser(this);
    m_browser->setObjectName(QStringLiteral("fieldGuideText"));
    m_browser->setOpenExternalLinks(false);
    const QString path = FieldGuidePath();
    if (path.isEmpty())
        m_browser->setPlainText(QStringLiteral("The field guide is not installed with this fieldbook "
                                               "(share/fieldbook/field-guide.html)."));
    else
        m_browser->setSource(QUrl::fromLocalFile(path));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_browser);
    layout->addWidget(buttons);
    resize(640, 560);
}
