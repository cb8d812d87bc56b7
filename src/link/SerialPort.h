// The handheld's serial COM ports on Linux. Port n is the device PORTS/COM<n>
// (usually a symlink to /dev/rfcomm0, /dev/ttyUSB0, a pseudo-terminal...).
// CBluetoothPort talks to the locator (115200 8N1, RTS/CTS, raw); CGpsPort to the
// GPS receiver (raw, speed and framing as the device has them). Each port object
// is used by one thread only; IsPortOpen may be asked from any thread. The
// operating-system calls sit behind ISerialDevice so that tests can put a fake
// device in their place.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/DebugFile.h"

// What a port needs from the operating system. Results are 0 or an errno value.
class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;
    // Opens an existing device read-write (or read-only), never creating it, and
    // makes it exclusive: a second open of a device we hold fails with EBUSY.
    virtual int Open(const std::string& path, bool readWrite) = 0;
    // Nothing when not open.
    virtual void Close() = 0;
    // Raw mode: no echo, no canonical input, no CR/LF translation, no output
    // processing. With setLine also 115200 baud, 8N1, RTS/CTS.
    virtual int Configure(bool setLine) = 0;
    // Reads up to length bytes: returns when a gap of intervalMs follows received
    // bytes, or after totalMs in all. *got = bytes read. A hang-up is EIO; bytes
    // that came before a hang-up are returned first and the hang-up is reported
    // by the next call.
    virtual int Read(uint8_t* buffer, uint32_t length, int intervalMs, int totalMs, uint32_t* got) = 0;
    // Writes, giving up after totalMs; *put = bytes written (fewer on a time-out,
    // which is no error).
    virtual int Write(const uint8_t* buffer, uint32_t length, int totalMs, uint32_t* put) = 0;
    // *carrier = 1 when carrier detect is up. A device without modem lines
    // reports carrier present.
    virtual int GetCarrier(int* carrier) = 0;
    // Sets the line speed (baud, one of the standard rates) of an open device;
    // 0 or an errno value when the device refuses it or is no serial line.
    virtual int SetSpeed(int32_t /*baud*/) { return ENOTTY; }
    // A descriptor that polls readable when bytes (or a hang-up) arrive, for a
    // reader that sleeps until then; -1 when the device cannot be waited on
    // (its reader then reads in timed turns).
    virtual int WaitHandle() const { return -1; }
    // A network connection rather than a device node: with the port's debug
    // bit its story (each attempt, its result, each drop) goes to the port's
    // debug file, which is then appended to across reconnects.
    virtual bool IsConnection() const { return false; }
    virtual void SetTrace(CDebugFile* /*file*/) {}
};

// The POSIX termios device.
std::unique_ptr<ISerialDevice> MakePosixSerialDevice();

class CSerialPort {
public:
    // Time-outs of both links: a read ends kReadIntervalMs after the last byte
    // that came; reads and writes give up after kTotalConstantMs plus
    // kTotalPerByteMs for every byte asked for.
    static constexpr int kReadIntervalMs = 10;
    static constexpr int kTotalConstantMs = 250;
    static constexpr int kTotalPerByteMs = 2;
    static int TotalTimeoutMs(uint32_t length);

    // nullptr: the POSIX device.
    explicit CSerialPort(std::unique_ptr<ISerialDevice> device = nullptr);
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens COM<n> read-only, no settings (used by neither link). IsPortOpen tells.
    // A port that is open already is closed first (with the close wait).
    virtual void OpenPort(int nPort);
    // Bytes read; 0 when nothing came within the time-outs, when the port is not
    // open, or after an error (which closes the port).
    virtual uint32_t ReadPort(uint8_t* buffer, uint32_t length) = 0;
    // ReadPort taking only the bytes that have arrived, without waiting for more
    // or for a quiet gap: for a reader woken by WaitHandle, which hands each
    // frame on the moment its closing flag is in.
    uint32_t ReadArrived(uint8_t* buffer, uint32_t length);
    // The device's WaitHandle while the port is open, else -1.
    int WaitHandle() const { return m_bOpen ? m_device->WaitHandle() : -1; }

