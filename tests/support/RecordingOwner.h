// An ILinkOwner for tests: settings the test sets, and a record of every status
// picture change and every echoed chunk, safe to read while link threads run.
//
//   RecordingOwner owner;
//   owner.bluetoothPort = 7;
//   CLocatorLink link(owner);
//   ...
//   EXPECT_TRUE(owner.WaitForBitmap(IDC_BLUETOOTH_ICON, IDB_BLUETOOTH_UP));
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/LinkOwner.h"

class RecordingOwner : public ILinkOwner {
public:
    std::atomic<int> gpsPort{1};
    std::atomic<int> bluetoothPort{2};
    std::atomic<bool> gpsTest{false};
    std::atomic<bool> bluetoothTest{false};
    std::atomic<uint32_t> debugLevel{0};
    GPS_OPTIONS gpsOptions; // set before StartThreads

    int GpsPort() const override { return gpsPort; }
    int BluetoothPort() const override { return bluetoothPort; }
    bool GpsTest() const override { return gpsTest; }
    bool BluetoothTest() const override { return bluetoothTest; }
    uint32_t GetDebugLevel() const override { return debugLevel; }
    void ShowRawData(const uint8_t* data, uint32_t length) override;
    void SetBitmap(int controlId, int bitmapId) override;
    GPS_OPTIONS GetGpsOptions() const override { return gpsOptions; }
    void OnIgnoredTalker(const char* sentenceId) override;
    void OnGpsSpeedRefused(int32_t baud, int error) override;
    // What the GPS reader told: "GNGGA", "speed 9600: 25" ..., in order.
    std::vector<std::string> GpsNotices() const;

    struct BitmapChange {
        int controlId;
        int bitmapId;
        bool operator==(const BitmapChange&) const = default;
    };
    std::vector<BitmapChange> Bitmaps() const;
    // The bitmap a control shows now; 0 when none was set.
    int Shown(int controlId) const;
    // Every echoed chunk, in order.
    std::vector<std::string> RawChunks() const;
    void Forget(); // drops what was recorded so far

    // Waits until the control shows the bitmap; false after the timeout.
    bool WaitForBitmap(int controlId, int bitmapId,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<BitmapChange> m_bitmaps;
    std::vector<std::string> m_chunks;
    std::vector<std::string> m_gpsNotices;
};

// Polls pred every millisecond until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5));
