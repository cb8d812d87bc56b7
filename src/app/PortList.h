// Which COM ports the settings page offers: COM1 to COM32 that exist as entries
// of the ports folder. A port in use or refusing us still exists and is offered,
// so that the user can pick the port the receiver will be on.
#pragma once

#include <functional>
#include <string>
#include <vector>

inline constexpr int kFirstListedPort = 1;
inline constexpr int kLastListedPort = 32;

// Tries to open the port's device and closes it at once: 0, or the errno of the
// failed open. Never waits for a carrier.
int ProbePortDevice(const std::string& path);

// An open that failed with this errno still proves the port is there: access
// denied, device not working, busy, timed out.
bool PortErrorMeansPresent(int error);

// "COM<n>" for every listed port, sorted as text (COM10 before COM2). probe
// gives 0 or an errno for a port number.
std::vector<std::string> ListPortNames(const std::function<int(int portNumber)>& probe);
// The same for the ports folder in force.
std::vector<std::string> ListPortNames();

// The decimal number after the first three characters ("COM12" gives 12); 0 when
// there is none.
int PortNumberFromName(const std::string& name);
std::string PortName(int portNumber);

// What stands between the port and its device, said for the user; "" when the
// entry exists and leads to something. The link only ever sees "no such
// device" and retries for ever, so start-up and the lamps say which it is:
//   "COM7 is not in the ports folder /home/ann/.config/fieldbook/ports/"
//   "the ports folder /home/ann/.config/fieldbook/ports/ does not exist"
//   "COM7 points at /dev/rfcomm0, which does not exist"
std::string PortEntryProblem(int portNumber);

// The hints of both ports, kept to tell only what changed. gpsPort 0: the GPS
// comes from gpsd and has no port.
struct PORT_HINTS {
    std::string gps;       // "" or "GPS port: " + the problem
    std::string bluetooth; // "" or "Locator port: " + the problem
    std::string shared;    // "" or the warning that both use one port
    bool operator==(const PORT_HINTS&) const = default;
};
PORT_HINTS CheckPorts(int gpsPort, int bluetoothPort);

// Lines for what changed from before to now: a new problem, or one that has
// gone ("Locator port: COM7 found").
std::vector<std::string> PortHintChanges(const PORT_HINTS& before, const PORT_HINTS& now, int gpsPort,
                                         int bluetoothPort);
