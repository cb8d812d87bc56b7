// The desktop face: runs fieldbook in its window until the user leaves.
#pragma once

#include "app/Application.h"

// Reads the configuration (its messages in warning boxes the user must
// acknowledge before the window opens), ends silently when another fieldbook
// runs on the same documents folder, then shows the main window and runs the
// event loop. The folders of options are already in force. Returns the exit status.
int RunWindow(int argc, char** argv, const APP_OPTIONS& options);
