// Script files of packets: one packet per line, "key=value" words separated by
// blanks, "#" starts a comment, blank lines are skipped. Keys not given take the
// sim's values for that packet (its realistic measurement and the command-line
// choices).
//
//   cmd=1 proto=2 gpsmode=1 mode=1 freq=8440 depth=1.25 current=0.5
//   cmd=2 proto=3 gpsmode=0 checksum=bad
//   hex=FF03002101 fcs=bad
//   delay=2.5 cmd=1 proto=1
//
// Keys: cmd, proto (0-7), gpsmode, mode (log mode), freq (Hz), depth (m),
// current (A), signal (dBuV), phase (deg), strength (0-1), gain (dB), compass,
// arrows, antenna, accessory, sonde, battery, volume, overload, logid, index
// (EEPROM file index), additional (raw additional-data word, replaces the packed
// fields and proto), marker, markerdepth, markersignal, markergain, rtcupdated,
// checksum=bad (EEPROM checksum off by one), fcs=bad (corrupted FCS),
// hex=<payload bytes in hex, spaces not allowed> (sent as it is),
// delay=<seconds before this packet>.
#pragma once

#include <string>
#include <vector>

#include "PacketBuilder.h"

// Applies the words of one line to spec. Returns false with error set on an
// unknown key or a bad value. A blank or comment line leaves spec as it is and
// sets *isPacket false.
bool ParseScriptLine(const std::string& line, PACKET_SPEC& spec, bool* isPacket, std::string& error);

// Hex digits, two per byte, no separators. False on odd length or a non-digit.
bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes);

// Reads a script: each packet line is kept as its text (applied to each packet's
// own spec when it is sent). False with "FILE:LINE: message" on the first error.
bool LoadScript(const std::string& path, std::vector<std::string>& lines, std::string& error);

// Number parsing shared with the command line: the whole text must be used.
bool ParseDouble(const std::string& text, double& value);
bool ParseLong(const std::string& text, long& value); // decimal, or hex after 0x
