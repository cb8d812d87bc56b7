// The handheld's serial COM ports on Linux. Port n is the device PORTS/COM<n>
// (usually a symlink to /dev/rfcomm0, /dev/ttyUSB0, a pseudo-terminal...).
// CBluetoothPort talks to the locator (115200 8N1, RTS/CTS, raw); CGpsPort to the
// GPS receiver (raw, speed as the device has it). Each port object is used by one
// thread only. The operating-system calls sit behind ISerialDevice so that tests
// can put a fake device in their place.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/DebugFile.h"

// What a port needs from the operating system. Results are 0 or an errno value.
class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;
    // Opens an existing device read-write (or read-only), never creating it, and
    // makes it exclusive.
    virtual int Open(const std::string& path, bool readWrite) = 0;
    virtual void Close() = 0;
    // Raw mode: no echo, no canonical input, no CR/LF translation, no output
    // processing. With setLine also 115200 baud, 8N1, RTS/CTS.
    virtual int Configure(bool setLine) = 0;
    // Reads up to length bytes: returns when a gap of intervalMs follows received
    // bytes, or after totalMs in all. *got = bytes read. A hang-up is EIO.
    virtual int Read(uint8_t* buffer, uint32_t length, int intervalMs, int totalMs, uint32_t* got) = 0;
    // Writes, giving up after totalMs; *put = bytes written.
    virtual int Write(const uint8_t* buffer, uint32_t length, int totalMs, uint32_t* put) = 0;
    // *carrier = 1 when carrier detect is up. A device without modem lines
    // reports carrier present.
    virtual int GetCarrier(int* carrier) = 0;
};

// The POSIX termios device.
std::unique_ptr<ISerialDevice> MakePosixSerialDevice();

class CSerialPort {
public:
    // nullptr: the POSIX device.
    explicit CSerialPort(std::unique_ptr<ISerialDevice> device = nullptr);
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens COM<n> read-only, no settings (used by neither link). IsPortOpen tells.
    virtual void OpenPort(int nPort);
    // Bytes read; 0 when nothing came within the time-outs, when the port is not
    // open, or after an error (which closes the port).
    virtual uint32_t ReadPort(uint8_t* buffer, uint32_t length) = 0;

    // Bytes written; 0 when not open or after an error (which closes the port).
    uint32_t WritePort(const uint8_t* buffer, uint32_t length);
    // 1 carrier present, 0 absent or query failed (port closed), -1 not open.
    int GetModemRLSDState();
    // Closes the device and the debug file, then waits the close wait (2500 ms
    // unless set shorter). Nothing, and no wait, when not open.
    void ClosePort();
    bool IsPortOpen() const { return m_bOpen; }
    // Debug file "Comm%d.txt" in the documents folder, opened by the next OpenPort.
    void SetDebugLog(bool on) { m_bDebug = on; }

    void SetCloseWait(std::chrono::milliseconds wait) { m_closeWait = wait; }
    // errno of the last failure.
    int LastError() const { return m_lastError; }

protected:
    // Open steps shared by the ports: open, debug file, configure (ignored on failure).
    void OpenDevice(int nPort, bool readWrite, bool configure, bool setLine);
    bool DebugOn() const { return m_bDebug && m_debugFile.IsOpen(); }

    std::unique_ptr<ISerialDevice> m_device;
    bool m_bOpen = false;
    int m_nCarrier = 0;
    bool m_bDebug = false;
    CDebugFile m_debugFile;
    int m_lastError = 0;
    std::chrono::milliseconds m_closeWait{2500};
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
};
