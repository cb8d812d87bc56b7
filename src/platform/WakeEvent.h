// A flag one thread raises and another sleeps on: an eventfd, so it sits in a
// poll() set or behind a Qt socket notifier. Raising never blocks; raises that
// come before the sleeper looks count as one.
#pragma once

class CWakeEvent {
public:
    CWakeEvent();
    ~CWakeEvent();
    CWakeEvent(const CWakeEvent&) = delete;
    CWakeEvent& operator=(const CWakeEvent&) = delete;

    // Any thread.
    void Raise();
    // Lowers the flag; true when it was raised.
    bool Take();
    // Polls readable while raised; -1 when the system gave no eventfd (the
    // sleeper then has only its own time-outs).
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};
