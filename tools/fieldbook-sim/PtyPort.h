// One simulated serial device: a pseudo-terminal whose slave end is linked as
// DIR/COM<n>. The sim talks on the master end.
//
// The sim keeps a slave descriptor of its own open (raw, so nothing is echoed
// back to the master): without it, fieldbook closing the port would leave the
// master reading EIO, a hang-up. Who else has the slave open is followed with
// inotify open/close events on the slave node. That program (fieldbook) makes the
// port exclusive (TIOCEXCL); the flag lives as long as the terminal, so when the
// last other user closes it the sim clears it again, or fieldbook, unless root,
// could never reopen the port.
#pragma once

#include <string>

class CPtyPort {
public:
    CPtyPort() = default;
    ~CPtyPort() { Destroy(); }
    CPtyPort(const CPtyPort&) = delete;
    CPtyPort& operator=(const CPtyPort&) = delete;

    // Creates the pseudo-terminal and the link dir/COM<n>. An existing link that
    // points nowhere (a sim that died) is replaced; anything else there is
    // left alone and the call fails. false with error set on failure.
    bool Create(const std::string& dir, int port, std::string& error);
    // Closes both ends and removes the link (only if it is still ours).
    void Destroy();
    bool IsCreated() const { return m_master >= 0; }

    int MasterFd() const { return m_master; }
    int WatchFd() const { return m_watch; }
    const std::string& SlavePath() const { return m_slavePath; }
    const std::string& LinkPath() const { return m_linkPath; }

    // Reads pending open/close events. Returns true when another program opened
    // the device or closed it for the last time.
    bool HandleWatchEvents();
    // Another program holds the slave open.
    bool PeerOpen() const { return m_peerOpens > 0; }
    // Drops whatever waits for the slave to read (stale data from before a peer
    // opened it).
    void FlushToSlave();

private:
    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1;
    int m_peerOpens = 0;
    std::string m_slavePath;
    std::string m_linkPath;
};
