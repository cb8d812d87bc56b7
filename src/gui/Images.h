// Every picture of the window, drawn here at the size the handheld's resources
// had: indicator bitmaps 36 x 36, lamps 16 x 16, toolbar images 14 x 16 or
// 28 x 32, the program icon.
#pragma once

#include <QIcon>
#include <QPixmap>

// Sizes are in logical pixels; ratio is the screen's device pixel ratio, and the
// picture is drawn with that many device pixels per logical pixel.

// A bitmap resource by id (IDB_... of link/LinkOwner.h); a null pixmap for an
// unknown id.
QPixmap LoadBitmap(int bitmapId, qreal ratio = 1.0);
// The window's own lamp colour beside the link's two: a fix below the
// quality gate.
enum : int { IDB_LAMP_AMBER = 172 };

// The toolbar image of a command (ID_TRANSFER ... ID_EXIT); large: 28 x 32.
QPixmap ToolbarImage(int commandId, bool large, qreal ratio = 1.0);
// The same image drawn for the usual device pixel ratios.
QIcon ToolbarIcon(int commandId, bool large);

// Icon 128 at size x size pixels.
QPixmap ProgramIconImage(int size, qreal ratio = 1.0);
QIcon ProgramIcon();
