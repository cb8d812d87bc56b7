// A pseudo-terminal standing in for a serial device: the port under test opens
// the slave through the link PORTS/COM<n>, the test plays the far end (locator,
// GPS receiver) on the master. Both sides are raw, so every byte passes as it is.
//
// Linux behaviour worth knowing when writing tests with it:
//  - When every descriptor of the slave is closed, reads on the master fail with
//    EIO until the slave is opened again. The helper keeps a slave descriptor of
//    its own (keepSlaveOpen, on by default) so that the port may close and reopen
//    without the master noticing.
//  - Closing the master hangs the slave up: the port's poll() sees POLLHUP, its
//    read() gives 0 or EIO, TIOCMGET gives EIO. The slave's device node goes
//    away with it, so opening COM<n> gives ENOENT until Return().
//  - TIOCMGET on a live slave fails with ENOTTY (no modem lines): the port
//    takes that as carrier present.
//  - Bytes the master writes while no port has the slave open wait in the
//    slave's input queue and are read by the next port that opens it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class Pty {
public:
    // Creates the pair and links the slave as portsFolder/COM<portNumber>.
    // Throws std::runtime_error when the system gives no pseudo-terminal.
    Pty(const std::string& portsFolder, int portNumber, bool keepSlaveOpen = true);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Writes all bytes to the master; false when they did not all go within the
    // timeout or the master failed.
    bool Write(const std::string& bytes, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Reads from the master until maxBytes came or the timeout passed; whatever came.
    std::string Read(size_t maxBytes, std::chrono::milliseconds timeout = std::chrono::seconds(2));

    // Bytes the master wrote that no port has read yet (the slave's input
    // queue); 0 without the helper's own slave descriptor.
    size_t Unread() const;

    // The device goes away: master (and the helper's slave) closed, link removed.
    void Vanish();
    // A new pseudo-terminal, linked under the same name.
    void Return();
    bool Present() const { return m_master >= 0; }

    const std::string& LinkPath() const { return m_link; }
    const std::string& SlavePath() const { return m_slavePath; }

private:
    void Create();

    std::string m_link;
    bool m_keepSlave;
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};
