#include "support/FakeSerialDevice.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

struct FakeSerialDevice::State {
    struct ReadItem {
        std::string bytes;
        int error = 0;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    int openError = 0;
    int configureError = 0;
    std::deque<ReadItem> reads;
    bool readWaits = false;
    bool carrier = true;
    int carrierError = 0;
    uint32_t writeLimit = 0;
    int writeError = 0;

    bool open = false;
    int opens = 0;
    int closes = 0;
    std::string lastPath;
    bool lastReadWrite = false;
    std::vector<bool> configures;
    std::vector<Call> readCalls;
    std::vector<Call> writeCalls;
    std::vector<std::string> writes;
    int carrierQueries = 0;
};

class FakeSerialDevice::Device final : public ISerialDevice {
public:
    explicit Device(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    ~Device() override { Close(); }

    int Open(const std::string& path, bool readWrite) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->open)
            return EBUSY;
        if (m_state->openError != 0)
            return m_state->openError;
        m_state->open = m_mine = true;
        ++m_state->opens;
        m_state->lastPath = path;
        m_state->lastReadWrite = readWrite;
        m_state->changed.notify_all();
        return 0;
    }

    void Close() override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_mine)
            return;
        m_state->open = m_mine = false;
        ++m_state->closes;
        m_state->changed.notify_all();
    }

    int Configure(bool setLine) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_mine)
            return EBADF;
        m_state->configures.push_back(setLine);
        return m_state->configureError;
    }

    int Read(uint8_t* buffer, uint32_t length, int intervalMs, int totalMs, uint32_t* got) override
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        *got = 0;
        if (!m_mine)
            return EBADF;
        m_state->readCalls.push_back({intervalMs, totalMs, length});
        m_state->changed.notify_all();
        if (m_state->reads.empty() && m_state->readWaits)
            m_state->changed.wait_for(lock, std::chrono::milliseconds(totalMs),
                                      [&] { return !m_state->reads.empty() || !m_mine; });
        if (!m_mine)
            return EBADF;
        if (m_state->reads.empty())
            return 0;
        State::ReadItem& next = m_state->reads.front();
        if (next.error != 0) {
            const int error = next.error;
            m_state->reads.pop_front();
            return error;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, next.bytes.size()));
        if (n > 0)
            std::memcpy(buffer, next.bytes.data(), n);
        next.bytes.erase(0, n);
        if (next.bytes.empty())
            m_state->reads.pop_front();
        *got = n;
        return 0;
    }

    int Write(const uint8_t* buffer, uint32_t length, int totalMs, uint32_t* put) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        *put = 0;
        if (!m_mine)
            return EBADF;
        m_state->writeCalls.push_back({0, totalMs, length});
        if (m_state->writeError != 0)
            return m_state->writeError;
        uint32_t n = length;
        if (m_state->writeLimit != 0)
            n = std::min(n, m_state->writeLimit);
        m_state->writes.emplace_back(reinterpret_cast<const char*>(buffer), n);
        *put = n;
        return 0;
    }

    int GetCarrier(int* carrier) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        *carrier = 0;
        if (!m_mine)
            return EBADF;
        ++m_state->carrierQueries;
        if (m_state->carrierError != 0)
            return m_state->carrierError;
        *carrier = m_state->carrier ? 1 : 0;
        return 0;
    }

private:
    std::shared_ptr<State> m_state;
    bool m_mine = false; // this device holds the open (guarded by the state's mutex)
};

FakeSerialDevice::FakeSerialDevice() : m_state(std::make_shared<State>()) {}
FakeSerialDevice::~FakeSerialDevice() = default;

std::unique_ptr<ISerialDevice> FakeSerialDevice::MakeDevice()
{
    return std::make_unique<Device>(m_state);
}

namespace {
template <typename F>
auto Locked(std::mutex& mutex, F&& f)
{
    std::lock_guard<std::mutex> lock(mutex);
    return f();
}
template <typename S, typename F>
void Update(S& state, F&& change)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    change();
    state.changed.notify_all();
}
} // namespace

void FakeSerialDevice::SetOpenError(int error) { Update(*m_state, [&] { m_state->openError = error; }); }
void FakeSerialDevice::SetConfigureError(int error) { Update(*m_state, [&] { m_state->configureError = error; }); }
void FakeSerialDevice::QueueRead(const std::string& bytes) { Update(*m_state, [&] { m_state->reads.push_back({bytes, 0}); }); }
void FakeSerialDevice::QueueReadError(int error) { Update(*m_state, [&] { m_state->reads.push_back({std::string(), error}); }); }
void FakeSerialDevice::SetReadWaits(bool waits) { Update(*m_state, [&] { m_state->readWaits = waits; }); }
void FakeSerialDevice::SetCarrier(bool up) { Update(*m_state, [&] { m_state->carrier = up; }); }
void FakeSerialDevice::SetCarrierError(int error) { Update(*m_state, [&] { m_state->carrierError = error; }); }
void FakeSerialDevice::SetWriteLimit(uint32_t maxBytes) { Update(*m_state, [&] { m_state->writeLimit = maxBytes; }); }
void FakeSerialDevice::SetWriteError(int error) { Update(*m_state, [&] { m_state->writeError = error; }); }

bool FakeSerialDevice::IsOpen() const { return Locked(m_state->mutex, [&] { return m_state->open; }); }
int FakeSerialDevice::OpenCount() const { return Locked(m_state->mutex, [&] { return m_state->opens; }); }
int FakeSerialDevice::CloseCount() const { return Locked(m_state->mutex, [&] { return m_state->closes; }); }
std::string FakeSerialDevice::LastOpenPath() const { return Locked(m_state->mutex, [&] { return m_state->lastPath; }); }
bool FakeSerialDevice::LastOpenReadWrite() const { return Locked(m_state->mutex, [&] { return m_state->lastReadWrite; }); }
std::vector<bool> FakeSerialDevice::Configures() const { return Locked(m_state->mutex, [&] { return m_state->configures; }); }
std::vector<FakeSerialDevice::Call> FakeSerialDevice::Reads() const { return Locked(m_state->mutex, [&] { return m_state->readCalls; }); }
std::vector<FakeSerialDevice::Call> FakeSerialDevice::WriteCalls() const { return Locked(m_state->mutex, [&] { return m_state->writeCalls; }); }
std::vector<std::string> FakeSerialDevice::Writes() const { return Locked(m_state->mutex, [&] { return m_state->writes; }); }
int FakeSerialDevice::CarrierQueries() const { return Locked(m_state->mutex, [&] { return m_state->carrierQueries; }); }

std::string FakeSerialDevice::Written() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::string all;
    for (const std::string& w : m_state->writes)
        all += w;
    return all;
}

bool FakeSerialDevice::WaitForReads(size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->changed.wait_for(lock, timeout, [&] { return m_state->readCalls.size() >= n; });
}
