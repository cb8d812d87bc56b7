// ISerialDevice on a Linux tty. The descriptor is non-blocking and every wait is
// a poll() against a deadline, so no read, write or close can hang a reader
// thread, whatever the device or the far end does.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "link/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up so that a poll never wakes
// just short of it and spins; 0 once it has passed.
int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Bytes still in the output queue may hold the last reply to the locator; give
// them this long to leave before the rest is thrown away. Without the flush a
// close() on a port stalled by CTS waits the driver's closing time (30 s on
// many serial drivers).
constexpr int kCloseDrainMs = 250;

class CPosixSerialDevice final : public ISerialDevice {
public:
    ~CPosixSerialDevice() override { Close(); }

    int Open(const std::string& path, bool readWrite) override
    {
        Close();
        // O_NONBLOCK: a real serial line without carrier would otherwise block
        // open() until carrier detect comes up.
        const int fd = ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        // TIOCEXCL does not stop root, so the lock is what keeps a second
        // holder out. It is taken first so that a refused open leaves the
        // holder's exclusive mode alone.
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            const int error = (errno == EWOULDBLOCK) ? EBUSY : errno;
            ::close(fd);
            return error;
        }
        // Not every device is a tty (ENOTTY); the lock alone then has to do.
        ::ioctl(fd, TIOCEXCL);
        m_fd = fd;
        return 0;
    }

    void Close() override
    {
        if (m_fd < 0)
            return;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        int queued = 0;
        while (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 && MsUntil(deadline) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::tcflush(m_fd, TCOFLUSH);
        // Exclusive mode belongs to the tty, not to our descriptor: a tty kept
        // alive by another descriptor would otherwise stay closed to everyone
        // but root.
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd); // also lets go of the lock
        m_fd = -1;
    }

    int Configure(bool setLine) override
    {
        if (m_fd < 0)
            return EBADF;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0)
            return errno;
        // Raw bytes both ways: the locator's frames carry 0x0D, 0x0A, 0x03,
        // 0x11, 0x13 and 0x00 as data, and a COM port of the handheld never
        // touches a byte.
        tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        // CLOCAL: a dropped carrier is seen through TIOCMGET, as on the
        // handheld, instead of the driver hanging the line up.
        tio.c_cflag |= CREAD | CLOCAL;
        // VMIN 1: an empty non-blocking read then says EAGAIN, so that a read
        // of 0 bytes can only mean a hang-up.
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (setLine) {
            tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
            tio.c_cflag |= CS8 | CRTSCTS;
            ::cfsetispeed(&tio, B115200);
            ::cfsetospeed(&tio, B115200);
        }
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
            return errno;
        return 0;
    }

    int Read(uint8_t* buffer, uint32_t length, int intervalMs, int totalMs, uint32_t* got) override
    {
        *got = 0;
        if (m_fd < 0)
            return EBADF;
        const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        while (*got < length) {
            int wait = MsUntil(deadline);
            if (*got > 0 && intervalMs < wait)
                wait = intervalMs;
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return Failed(errno, *got);
            }
            if (ready == 0)
                break;
            if (p.revents & POLLNVAL)
                return Failed(EBADF, *got);
            const ssize_t n = ::read(m_fd, buffer + *got, length - *got);
            if (n > 0) {
                *got += static_cast<uint32_t>(n);
                continue;
            }
            if (n == 0)
                return Failed(EIO, *got); // hung up: 0 for ever, never "nothing came"
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (p.revents & (POLLHUP | POLLERR))
                    return Failed(EIO, *got);
                continue;
            }
            return Failed(errno, *got);
        }
        return 0;
    }

    int Write(const uint8_t* buffer, uint32_t length, int totalMs, uint32_t* put) override
    {
        *put = 0;
        if (m_fd < 0)
            return EBADF;
        const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        while (*put < length) {
            const ssize_t n = ::write(m_fd, buffer + *put, length - *put);
            if (n > 0) {
                *put += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return Failed(errno, *put);
            // Output queue full (or the flow control holds it): wait for room.
            pollfd p{m_fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, MsUntil(deadline));
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return Failed(errno, *put);
            }
            if (ready == 0)
                break; // the time-out: a short write, as the handheld reports it
            if (p.revents & POLLNVAL)
                return Failed(EBADF, *put);
            if ((p.revents & POLLOUT) == 0)
                return Failed(EIO, *put);
        }
        return 0;
    }

    int WaitHandle() const override { return m_fd; }

    int GetCarrier(int* carrier) override
    {
        *carrier = 0;
        if (m_fd < 0)
            return EBADF;
        int status = 0;
        if (::ioctl(m_fd, TIOCMGET, &status) == 0) {
            *carrier = (status & TIOCM_CAR) != 0 ? 1 : 0;
            return 0;
        }
        // No modem lines at all (a pseudo-terminal, some USB adapters): nothing
        // can tell the link is down, so it counts as up; a hang-up gives EIO.
        if (errno == ENOTTY || errno == EINVAL) {
            *carrier = 1;
            return 0;
        }
        return errno;
    }

    int SetSpeed(int32_t baud) override
    {
        static constexpr struct {
            int32_t baud;
            speed_t code;
        } kRates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                      {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                      {230400, B230400}, {460800, B460800}, {921600, B921600}};
        if (m_fd < 0)
            return EBADF;
        speed_t code = B0;
        for (const auto& rate : kRates) {
            if (rate.baud == baud)
                code = rate.code;
        }
        if (code == B0)
            return EINVAL;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0)
            return errno;
        ::cfsetispeed(&tio, code);
        ::cfsetospeed(&tio, code);
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
            return errno;
        // tcsetattr succeeds when any one change was made: only reading the
        // settings back tells whether the driver took the speed.
        if (::tcgetattr(m_fd, &tio) != 0)
            return errno;
        return ::cfgetospeed(&tio) == code ? 0 : EINVAL;
    }

private:
    // Bytes that came (or went) before a failure are handed over as a success;
    // a hang-up or a dead device fails again on the next call.
    static int Failed(int error, uint32_t done) { return done > 0 ? 0 : error; }

    int m_fd = -1;
};

} // namespace

std::unique_ptr<ISerialDevice> MakePosixSerialDevice()
{
    return std::make_unique<CPosixSerialDevice>();
}
