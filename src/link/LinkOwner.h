// What the locator link needs from its owner (the main view): the settings its
// threads read, the four status pictures, and the test-window echo. The link
// never includes the application layer; the view implements this, tests use a
// recording owner. Every call may come from a link thread and must not wait for
// the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

// Form items of the four status pictures.
enum : int {
    IDC_BLUETOOTH_ICON = 1026,
    IDC_GPS_ICON = 1027,
    IDC_GPS_LAMP = 1029,
    IDC_BLUETOOTH_LAMP = 1030,
};

// Bitmap resources the pictures show.
enum : int {
    IDB_GPS_FIX = 146,        // satellite in colour
    IDB_BLUETOOTH_UP = 147,   // blue Bluetooth rune
    IDB_BLUETOOTH_DOWN = 152, // grey rune with a small red mark
    IDB_GPS_NO_FIX = 153,     // grey satellite with a small red mark
    IDB_LAMP_GREEN = 170,
    IDB_LAMP_RED = 171,
};

// Debug level bits the link honours.
enum : uint32_t {
    DEBUG_BLUETOOTH_PORT = 0x001, // "Comm%d.txt" of the Bluetooth port
    DEBUG_LOCATE = 0x004,         // "LocateData.txt"
    DEBUG_GPS_PORT = 0x010,       // "Comm%d.txt" of the GPS port
    DEBUG_GPS_DECODER = 0x020,    // "GpsDecoder.txt"
    DEBUG_GPS_DATA = 0x040,       // "GpsData.txt"
    DEBUG_SYSTEM = 0x100,         // "system.txt" (the view's record dump)
};

// Where the GPS reader takes its positions from and how it reads them. The
// defaults are the handheld's own behaviour: the serial port at the device's
// speed, GP sentences only, a fix held until the next GGA.
struct GPS_OPTIONS {
    int32_t nSpeed = 0;          // baud set on opening the serial port; 0 keeps the device's
    std::string gpsdHost;        // "" reads the serial port; else a gpsd daemon
    int32_t nGpsdPort = 2947;
    bool bAnyTalker = false;     // GGA and ZDA of every talker (GN, GL, GA, BD...)
    int32_t nMaxAgeSeconds = 0;  // a fix older than this is no fix; 0 for ever
};

class ILinkOwner {
public:
    virtual ~ILinkOwner() = default;
    virtual int GpsPort() const = 0;          // m_nGpsPort
    virtual int BluetoothPort() const = 0;    // m_nBluetoothPort
    virtual bool GpsTest() const = 0;         // m_bGpsTest: echo GPS bytes
    virtual bool BluetoothTest() const = 0;   // m_bBluetoothTest: echo locator bytes
    virtual uint32_t GetDebugLevel() const = 0;
    // Echo of exactly the bytes just read.
    virtual void ShowRawData(const uint8_t* data, uint32_t length) = 0;
    // Loads bitmap bitmapId into the picture control controlId. A reader that is
    // ending calls this while the user-interface thread may be waiting for it in
    // StopThreads or Shutdown: post the change, never wait for it to be drawn.
    virtual void SetBitmap(int controlId, int bitmapId) = 0;

    // Asked on the user-interface thread when the threads start.
    virtual GPS_OPTIONS GetGpsOptions() const { return {}; }
    // GPS reader thread: the receiver sends GGA with a fix under a talker that is
    // not read (sentenceId such as "GNGGA"). Comes again for later sentences.
    virtual void OnIgnoredTalker(const char* /*sentenceId*/) {}
    // GPS reader thread: the GPS device refused the speed asked for (errno);
    // it keeps its own. Once per start of the threads.
    virtual void OnGpsSpeedRefused(int32_t /*baud*/, int /*error*/) {}
    // Bluetooth reader thread: a point was queued and its reply sent. The
    // owner wakes whatever drains the queue; it must not wait.
    virtual void OnRecordQueued() {}
    // GPS reader thread (or the thread closing the GPS port): the current fix
    // changed (a new GGA, or the fix stopped counting); LatestGpsFix has it.
    // The owner lets its window know; it must not wait.
    virtual void OnGpsFixChanged() {}
    // GPS reader thread: the gpsd daemon at address ("host:port") sent nothing
    // for seconds; the connection is dropped and joined again. Once until the
    // daemon talks again.
    virtual void OnGpsdSilent(const std::string& /*address*/, int /*seconds*/) {}
};
