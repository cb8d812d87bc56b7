// The GPS port's device when positions come from a gpsd daemon instead of the
// serial line: TCP to host:port, the NMEA pass-through asked for on connect.
// A refused or lost connection fails like a vanished serial device (the port
// closes and the reader reopens it, backing off while the daemon stays away).
// A connection that goes quiet without closing (the daemon's host lost power,
// the network between dropped) is dropped too: by TCP keep-alive and the user
// time-out, and by silenceLimit without a byte from the daemon.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/SerialPort.h"

// The error a read reports when the daemon has sent nothing for the silence
// limit (a failed keep-alive shows as ETIMEDOUT instead).
inline constexpr int kGpsdSilentError = ETIME;

std::unique_ptr<ISerialDevice> MakeGpsdDevice(const std::string& host, int32_t port,
                                              std::chrono::milliseconds silenceLimit);
