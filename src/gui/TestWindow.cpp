#include "gui/TestWindow.h"

#include <QScrollBar>
#include <QTextCursor>

namespace {
constexpr int kLimitHeadroom = 200;
}

CTestWindow::CTestWindow(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::Box);
    // The text ends in an empty line after the last break: one block more.
    setMaximumBlockCount(kKeptLines + 1);
}

void CTestWindow::AppendChunk(const QByteArray& chunk)
{
    // Bytes are shown one character each, as the handheld's code page widened
    // them; the traffic's own CR LF ends a line like the one added after it.
    const QString text = QString::fromLatin1(chunk);
    const qint64 needed = static_cast<qint64>(m_textLength) + text.size() + 2;
    if (needed > m_textLimit)
        m_textLimit = static_cast<int>(needed) + kLimitHeadroom;
    m_textLength = static_cast<int>(needed);

    // Appending at the end gives the same text as rewriting the whole window,
    // without a cost that grows with everything already shown.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    shown.append(QLatin1Char('\n'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    if (document()->blockCount() > kKeptLines) {
        // What is left after the oldest lines went: characters plus one more per
        // line break.
        m_textLength = document()->characterCount() - 1 + document()->blockCount() - 1;
    }
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void CTestWindow::ClearText()
{
    clear();
    m_textLength = 0;
}
