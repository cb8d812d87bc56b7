// The test as the locator, on a pseudo-terminal: one measurement at a time,
// and the fix the handheld's long ACK carries back. For end-to-end tests that
// must know exactly when each packet goes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/Pty.h"

// Columns of a survey log data line, counted from 0.
enum : size_t { COL_LOG = 0, COL_LAT = 29, COL_LAT_DIR = 30, COL_LONG = 31, COL_GPS_FIX = 33 };

// Offset of the fix quality in a 72-byte ACK: 8 bytes of reply head, then the
// GPS block with the quality at 32.
constexpr size_t kAckFixQuality = 8 + 32;

// A measurement of protocol 2 with GPS mode 1: logged with the handheld's fix,
// which its 72-byte ACK carries back to the locator.
std::string Measurement(uint32_t index);
// The next whole frame the handheld sends back, or "" after timeout.
std::string ReadReply(Pty& locator, std::chrono::milliseconds timeout);
// Sends a measurement and returns the fix quality its long ACK carries (-1: no such ACK).
long SendAndReadFixQuality(Pty& locator, uint32_t index);
