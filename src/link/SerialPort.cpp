#include "link/SerialPort.h"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "platform/Folders.h"

int CSerialPort::TotalTimeoutMs(uint32_t length)
{
    const long long total = kTotalConstantMs + static_cast<long long>(kTotalPerByteMs) * length;
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

CSerialPort::CSerialPort(std::unique_ptr<ISerialDevice> device)
    : m_device(device ? std::move(device) : MakePosixSerialDevice())
{
}

// No close wait here: only the two link ports close (and wait) on destruction;
// the device itself lets go of its descriptor in its own destructor.
CSerialPort::~CSerialPort() = default;

void CSerialPort::OpenPort(int nPort)
{
    OpenDevice(nPort, false, false, false);
}

void CSerialPort::OpenDevice(int nPort, bool readWrite, bool configure, bool setLine)
{
    // Opening over an open port would lose the descriptor we hold, and our own
    // exclusive lock would then refuse the new open.
    ClosePort();

    errno = 0;
    m_lastError = 0;
    std::unique_lock<std::mutex> device(m_deviceMutex);
    // A connection's trace is open before the attempt, so that a refused one
    // leaves its line, and only the run's first attempt starts the file afresh.
    const bool traceConnection = m_bDebug && m_device->IsConnection();
    if (traceConnection) {
        char name[32];
        std::snprintf(name, sizeof name, "Comm%d.txt", nPort);
        m_debugFile.Open(DocumentsPath(name), m_bTraceStarted ? CDebugFile::Mode::Append : CDebugFile::Mode::Truncate);
        m_bTraceStarted = true;
        m_device->SetTrace(&m_debugFile);
    }
    const int error = m_device->Open(PortDevicePath(nPort), readWrite);
    device.unlock();
    if (error != 0) {
        m_debugFile.Close();
        m_lastError = error;
        m_bOpen = false;
        errno = error;
        return;
    }

    if (m_bDebug && !traceConnection) {
        char name[32];
        std::snprintf(name, sizeof name, "Comm%d.txt", nPort);
        m_debugFile.Open(DocumentsPath(name), CDebugFile::Mode::Truncate);
    }
    // A device that will not take line settings (no tty behind it) still counts
    // as open; the first read or write tells whether it is of any use.
    if (configure)
        m_device->Configure(setLine);
    m_bOpen = true;
}

void CSerialPort::Fail(int error, bool log)
{
    m_lastError = error;
    if (log && DebugOn())
        m_debugFile.Printf("Error %d\n", error);
    ClosePort();
    errno = error;
}

bool CSerialPort::ReadDevice(uint8_t* buffer, uint32_t length, uint32_t* got)
{
    *got = 0;
    if (!m_bOpen)
        return false;
    if (buffer == nullptr)
        length = 0;
    errno = 0;
    const int error = m_bArrivedOnly ? m_device->Read(buffer, length, 0, 0, got)
                                     : m_device->Read(buffer, length, kReadIntervalMs, TotalTimeoutMs(length), got);
    if (error != 0) {
        *got = 0;
        Fail(error, true);
        return false;
    }
    return true;
}

uint32_t CSerialPort::ReadArrived(uint8_t* buffer, uint32_t length)
{
    m_bArrivedOnly = true;
    const uint32_t got = ReadPort(buffer, length);
    m_bArrivedOnly = false;
    return got;
}

uint32_t CSerialPort::WritePort(const uint8_t* buffer, uint32_t length)
{
    if (!m_bOpen)
        return 0;
    if (buffer == nullptr)
        length = 0;
    errno = 0;
    uint32_t put = 0;
    const int error = m_device->Write(buffer, length, TotalTimeoutMs(length), &put);
    if (error != 0) {
        Fail(error, true);
        return 0;
    }
    if (DebugOn())
        m_debugFile.Printf("Bytes Written = %d \n", static_cast<int>(put));
    return put;
}

int CSerialPort::WriteShared(const uint8_t* buffer, size_t length, int timeoutMs, size_t* put)
{
    *put = 0;
    std::lock_guard<std::mutex> device(m_deviceMutex);
    if (!m_bOpen)
        return ENOTCONN;
    uint32_t written = 0;
    const int error = m_device->Write(buffer, static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX)), timeoutMs, &written);
    *put = written;
    return error;
}

int CSerialPort::GetModemRLSDState()
{
    if (!m_bOpen)
        return -1;
    errno = 0;
    int carrier = 0;
    const int error = m_device->GetCarrier(&carrier);
    if (error != 0) {
        Fail(error, false);
        return 0;
    }
    const int state = carrier != 0 ? 1 : 0;
    if (state != m_nCarrier && DebugOn())
        m_debugFile.Printf("GetModemRLSDState, nRLSDState = %d\n", state);
    m_nCarrier = state;
    return state;
}

void CSerialPort::ClosePort()
{
    if (!m_bOpen)
        return;
    {
        std::lock_guard<std::mutex> device(m_deviceMutex);
        m_device->Close();
        m_bOpen = false;
    }
    m_debugFile.Close();
    if (m_onClosed)
        m_onClosed();
    // The settle time before the device may be opened again.
    if (m_closeWait.count() > 0)
        std::this_thread::sleep_for(m_closeWait);
}

CBluetoothPort::~CBluetoothPort() { ClosePort(); }

void CBluetoothPort::OpenPort(int nPort)
{
    OpenDevice(nPort, true, true, true);
}

uint32_t CBluetoothPort::ReadPort(uint8_t* buffer, uint32_t length)
{
    uint32_t got = 0;
    if (ReadDevice(buffer, length, &got) && DebugOn())
        m_debugFile.Printf("Bytes Read = %d \n", static_cast<int>(got));
    return got;
}

CGpsPort::~CGpsPort() { ClosePort(); }

void CGpsPort::OpenPort(int nPort)
{
    OpenDevice(nPort, true, true, false);
    m_nSpeedError = 0;
    if (m_bOpen && m_nSpeed != 0)
        m_nSpeedError = m_device->SetSpeed(m_nSpeed);
}

void CSerialPort::ReplaceDevice(std::unique_ptr<ISerialDevice> device)
{
    ClosePort();
    std::lock_guard<std::mutex> guard(m_deviceMutex);
    m_device = device ? std::move(device) : MakePosixSerialDevice();
}

uint32_t CGpsPort::ReadPort(uint8_t* buffer, uint32_t length)
{
    uint32_t got = 0;
    // The receiver's sentences as they came, so the file reads as NMEA text.
    if (ReadDevice(buffer, length, &got) && DebugOn())
        m_debugFile.Write(buffer, got);
    return got;
}
