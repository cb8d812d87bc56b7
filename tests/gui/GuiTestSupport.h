// Helpers of the window's tests: scratch folders in force for one test, and
// waiting for posted events with a bound.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <functional>

#include "app/ConfigFile.h"
#include "platform/Folders.h"
#include "support/ScratchDir.h"

// Documents, ports and log folders of their own, and the configuration back at
// its defaults, for the lifetime of one test.
class ScratchFolders {
public:
    ScratchFolders()
    {
        SetDocumentsFolder(m_documents.Path());
        SetPortsFolder(m_ports.Path());
        SetLogFolder(m_logs.Path());
        GetConfig().ResetToDefaults();
    }
    ~ScratchFolders()
    {
        GetConfig().ResetToDefaults();
        SetDocumentsFolder("");
        SetPortsFolder("");
        SetLogFolder("");
    }
    const ScratchDir& Documents() const { return m_documents; }
    const ScratchDir& Ports() const { return m_ports; }
    const ScratchDir& Logs() const { return m_logs; }

private:
    ScratchDir m_documents;
    ScratchDir m_ports;
    ScratchDir m_logs;
};

// Runs the event loop until done() holds or 5 s have passed; gives done().
inline bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(1);
    }
    return true;
}
