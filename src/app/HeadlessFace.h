// The face without a window: what the view shows becomes one line on stdout per
// event, flushed at once, so a vehicle PC, a Pi or a test can follow the survey.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "app/Application.h"
#include "app/ViewFace.h"
#include "platform/WakeEvent.h"

// sd-daemon's priorities, as a "<n>" before a line that journald reads.
inline constexpr int kJournalError = 3;
inline constexpr int kJournalWarning = 4;
// "<n>" while stderr is the stream journald gave the service (JOURNAL_STREAM
// names its device and inode), else "": a terminal or a file gets bare lines.
std::string JournalPrefix(int priority);
// Each line of text to stderr, with the journal's priority when it reads them.
void WriteWarning(const std::string& text, int priority = kJournalWarning);

class CHeadlessFace : public IViewFace {
public:
    explicit CHeadlessFace(std::FILE* out) : m_out(out) {}

    void OnBitmapChanged(int controlId, int bitmapId) override;
    void OnRawData(const std::string& chunk) override;
    void OnTestWindowCleared() override {}
    void OnTestWindowLayout(bool) override {}
    void OnRunningChanged(bool running) override;
    void OnNotice(const std::string& text, bool warning) override;
    void OnQualityWarning(const std::string& text) override { OnNotice(text, true); }
    void OnLogSaveState(const std::string& text, bool failing) override { OnNotice(text, failing); }
    void StartRecordTimer() override { m_timerRunning = true; }
    void StopRecordTimer() override { m_timerRunning = false; }
    void OnRecordQueued() override { m_recordQueued.Raise(); }
    void OnCorrections(const std::string& line, bool) override { Line(line); }

    bool TimerRunning() const { return m_timerRunning; }
    // Raised by every point queued; the main loop sleeps on it.
    CWakeEvent& RecordQueued() { return m_recordQueued; }
    // One line per point that reached the disk since the last call (the log
    // pane text, count the points on disk), and the pane of a new file.
    void ReportLog(const std::string& fileName, size_t count);
    void Line(const std::string& text);

private:
    std::mutex m_mutex;
    // Held while a picture's line is printed, so lines keep the pictures' order.
    std::mutex m_pictureMutex;
    // The line each picture printed last: a stop sets them idle from the link
    // threads and from the view, which is one change, not two.
    int m_lastBluetoothIcon = 0;
    int m_lastGpsIcon = 0;
    std::FILE* m_out;
    bool m_timerRunning = false;
    CWakeEvent m_recordQueued;
    std::string m_lastTransfer;
    std::string m_lastFile;
    size_t m_lastCount = static_cast<size_t>(-1);
};

// fieldbook --headless: reads the configuration, takes the single-instance lock,
// runs the logger until SIGINT or SIGTERM (SIGHUP starts a new survey log).
// Returns the exit status.
int RunHeadless(const APP_OPTIONS& options);
