// The field scale for every window of the program, not the main window alone:
// a rugged screen read at arm's length in the sun and worked with gloves. On,
// the program's font grows to kFieldTextPoints, and every button, list, box,
// field, tab and check mark is at least kTouchTargetMm high (9 mm is the
// smallest target a gloved finger hits reliably), from the screen's own DPI.
// Dialogs and message boxes made afterwards take it as they are polished.
#pragma once

class QWidget;

inline constexpr double kTouchTargetMm = 9.0;
inline constexpr int kFieldTextPoints = 14;

// kTouchTargetMm in pixels on the primary screen (96 dpi when there is none).
int TouchTargetPixelsOnScreen();
// Switches the whole program's scale; off gives back the desktop's font.
void SetProgramFieldScale(bool on);
bool ProgramFieldScale();
// The touch sizes on a widget already laid out (a template dialog places its
// controls itself): every control of top grows to the touch size, the
// dialog with it.
void FitForTouch(QWidget& top);
