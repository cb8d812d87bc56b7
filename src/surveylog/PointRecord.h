// What a logged point has beyond the 43 columns of the CSV survey log: the
// heights as the crew's settings made them when it was logged, the settings
// themselves, the utility it belongs to, and the crew's marks on it. The survey
// log keeps one beside each point and writes it to the companion record (see
// Companion.h); every reader of the log gets it back with the point.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link/SurveyPoint.h"
#include "point/Heights.h"

// The utility a point belongs to, as the crew set it before logging the point.
// Empty type: no utility set.
struct UTILITY_TAG {
    std::string type;         // the colour-code table's type word ("electric")
    std::string id;           // "Feeder 12"
    std::string colour;       // the colour's name ("red")
    std::string owner;
    std::string size;
    std::string material;
    std::string method;       // how it was located ("active", "passive power", ...)
    std::string qualityLevel; // "A" .. "D"
    int32_t segment = 0;      // a new segment breaks the line, same utility

    bool IsSet() const { return !type.empty(); }
    bool operator==(const UTILITY_TAG&) const = default;
};

// The job a log belongs to (a one-call ticket and who it is for).
struct JOB_INFO {
    std::string ticket;
    std::string client;
    std::string site;
    std::string crew;

    bool IsSet() const { return !ticket.empty() || !client.empty() || !site.empty() || !crew.empty(); }
    bool operator==(const JOB_INFO&) const = default;
};

// The settings that made a point's heights, and the crew's marks on it.
struct POINT_RECORD {
    std::optional<double> AntennaHeight;  // metres, GPS#ANTENNA in force
    std::string Geoid;                    // grid in force; empty: the receiver's own
    UTILITY_TAG Utility;
    bool bVoid = false;                   // a wrong press: kept in the CSV, left out of every line
    std::string Note;
};

// One point of a survey log as its readers get it: the point as the CSV holds
// it (overlaid, where the companion record has it, with the decoder's full
// precision and the quality record), the Distance column the log prints for
// it, its heights (as the settings gave them when it was logged) and the rest
// of its record. bRecord: a companion record was
// found for it; without one only the CSV's columns are known.
struct LOGGED_POINT {
    SURVEY_POINT Point;
    float fDistance = 0.0f;
    POINT_HEIGHTS Heights;
    POINT_RECORD Record;
    bool bRecord = false;
};
