// The window's side of the view: everything the view shows arrives here and
// goes on as Qt signals emitted on the GUI thread. Calls from the link threads
// (pictures, echo) are posted to the event loop, queued, never waited for, so
// no worker ever waits for the window and no widget is touched off its thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <atomic>

#include "app/ViewFace.h"
#include "platform/WakeEvent.h"

class CQtFace : public QObject, public IViewFace {
    Q_OBJECT
public:
    // The record timer's period while points are left over in the queue.
    static constexpr int kRecordTimerMs = 25;

    explicit CQtFace(QObject* parent = nullptr);

    void OnBitmapChanged(int controlId, int bitmapId) override;
    void OnRawData(const std::string& chunk) override;
    void OnLinkStopped() override;
    void OnTestWindowCleared() override;
    void OnTestWindowLayout(bool show) override;
    void OnRunningChanged(bool running) override;
    void OnNotice(const std::string& text, bool warning) override;
    void OnLogSaveState(const std::string& text, bool failing) override
    {
        emit LogSaveState(QString::fromStdString(text), failing);
    }
    void OnCorrections(const std::string& line, bool streaming) override;
    void StartRecordTimer() override;
    void StopRecordTimer() override;
    // Any thread: wakes the GUI thread through the notifier.
    void OnRecordQueued() override { m_recordQueued.Raise(); }
    // Any thread: one GpsFixChanged waits in the event loop at most, however
    // many fixes come meanwhile.
    void OnGpsFixChanged() override;

    // Points are taken as they are queued (the timer itself runs only while
    // some are left over).
    bool RecordTimerActive() const { return m_bRecordsOn; }

signals:
    void BitmapChanged(int controlId, int bitmapId);
    void RawData(const QByteArray& chunk);
    void TestWindowCleared();
    void TestWindowLayout(bool show);
    void RunningChanged(bool running);
    void Notice(const QString& text, bool warning);
    // GUI thread: saves of the survey log fail (failing) or work again.
    void LogSaveState(const QString& text, bool failing);
    // The RTK corrections' latest line; streaming lights the lamp green.
    void Corrections(const QString& line, bool streaming);
    // A background stop of the link has ended (GUI thread, posted).
    void LinkStopped();
    // The record timer ran SurveyTimerProc: points may have reached the log.
    void RecordsProcessed();
    // The link's current fix changed since the last one of these.
    void GpsFixChanged();

private:
    // One pass of the record timer, then the timer again only if points remain.
    void ProcessRecords();

    QTimer m_recordTimer;
    CWakeEvent m_recordQueued;
    QSocketNotifier* m_pQueuedNotifier = nullptr;
    bool m_bRecordsOn = false;
    std::atomic<bool> m_bFixPosted{false};
};
