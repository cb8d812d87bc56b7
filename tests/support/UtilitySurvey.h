// A simulated utility survey written as fieldbook writes it: the CSV survey
// log and its companion record, through the survey log itself with an
// annotator that sets each point's utility, heights and settings as the
// crew's would. Two utilities run north side by side: the electric "Feeder
// 12" (red) in the western half of the points, about 28 m west of the potable
// water "Main 3" (blue) in the eastern half. One point is void, one is below
// the quality gate, one has a note; the job is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct UTILITY_SURVEY {
    std::string log;          // the CSV's path
    size_t voidIndex = 3;     // an electric point
    size_t belowGateIndex = 0; // a water point, set by the writer
    uint32_t firstLog = 1000; // Log numbers run from here, one per point
};

inline constexpr char kSurveyTicket[] = "T-2026-0417";
inline constexpr char kSurveyClient[] = "Harbour Water";
inline constexpr char kSurveySite[] = "Quay Street";
inline constexpr char kSurveyCrew[] = "Crew 7";
inline constexpr char kElectricId[] = "Feeder 12";
inline constexpr char kWaterId[] = "Main 3";

// Writes "0712140000.txt" and its companion into folder with points points
// (at least 10). False when the log could not be saved.
bool WriteUtilitySurvey(const std::string& folder, size_t points, UTILITY_SURVEY& survey);
