// The desktop face: runs fieldbook in its window until the user leaves.
#pragma once

#include "app/Application.h"

class QString;

// Reads the configuration (its messages in warning boxes the user must
// acknowledge before the window opens), explains itself in a box and ends when
// another fieldbook runs on the same documents folder (a running window is
// brought to the front), then shows the main window and runs the
// event loop. The folders of options are already in force. Returns the exit status.
int RunWindow(int argc, char** argv, const APP_OPTIONS& options);

// The box a second start shows before it ends (its text from SecondInstanceText).
void ShowSecondInstanceBox(const QString& text);
