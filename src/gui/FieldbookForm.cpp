#include "gui/FieldbookForm.h"

#include <QLabel>

#include <algorithm>

#include <QLabel>

#include "gui/DialogLayout.h"
#include "gui/Images.h"
#include "gui/PictureControl.h"
#include "gui/PointReadout.h"
#include "gui/TestWindow.h"
#include "link/LinkOwner.h"
#include "resources/DialogTemplates.h"

CFieldbookForm::CFieldbookForm(QWidget* parent) : QWidget(parent)
{
    const DLG_TEMPLATE* form = FindDialogTemplate(IDD_FIELDBOOK_FORM);
    BuildDialogControls(*this, *form);
    m_templateSize = DialogSizeToPixels(*this, form->cx, form->cy);
    m_readout = new CPointReadout(this);
    // Under the GPS label and lamp, above the test window.
    m_lampText = new QLabel(this);
    m_lampText->setObjectName(QStringLiteral("gpsLampText"));
    m_lampText->setTextFormat(Qt::PlainText);
    m_lampText->setGeometry(DialogRectToPixels(*this, DLG_RECT{41, 30, 109, 9}));
    m_correctionsLamp = new QLabel(this);
    m_correctionsLamp->setObjectName("CorrectionsLamp");
    m_correctionsText = new QLabel(tr("Corrections"), this);
    m_correctionsText->setObjectName("CorrectionsText");
    m_correctionsLamp->hide();
    m_correctionsText->hide();
    SizeReadout();
    m_testWindow = FindControlAs<CTestWindow>(*this, IDC_TEST_WINDOW);
    // Hidden until an echo flag asks for it.
    m_testWindow->hide();
}

void CFieldbookForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceReadout();
}

void CFieldbookForm::SizeReadout()
{
    const int lines = 3;
    m_readout->setFixedHeight(lines * m_readout->fontMetrics().lineSpacing() + 4);
    // Room for the Corrections row too, which shows once the corrections speak.
    setMinimumSize(m_templateSize.width(),
                   m_templateSize.height() + m_readout->height() + m_correctionsText->sizeHint().height());
    PlaceReadout();
}

void CFieldbookForm::SetReadoutPointSize(int pointSize)
{
    QFont font = m_readout->font();
    font.setPointSize(pointSize);
    m_readout->setFont(font);
    SizeReadout();
}

void CFieldbookForm::PlaceReadout()
{
    // Under the lamps, at the template's left margin (7 units).
    const QRect margin = DialogRectToPixels(*this, {7, 0, 0, 0});
    int top = m_templateSize.height();
    if (m_correctionsText->isVisible()) {
        const int row = m_correctionsText->sizeHint().height();
        m_correctionsLamp->setGeometry(margin.x(), top, row, row);
        m_correctionsText->setGeometry(margin.x() + row + 4, top, std::max(width() - 2 * margin.x() - row - 4, 1), row);
        top += row;
    }
    m_readout->setGeometry(margin.x(), top, std::max(width() - 2 * margin.x(), 1), m_readout->height());
}

CPictureControl* CFieldbookForm::Picture(int controlId) const
{
    return FindControlAs<CPictureControl>(*this, controlId);
}

void CFieldbookForm::PlaceTestWindow(const QRect& rect, bool show)
{
    m_testWindow->setGeometry(rect);
    m_testWindow->raise();
    m_testWindow->setVisible(show);
}

void CFieldbookForm::OnBitmapChanged(int controlId, int bitmapId)
{
    if (controlId == IDC_GPS_LAMP) {
        m_nGpsLampBitmap = bitmapId;
        if (bitmapId == IDB_LAMP_GREEN && m_bGpsAmber)
            bitmapId = IDB_LAMP_AMBER;
    }
    if (CPictureControl* picture = Picture(controlId))
        picture->SetBitmap(bitmapId);
}

void CFieldbookForm::ShowGpsQuality(const QString& text, bool amber)
{
    if (m_lampText->text() != text)
        m_lampText->setText(text);
    if (amber == m_bGpsAmber)
        return;
    m_bGpsAmber = amber;
    if (m_nGpsLampBitmap == IDB_LAMP_GREEN)
        OnBitmapChanged(IDC_GPS_LAMP, IDB_LAMP_GREEN);
}

void CFieldbookForm::OnRawData(const QByteArray& chunk)
{
    for (const std::string& line : m_echo.Take(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size()))))
        m_testWindow->AppendChunk(QByteArray::fromStdString(line));
}

void CFieldbookForm::OnTestWindowCleared()
{
    m_echo.Flush();
    m_testWindow->ClearText();
}

void CFieldbookForm::OnCorrections(const QString& line, bool streaming)
{
    m_bCorrectionsStreaming = streaming;
    SetCorrectionsReachReceiver(m_bCorrectionsReach);
    m_correctionsText->setText(tr("Corrections: %1").arg(QString(line).remove(QStringLiteral("NTRIP: "))));
    if (!m_correctionsText->isVisible()) {
        m_correctionsLamp->show();
        m_correctionsText->show();
        PlaceReadout();
    }
}

void CFieldbookForm::SetCorrectionsReachReceiver(bool reach)
{
    m_bCorrectionsReach = reach;
    const int bitmap = !m_bCorrectionsStreaming ? int{IDB_LAMP_RED} : reach ? int{IDB_LAMP_GREEN} : int{IDB_LAMP_AMBER};
    const int row = m_correctionsText->sizeHint().height();
    m_correctionsLamp->setPixmap(
        LoadBitmap(bitmap).scaled(row, row, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    m_nCorrectionsBitmap = bitmap;
}
