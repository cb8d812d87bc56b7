// NMEA 0183 sentences as a GPS receiver sends them: "$", talker and type, comma
// separated fields, "*", two upper-case hex digits of the XOR of every character
// between "$" and "*", then CR LF.
#pragma once

#include <cstdint>
#include <string>

#include "WalkTrack.h"

// Which sentences go out at each epoch (GSA and GSV once a second only).
enum : uint32_t {
    NMEA_GGA = 1u << 0,
    NMEA_ZDA = 1u << 1,
    NMEA_RMC = 1u << 2,
    NMEA_GSA = 1u << 3,
    NMEA_GSV = 1u << 4,
    NMEA_ALL = NMEA_GGA | NMEA_ZDA | NMEA_RMC | NMEA_GSA | NMEA_GSV,
    // Every epoch with an accuracy (a quality plan); not part of NMEA_ALL, so a
    // receiver without a plan sends what it always did.
    NMEA_GST = 1u << 5,
};

// XOR of the characters of body (the text between "$" and "*").
uint8_t NmeaChecksum(const std::string& body);
// "$" body "*" HH CR LF.
std::string NmeaSentence(const std::string& body);

// Bodies (without "$" and checksum) for one epoch. talker is two letters ("GP").
// $GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,
// Without a fix: quality 0 and empty position fields.
std::string GgaBody(const std::string& talker, const GPS_SAMPLE& s);
// $GPZDA,123519.00,07,12,2026,00,00
std::string ZdaBody(const std::string& talker, const GPS_SAMPLE& s);
// $GPRMC,123519.00,A,4807.0380,N,01131.0000,E,2.7,45.0,071226,,,A
std::string RmcBody(const std::string& talker, const GPS_SAMPLE& s);
// $GPGST,123519.00,0.03,0.021,0.021,0.0,0.014,0.014,0.030
// Latitude and longitude errors split the horizontal accuracy evenly.
std::string GstBody(const std::string& talker, const GPS_SAMPLE& s);
// $GPGSA,A,3,02,05,...,1.6,0.9,1.3
std::string GsaBody(const std::string& talker, const GPS_SAMPLE& s);
// Sentence index (1-based) of the GSV group of count sentences: four satellites each.
std::string GsvBody(const std::string& talker, const GPS_SAMPLE& s, int index, int count);
constexpr int kGsvSentences = 2;

// Whole epoch as it goes on the wire; wholeSecond adds GSA and GSV.
std::string EpochText(const std::string& talker, const GPS_SAMPLE& s, uint32_t sentences, bool wholeSecond);
