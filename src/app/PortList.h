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
