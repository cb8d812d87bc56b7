// The GPS port's device when positions come from a gpsd daemon instead of the
// serial line: TCP to host:port, the NMEA pass-through asked for on connect.
// A refused or lost connection fails like a vanished serial device (the port
// closes and the reader reopens it); a daemon that is down is tried at most
// once a second.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/SerialPort.h"

std::unique_ptr<ISerialDevice> MakeGpsdDevice(const std::string& host, int32_t port);
