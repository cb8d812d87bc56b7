// The window's side of the view: everything the view shows arrives here and
// goes on as Qt signals emitted on the GUI thread. Calls from the link threads
// (pictures, echo) are posted to the event loop, queued, never waited for, so
// no worker ever waits for the window and no widget is touched off its thread.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "app/ViewFace.h"

class CQtFace : public QObject, public IViewFace {
    Q_OBJECT
public:
    // The record timer's period.
    static constexpr int kRecordTimerMs = 25;

    explicit CQtFace(QObject* parent = nullptr);

    void OnBitmapChanged(int controlId, int bitmapId) override;
    void OnRawData(const std::string& chunk) override;
    void OnTestWindowCleared() override;
    void OnTestWindowLayout(bool show) override;
    void OnRunningChanged(bool running) override;
    void OnNotice(const std::string& text) override;
    void StartRecordTimer() override;
    void StopRecordTimer() override;

    bool RecordTimerActive() const { return m_recordTimer.isActive(); }

signals:
    void BitmapChanged(int controlId, int bitmapId);
    void RawData(const QByteArray& chunk);
    void TestWindowCleared();
    void TestWindowLayout(bool show);
    void RunningChanged(bool running);
    void Notice(const QString& text);
    // The record timer ran SurveyTimerProc: points may have reached the log.
    void RecordsProcessed();

private:
    QTimer m_recordTimer;
};
