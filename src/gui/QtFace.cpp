#include "gui/QtFace.h"

#include "app/FieldbookView.h"

CQtFace::CQtFace(QObject* parent) : QObject(parent)
{
    m_recordTimer.setInterval(kRecordTimerMs);
    m_recordTimer.setTimerType(Qt::PreciseTimer);
    m_recordTimer.setSingleShot(true);
    connect(&m_recordTimer, &QTimer::timeout, this, &CQtFace::ProcessRecords);
    if (m_recordQueued.Fd() >= 0) {
        m_pQueuedNotifier = new QSocketNotifier(m_recordQueued.Fd(), QSocketNotifier::Read, this);
        connect(m_pQueuedNotifier, &QSocketNotifier::activated, this, [this] {
            m_recordQueued.Take();
            if (m_bRecordsOn)
                ProcessRecords();
        });
    }
}

void CQtFace::ProcessRecords()
{
    SurveyTimerProc();
    emit RecordsProcessed();
    // Without a notifier the timer is all there is: it keeps running.
    if (m_bRecordsOn && (m_pQueuedNotifier == nullptr || RecordsWaiting()))
        m_recordTimer.start();
}

void CQtFace::OnBitmapChanged(int controlId, int bitmapId)
{
    // Queued even from the GUI thread: changes then reach the pictures in the
    // order they were made, whichever thread made them.
    QMetaObject::invokeMethod(
        this, [this, controlId, bitmapId] { emit BitmapChanged(controlId, bitmapId); }, Qt::QueuedConnection);
}

void CQtFace::OnGpsFixChanged()
{
    if (m_bFixPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bFixPosted = false;
            emit GpsFixChanged();
        },
        Qt::QueuedConnection);
}

void CQtFace::OnRawData(const std::string& chunk)
{
    // Each chunk is one event: two link threads echoing at once queue whole
    // chunks, which the GUI thread appends one after the other.
    QByteArray bytes(chunk.data(), static_cast<qsizetype>(chunk.size()));
    QMetaObject::invokeMethod(
        this, [this, bytes = std::move(bytes)] { emit RawData(bytes); }, Qt::QueuedConnection);
}

void CQtFace::OnLinkStopped()
{
    QMetaObject::invokeMethod(this, [this] { emit LinkStopped(); }, Qt::QueuedConnection);
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

void CQtFace::OnNotice(const std::string& text, bool warning)
{
    const QString message = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        this, [this, message, warning] { emit Notice(message, warning); }, Qt::QueuedConnection);
}

void CQtFace::OnCorrections(const std::string& line, bool streaming)
{
    const QString text = QString::fromStdString(line);
    QMetaObject::invokeMethod(
        this, [this, text, streaming] { emit Corrections(text, streaming); }, Qt::QueuedConnection);
}

void CQtFace::StartRecordTimer()
{
    // The first pass takes what was queued before the start.
    m_bRecordsOn = true;
    m_recordTimer.start();
}

void CQtFace::StopRecordTimer()
{
    m_bRecordsOn = false;
    m_recordTimer.stop();
}
