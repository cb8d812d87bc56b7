// The consumer side of the locator link's record queue: the work of the 25 ms
// record timer on the user-interface thread.
#pragma once

#include "link/RecordSource.h"
#include "platform/DebugFile.h"

// Moves every queued survey point into the survey log, oldest first: signs the
// position (negative in the south and west) or, without a fix, clears it; adds
// the point, saves the log file, and removes the point from the queue. With an
// open system log, a readable dump of each point goes there, with the distances
// from the previously dumped position (prevLat, prevLong, signed degrees), which
// then moves to the point. No link: nothing happens.
void ProcessQueuedRecords(IRecordSource* link, CDebugFile* systemLog, double& prevLat, double& prevLong);

// Text of the status bar's transfer pane: "XFER On" while the link is started.
const char* TransferPaneText(bool bRunning);