    // The write of a second thread (the corrections relay) while the port's own
    // thread reads: 0 or an errno value (ENOTCONN when not open), *put the bytes
    // taken within timeoutMs. A failure leaves the port to its reader, which
    // learns of it on its own; open and close wait for at most one such write.
    int WriteShared(const uint8_t* buffer, size_t length, int timeoutMs, size_t* put);
    // Bytes written; 0 when not open or after an error (which closes the port).
    uint32_t WritePort(const uint8_t* buffer, uint32_t length);
    // 1 carrier present, 0 absent or query failed (port closed), -1 not open.
    int GetModemRLSDState();
    // Closes the device and the debug file, then waits the close wait (2500 ms
    // unless set shorter). Nothing, and no wait, when not open.
    void ClosePort();
    bool IsPortOpen() const { return m_bOpen.load(); }
    // Debug file "Comm%d.txt" in the documents folder, opened by the next OpenPort.
    void SetDebugLog(bool on) { m_bDebug = on; }

    void SetCloseWait(std::chrono::milliseconds wait) { m_closeWait = wait; }
    // Puts another device behind a closed port (the GPS source changed).
    void ReplaceDevice(std::unique_ptr<ISerialDevice> device);
    // Runs on the closing thread whenever an open port is closed (by its owner,
    // after a failed read, write or carrier query, or on destruction), once the
    // device is let go and before the close wait: what depended on the device
    // hears of its loss at once, not seconds later.
    void SetOnClosed(std::function<void()> onClosed) { m_onClosed = std::move(onClosed); }
    // errno of the last failure (also left in errno).
    int LastError() const { return m_lastError; }

protected:
    // Open steps shared by the ports: open, debug file, configure (ignored on failure).
    void OpenDevice(int nPort, bool readWrite, bool configure, bool setLine);
    // The read both links share: false when the port is not open or after a
    // failure, which is logged and has closed the port; *got is then 0.
    bool ReadDevice(uint8_t* buffer, uint32_t length, uint32_t* got);
    // Logs "Error %d\n", closes the port and leaves the error in errno.
    void Fail(int error, bool log);
    bool DebugOn() const { return m_bDebug && m_debugFile.IsOpen(); }

    std::unique_ptr<ISerialDevice> m_device;
    std::atomic<bool> m_bOpen{false};
    int m_nCarrier = 0;
    bool m_bDebug = false;
    CDebugFile m_debugFile;
    int m_lastError = 0;
    std::chrono::milliseconds m_closeWait{2500};
    std::function<void()> m_onClosed;
    bool m_bArrivedOnly = false; // the read under way is a ReadArrived
    bool m_bTraceStarted = false; // a connection's debug file was begun in this run
    // Open, close and device changes against WriteShared's thread.
    std::mutex m_deviceMutex;
};

class CBluetoothPort : public CSerialPort {
public:
    using CSerialPort::CSerialPort;
    ~CBluetoothPort() override;
    void OpenPort(int nPort) override;                       // line settings + time-outs
    uint32_t ReadPort(uint8_t* buffer, uint32_t length) override; // "Bytes Read = %d \n"
};

class CGpsPort : public CSerialPort {
public:
    using CSerialPort::CSerialPort;
    ~CGpsPort() override;
    void OpenPort(int nPort) override;                       // time-outs only
    uint32_t ReadPort(uint8_t* buffer, uint32_t length) override; // raw bytes to the debug file

    // Speed set by every later open; 0 keeps the device's own.
    void SetSpeed(int32_t baud) { m_nSpeed = baud; }
    // errno of the last open's refused speed, 0 when it was taken (or none was asked).
    int SpeedError() const { return m_nSpeedError; }

private:
    int32_t m_nSpeed = 0;
    int m_nSpeedError = 0;
};
