#include "gui/Images.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

#include "app/Application.h"
#include "link/LinkOwner.h"

namespace {

constexpr int kPictureSize = 36;
constexpr int kLampSize = 16;

const QColor kMarkRed(0xd0, 0x10, 0x10);

// Device pixel ratios an icon carries drawings for; Qt picks the nearest.
constexpr qreal kIconRatios[] = {1.0, 1.5, 2.0, 3.0};

// A transparent pixmap of width x height logical pixels for a screen of the
// given device pixel ratio: painters draw on it in logical pixels and Qt's
// scaling fills every device pixel, so pictures stay sharp on high-DPI screens.
QPixmap Blank(int width, int height, qreal ratio)
{
    ratio = std::max<qreal>(ratio, 1.0);
    QPixmap pixmap(static_cast<int>(std::ceil(width * ratio)), static_cast<int>(std::ceil(height * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The small red mark of the "down" pictures: a red bar across the lower right.
void DrawDownMark(QPainter& p)
{
    p.setPen(QPen(kMarkRed, 3.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(23, 33), QPointF(33, 23));
    p.drawLine(QPointF(23, 23), QPointF(33, 33));
}

QPixmap Satellite(bool colour, qreal ratio)
{
    QPixmap pixmap = Blank(kPictureSize, kPictureSize, ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor panel = colour ? QColor(0x20, 0x50, 0xc0) : QColor(0x80, 0x80, 0x80);
    const QColor panelLine = colour ? QColor(0x90, 0xb8, 0xff) : QColor(0xc8, 0xc8, 0xc8);
    const QColor body = colour ? QColor(0xe0, 0xb0, 0x30) : QColor(0xa8, 0xa8, 0xa8);
    const QColor outline = colour ? QColor(0x50, 0x40, 0x10) : QColor(0x50, 0x50, 0x50);

    // Tilted a little, as satellites are always drawn.
    p.translate(18, 17);
    p.rotate(-30);
    p.setPen(QPen(outline, 1.0));
    for (int side : {-1, 1}) {
        const QRectF wing(side < 0 ? -17 : 6, -5, 11, 10);
        p.setBrush(panel);
        p.drawRect(wing);
        p.setPen(QPen(panelLine, 0.8));
        p.drawLine(QPointF(wing.center().x(), wing.top()), QPointF(wing.center().x(), wing.bottom()));
        p.drawLine(QPointF(wing.left(), 0), QPointF(wing.right(), 0));
        p.setPen(QPen(outline, 1.0));
        p.drawLine(QPointF(side * 4, 0), QPointF(side * 6, 0));
    }
    p.setBrush(body);
    p.drawRect(QRectF(-4, -6, 8, 12));
    // The dish and its feed, pointing down to the ground.
    p.setBrush(colour ? QColor(0xf0, 0xf0, 0xf0) : QColor(0xd8, 0xd8, 0xd8));
    QPainterPath dish;
    dish.moveTo(-5, 7);
    dish.quadTo(0, 13, 5, 7);
    dish.closeSubpath();
    p.drawPath(dish);
    p.resetTransform();
    if (!colour)
        DrawDownMark(p);
    return pixmap;
}

QPixmap Rune(bool colour, qreal ratio)
{
    QPixmap pixmap = Blank(kPictureSize, kPictureSize, ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = colour ? QColor(0x10, 0x60, 0xd8) : QColor(0x90, 0x90, 0x90);
    p.setPen(QPen(colour ? QColor(0x08, 0x30, 0x80) : QColor(0x50, 0x50, 0x50), 1.0));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(8.5, 2.5, 19, 31), 9, 9);
    // The rune: a vertical stroke with two closed arrowheads on the right and
    // two tails to the left.
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF rune[] = {{12.5, 11.5}, {23.5, 23}, {18, 28.5}, {18, 7.5}, {23.5, 13}, {12.5, 24.5}};
    p.drawPolyline(rune, 6);
    if (!colour)
        DrawDownMark(p);
    return pixmap;
}

QPixmap Lamp(const QColor& light, const QColor& dark, qreal ratio)
{
    QPixmap pixmap = Blank(kLampSize, kLampSize, ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(QPointF(6, 6), 9);
    glow.setColorAt(0.0, Qt::white);
    glow.setColorAt(0.35, light);
    glow.setColorAt(1.0, dark);
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.0));
    p.setBrush(glow);
    // The lamps are squares, as the handheld showed them.
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 2.0, 2.0);
    return pixmap;
}

// Toolbar images are drawn on a 14 x 16 grid and scaled for the large toolbar.
void DrawTransfer(QPainter& p)
{
    p.setPen(QPen(QColor(0x00, 0x70, 0x20), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(2, 5), QPointF(12, 5));
    p.drawPolyline(QPolygonF({QPointF(9, 2.5), QPointF(12, 5), QPointF(9, 7.5)}));
    p.setPen(QPen(QColor(0x10, 0x30, 0xb0), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(12, 11), QPointF(2, 11));
    p.drawPolyline(QPolygonF({QPointF(5, 8.5), QPointF(2, 11), QPointF(5, 13.5)}));
}

void DrawSettings(QPainter& p)
{
    // Screwdriver: handle lower left, blade to the upper right.
    p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 10), QPointF(12, 3));
    p.setPen(QPen(QColor(0xd0, 0x20, 0x20), 3.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(2.5, 14), QPointF(5.5, 10.5));
    // Spanner: shaft lower right to upper left, open jaw at the top.
    p.setPen(QPen(QColor(0x40, 0x40, 0x48), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11.5, 14), QPointF(5, 6));
    p.setPen(QPen(QColor(0x40, 0x40, 0x48), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(1.5, 1.5, 6, 6), 0 * 16, 270 * 16);
}

void DrawNewPage(QPainter& p)
{
    QPainterPath page;
    page.moveTo(2.5, 1.5);
    page.lineTo(8.5, 1.5);
    page.lineTo(11.5, 4.5);
    page.lineTo(11.5, 14.5);
    page.lineTo(2.5, 14.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.0));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.drawPolyline(QPolygonF({QPointF(8.5, 1.5), QPointF(8.5, 4.5), QPointF(11.5, 4.5)}));
    p.setPen(QPen(QColor(0x90, 0x90, 0xb0), 0.8));
    for (double y : {7.5, 9.5, 11.5})
        p.drawLine(QPointF(4.5, y), QPointF(9.5, y));
}

void DrawQuestion(QPainter& p)
{
    p.setPen(QPen(QColor(0x10, 0x30, 0xb0), 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath hook;
    hook.moveTo(4, 5);
    hook.cubicTo(4, 1.5, 10.5, 1.5, 10.5, 5);
    hook.cubicTo(10.5, 7.5, 7, 7.5, 7, 10.5);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x10, 0x30, 0xb0));
    p.drawEllipse(QPointF(7, 13.5), 1.2, 1.2);
}

void DrawExit(QPainter& p)
{
    p.setPen(QPen(QColor(0xd0, 0x10, 0x10), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3, 4), QPointF(11, 12));
    p.drawLine(QPointF(11, 4), QPointF(3, 12));
}

} // namespace

QPixmap LoadBitmap(int bitmapId, qreal ratio)
{
    switch (bitmapId) {
    case IDB_GPS_FIX:
        return Satellite(true, ratio);
    case IDB_GPS_NO_FIX:
        return Satellite(false, ratio);
    case IDB_BLUETOOTH_UP:
        return Rune(true, ratio);
    case IDB_BLUETOOTH_DOWN:
        return Rune(false, ratio);
    case IDB_LAMP_GREEN:
        return Lamp(QColor(0x30, 0xe0, 0x30), QColor(0x00, 0x70, 0x00), ratio);
    case IDB_LAMP_RED:
        return Lamp(QColor(0xff, 0x40, 0x30), QColor(0x80, 0x00, 0x00), ratio);
    case IDB_LAMP_AMBER:
        return Lamp(QColor(0xff, 0xc0, 0x20), QColor(0x90, 0x50, 0x00), ratio);
    default:
        return QPixmap();
    }
}

QPixmap ToolbarImage(int commandId, bool large, qreal ratio)
{
    const int scale = large ? 2 : 1;
    QPixmap pixmap = Blank(14 * scale, 16 * scale, ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    switch (commandId) {
    case ID_TRANSFER:
        DrawTransfer(p);
        break;
    case ID_SETTINGS:
        DrawSettings(p);
        break;
    case ID_NEW_LOG:
        DrawNewPage(p);
        break;
    case ID_ABOUT:
    case ID_HELP:
        DrawQuestion(p);
        break;
    case ID_EXIT:
        DrawExit(p);
        break;
    default:
        break;
    }
    return pixmap;
}

QPixmap ProgramIconImage(int size, qreal ratio)
{
    QPixmap pixmap = Blank(size, size, ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    // A field sheet with a surveyed track and the point just stored.
    p.setPen(QPen(QColor(0x20, 0x40, 0x20), 1.0));
    p.setBrush(QColor(0xe8, 0xf4, 0xd8));
    p.drawRoundedRect(QRectF(2.5, 2.5, 27, 27), 4, 4);
    p.setPen(QPen(QColor(0x90, 0x60, 0x20), 2.0, Qt::DotLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath track;
    track.moveTo(6, 26);
    track.cubicTo(12, 18, 14, 24, 20, 14);
    p.drawPath(track);
    p.setPen(QPen(QColor(0x80, 0x00, 0x00), 1.0));
    p.setBrush(QColor(0xe0, 0x20, 0x20));
    QPainterPath pin;
    pin.moveTo(22, 17);
    pin.cubicTo(16, 10, 17, 4, 22, 4);
    pin.cubicTo(27, 4, 28, 10, 22, 17);
    p.drawPath(pin);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(22, 8.5), 2, 2);
    return pixmap;
}

QIcon ToolbarIcon(int commandId, bool large)
{
    QIcon icon;
    for (qreal ratio : kIconRatios)
        icon.addPixmap(ToolbarImage(commandId, large, ratio));
    return icon;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(ProgramIconImage(size));
    return icon;
}
