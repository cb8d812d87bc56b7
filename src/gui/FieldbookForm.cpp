#include "gui/FieldbookForm.h"

#include "gui/DialogLayout.h"
#include "gui/PictureControl.h"
#include "gui/TestWindow.h"
#include "resources/DialogTemplates.h"

CFieldbookForm::CFieldbookForm(QWidget* parent) : QWidget(parent)
{
    const DLG_TEMPLATE* form = FindDialogTemplate(IDD_FIELDBOOK_FORM);
    BuildDialogControls(*this, *form);
    setMinimumSize(DialogSizeToPixels(*this, form->cx, form->cy));
    m_testWindow = FindControlAs<CTestWindow>(*this, IDC_TEST_WINDOW);
    // Hidden until an echo flag asks for it.
    m_testWindow->hide();
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
    if (CPictureControl* picture = Picture(controlId))
        picture->SetBitmap(bitmapId);
}

void CFieldbookForm::OnRawData(const QByteArray& chunk)
{
    m_testWindow->AppendChunk(chunk);
}

void CFieldbookForm::OnTestWindowCleared()
{
    m_testWindow->ClearText();
}
