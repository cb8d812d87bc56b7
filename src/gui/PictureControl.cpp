#include "gui/PictureControl.h"

#include "gui/Images.h"

CPictureControl::CPictureControl(QWidget* parent) : QLabel(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void CPictureControl::SetBitmap(int bitmapId)
{
    if (bitmapId == m_bitmapId)
        return;
    const QPixmap image = LoadBitmap(bitmapId);
    m_bitmapId = bitmapId;
    setPixmap(image);
    if (!image.isNull())
        resize(image.size());
}
