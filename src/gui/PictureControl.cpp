#include "gui/PictureControl.h"

#include "gui/Images.h"

CPictureControl::CPictureControl(QWidget* parent) : QLabel(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void CPictureControl::SetBitmap(int bitmapId)
{
    if (bitmapId == m_bitmapId && m_ratio == devicePixelRatioF())
        return;
    m_ratio = devicePixelRatioF();
    const QPixmap image = LoadBitmap(bitmapId, m_ratio);
    m_bitmapId = bitmapId;
    setPixmap(image);
    if (!image.isNull())
        resize(image.deviceIndependentSize().toSize());
}

void CPictureControl::showEvent(QShowEvent* event)
{
    // Shown on a screen of another pixel density: the picture is drawn again.
    if (m_bitmapId != 0 && m_ratio != devicePixelRatioF())
        SetBitmap(m_bitmapId);
    QLabel::showEvent(event);
}
