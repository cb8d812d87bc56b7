#include "gui/QtFace.h"

#include "app/FieldbookView.h"

CQtFace::CQtFace(QObject* parent) : QObject(parent)
{
    m_recordTimer.setInterval(kRecordTimerMs);
    m_recordTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_recordTimer, &QTimer::timeout, this, [this] {
        SurveyTimerProc();
        emit RecordsProcessed();
    });
}

void CQtFace::OnBitmapChanged(int controlId, int bitmapId)
{
    // Queued even from the GUI thread: changes then reach the pictures in the
    // order they were made, whichever thread made them.
    QMetaObject::invokeMethod(
        this, [this, controlId, bitmapId] { emit BitmapChanged(controlId, bitmapId); }, Qt::QueuedConnection);
}

void CQtFace::OnRawData(const std::string& chunk)
{
    // Each chunk is one event: two link threads echoing at once queue whole
    // chunks, which the GUI thread appends one after the other.
    QByteArray bytes(chunk.data(), static_cast<qsizetype>(chunk.size()));
    QMetaObject::invokeMethod(
        this, [this, bytes = std::move(bytes)] { emit RawData(bytes); }, Qt::QueuedConnection);
}

void CQtFace::OnNotice(const std::string& text)
{
    const QString message = QString::fromStdString(text);
    QMetaObject::invokeMethod(this, [this, message] { emit Notice(message); }, Qt::QueuedConnection);
}

void CQtFace::OnTestWindowCleared()
{
    // Behind any echo still queued from before, so the cleared window stays clear.
    QMetaObject::invokeMethod(this, [this] { emit TestWindowCleared(); }, Qt::QueuedConnection);
}

void CQtFace::OnTestWindowLayout(bool show)
{
    emit TestWindowLayout(show);
}

void CQtFace::OnRunningChanged(bool running)
{
    emit RunningChanged(running);
}

void CQtFace::StartRecordTimer()
{
    m_recordTimer.start();
}

void CQtFace::StopRecordTimer()
{
    m_recordTimer.stop();
}
