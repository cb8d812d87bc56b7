// A scriptable serial device for what a pseudo-terminal cannot do: open errors,
// read errors, carrier drops, failing carrier queries, short or failing writes.
//
//   FakeSerialDevice fake;
//   CBluetoothPort port(fake.MakeDevice());
//   fake.QueueRead("\x7e...");          // the next Read returns these bytes
//   fake.SetCarrier(false);
//   port.WritePort(...);  fake.Writes(); // what the port wrote
//
// The fake is the script; MakeDevice() hands out devices that share it, so the
// port may own (and destroy) its device while the test keeps the script. All
// members may be called from any thread. Errors set with Set...Error stay until
// set back to 0; read results are queued and used one per Read call. Calls on a
// device that is not open fail with EBADF, a second Open with EBUSY, as on a
// real device held exclusively.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/SerialPort.h"

class FakeSerialDevice {
public:
    FakeSerialDevice();
    ~FakeSerialDevice();
    FakeSerialDevice(const FakeSerialDevice&) = delete;
    FakeSerialDevice& operator=(const FakeSerialDevice&) = delete;

    std::unique_ptr<ISerialDevice> MakeDevice();

    // --- script ---
    void SetOpenError(int error);
    void SetConfigureError(int error);
    // The next Read returns up to its length of these bytes (the rest stays
    // queued for the following Read).
    void QueueRead(const std::string& bytes);
    // The Read that reaches this entry fails with error.
    void QueueReadError(int error);
    // Whether Read, finding nothing queued, waits for its total time-out (like a
    // device) or returns nothing at once (default; keeps tests fast).
    void SetReadWaits(bool waits);
    void SetCarrier(bool up);
    void SetCarrierError(int error);
    // Each Write takes at most this many bytes (a short write); 0 = no limit.
    void SetWriteLimit(uint32_t maxBytes);
    void SetWriteError(int error);

    // --- record ---
    struct Call {
        int intervalMs = 0; // reads only
        int totalMs = 0;
        uint32_t length = 0;
    };
    bool IsOpen() const;
    int OpenCount() const;       // successful opens
    int CloseCount() const;      // closes of an open device
    std::string LastOpenPath() const;
    bool LastOpenReadWrite() const;
    // Configure calls with their setLine argument, in order.
    std::vector<bool> Configures() const;
    std::vector<Call> Reads() const;
    std::vector<Call> WriteCalls() const;
    // The bytes each successful Write took, one entry per call.
    std::vector<std::string> Writes() const;
    // Everything written, in one string.
    std::string Written() const;
    int CarrierQueries() const;
    // Waits until at least n Read calls were made; false on timeout.
    bool WaitForReads(size_t n, std::chrono::milliseconds timeout) const;

private:
    struct State;
    class Device;
    std::shared_ptr<State> m_state;
};
