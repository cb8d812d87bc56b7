// The consumer side of the locator link's record queue: the work of the 25 ms
// record timer on the user-interface thread.
#pragma once

#include <cstddef>

#include "link/RecordSource.h"
#include "platform/DebugFile.h"

// Looks at each point on its way into the log (the quality gate lives above
// the survey log). User-interface thread; must not wait.
class IPointCheck {
public:
    virtual ~IPointCheck() = default;
    // Before the log takes the point: may mark its quality record.
    virtual void Check(SURVEY_POINT& point) = 0;
    // The log took the point as its point number (from 1).
    virtual void OnLogged(const SURVEY_POINT& point, size_t number) = 0;
};

// Moves every queued survey point into the survey log, oldest first: signs the
// position (negative in the south and west) or, without a fix, clears it; adds
// the point, saves the log file, and removes the point from the queue. With an
// open system log, a readable dump of each point goes there, with the distances
// from the previously dumped position (prevLat, prevLong, signed degrees), which
// then moves to the point. check, when given, sees each point. No link:
// nothing happens.
void ProcessQueuedRecords(IRecordSource* link, CDebugFile* systemLog, double& prevLat, double& prevLong,
                          IPointCheck* check = nullptr);

// Text of the status bar's transfer pane: "XFER On" while the link is started.
const char* TransferPaneText(bool bRunning);
