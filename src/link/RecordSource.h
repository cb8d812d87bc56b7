// What the survey log's record processing needs from the locator link's queue:
// look at the oldest queued point, then remove it. The consumer may change the
// point it peeked until it pops it; only the consumer removes points.
#pragma once

#include "link/SurveyPoint.h"

class IRecordSource {
public:
    virtual ~IRecordSource() = default;
    // The oldest queued point, or nullptr (queue empty, or its lock not had in time).
    virtual SURVEY_POINT* PeekLocateRecord() = 0;
    // Frees and removes the oldest queued point.
    virtual void PopLocateRecord() = 0;
};
