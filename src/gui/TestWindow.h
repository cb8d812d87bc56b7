// The form's test window: raw traffic of the links, one chunk per line, the last
// line kept in view. GUI thread only; the link threads' echo arrives posted.
#pragma once

#include <QPlainTextEdit>

class CTestWindow : public QPlainTextEdit {
    Q_OBJECT
public:
    // An edit control's text limit when nobody has raised it.
    static constexpr int kDefaultTextLimit = 30000;
    // Lines kept: a day of echo would otherwise grow without bound, in memory
    // and in the cost of every append. The oldest lines go first.
    static constexpr int kKeptLines = 5000;

    explicit CTestWindow(QWidget* parent = nullptr);

    // Appends the chunk (bytes widened one to one) and a line break, raising the
    // text limit to what the text then needs plus 200 when it would not fit.
    void AppendChunk(const QByteArray& chunk);
    void ClearText();

    // Counted as the handheld's edit control does: a line break is two
    // characters. Once old lines are dropped, it counts what is still shown.
    int TextLength() const { return m_textLength; }
    int TextLimit() const { return m_textLimit; }

private:
    int m_textLength = 0;
    int m_textLimit = kDefaultTextLimit;
};
