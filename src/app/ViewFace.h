// What the main view shows goes out through this interface; a face (the Qt
// window or the headless console) implements it. Calls marked "any thread" come
// from the link threads too: they must return at once and never wait for the
// user-interface thread (the window posts them to its event loop, queued).
#pragma once

#include <cstdint>
#include <string>

class IViewFace {
public:
    virtual ~IViewFace() = default;

    // Any thread: picture control controlId now shows bitmap bitmapId.
    virtual void OnBitmapChanged(int controlId, int bitmapId) = 0;
    // Any thread: one echoed chunk of raw traffic, already cut at its first zero
    // byte; the face appends it and a line break to the test window.
    virtual void OnRawData(const std::string& chunk) = 0;
    // Any thread: the link threads that BeginStopLink set stopping have ended;
    // the face calls FinishStopLink on the user-interface thread. A face that
    // never stops the link in the background has nothing to do.
    virtual void OnLinkStopped() {}

    // Any thread: a message for the user that must not stop the survey (the
    // window: a box that does not block it; headless: a line on stdout, or on
    // stderr for a warning).
    virtual void OnNotice(const std::string& /*text*/, bool /*warning*/) {}
    // User-interface thread: a point fell below the quality gate; text is
    // the warning ("GPS: point 17 below RTK fixed (RTK float, 0.21 m)"). The
    // headless face prints it as a warning line; the window shows the point.
    virtual void OnQualityWarning(const std::string& /*text*/) {}
    // Any thread: a line about the RTK corrections (headless: printed; the
    // window: the Corrections lamp's text); streaming lights the lamp green.
    virtual void OnCorrections(const std::string& /*line*/, bool /*streaming*/) {}
    // Any thread: a point was queued; the face wakes its user-interface
    // thread, which runs SurveyTimerProc now rather than at the next tick.
    virtual void OnRecordQueued() {}
    // Any thread: the link's current fix changed (CFieldbookView::LatestGpsFix);
    // a face that draws it reads it again, as often as it cares to repaint.
    virtual void OnGpsFixChanged() {}

    // User-interface thread only from here on.

    // A save of the survey log failed (failing, text the warning with the
    // points held only in memory; told after every pass of the record timer
    // that met a new failure), or the first save after such failures put
    // every point on disk again (text says where).
    virtual void OnLogSaveState(const std::string& /*text*/, bool /*failing*/) {}
    virtual void OnTestWindowCleared() = 0;
    // Places the test window and shows or hides it.
    virtual void OnTestWindowLayout(bool show) = 0;
    // The link was started or stopped (toolbar button, settings command, pane).
    virtual void OnRunningChanged(bool running) = 0;
    // The record timer: the face calls SurveyTimerProc on the user-interface
    // thread until told to stop, when a point is queued (OnRecordQueued) and
    // every 25 ms while RecordsWaiting says points are left over.
    virtual void StartRecordTimer() = 0;
    virtual void StopRecordTimer() = 0;
};
