// The crew's actions on the survey (the current utility, a new segment, void
// and note on the last point, the job, the status), in one place for both
// faces: the window's buttons and fieldbook-ctl through the control socket
// both come here, as words. Runs on the thread that owns the survey log (the
// window's or the headless main loop), never on a worker.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/UtilityCodes.h"
#include "surveylog/PointRecord.h"

class CFieldbookView;

enum class CrewVerb { Utility, Segment, Void, Note, Job, Status };

struct CREW_COMMAND {
    CrewVerb verb = CrewVerb::Status;
    UTILITY_TAG utility;   // Utility: type, id, owner, size, material, method, level as given
    std::string note;      // Note
    JOB_INFO job;          // Job
};

// Exit statuses fieldbook-ctl ends with.
enum : int { CREW_OK = 0, CREW_FAILED = 1, CREW_USAGE = 2 };

struct CREW_REPLY {
    int status = CREW_OK;
    std::string text; // lines, each ending in '\n'
};

// Reads a command from its words ("utility", "gas", "--id", "Main 3").
// table: the colour-code table a type must come from; nullptr checks the
// words only (fieldbook-ctl, which has no settings of its own). False with
// a one-line error for an unknown word, a missing or bad value.
bool ParseCrewCommand(const std::vector<std::string>& words, const COLOUR_TABLE* table, CREW_COMMAND& command,
                      std::string& error);
std::string CrewUsageText();

class CCrewActions {
public:
    // The one instance of the running program (the annotator reads it).
    static CCrewActions& Get();

    // Parses and runs the words against the survey log; view gives the lamps
    // for status (nullptr: none shown).
    CREW_REPLY Run(const std::vector<std::string>& words, const CFieldbookView* view);
    CREW_REPLY Execute(const CREW_COMMAND& command, const CFieldbookView* view);

    // What a new point takes: the current utility with its segment.
    const UTILITY_TAG& Current() const { return m_current; }
    // Forgets the current utility and segments (tests; a new program run).
    void Reset();

private:
    UTILITY_TAG m_current;
    // The last segment used by each utility, so that coming back to a utility
    // goes on with its line and "segment" starts the next one.
    std::map<std::tuple<std::string, std::string>, int32_t> m_segments;
};

// The status text: one "key: value" a line.
std::string CrewStatusText(const UTILITY_TAG& utility, const CFieldbookView* view);
