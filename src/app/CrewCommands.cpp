#include "app/CrewCommands.h"

#include <cctype>
#include <cstring>

#include "app/FieldbookView.h"
#include "surveylog/SurveyLog.h"

namespace {
constexpr size_t kMaxValue = 200; // a note or a name longer than this is a slip

struct OPTION {
    const char* name;
    std::string* value;
};

// "--name VALUE" pairs into the options given; false with the error.
bool TakeOptions(const std::vector<std::string>& words, size_t first, std::initializer_list<OPTION> options,
                 const std::string& verb, std::string& error)
{
    for (size_t i = first; i < words.size(); ++i) {
        const OPTION* found = nullptr;
        for (const OPTION& option : options)
            if (words[i] == option.name)
                found = &option;
        if (found == nullptr) {
            error = "unknown word '" + words[i] + "' for " + verb;
            return false;
        }
        if (i + 1 >= words.size() || words[i + 1].empty()) {
            error = std::string(found->name) + " needs a value";
            return false;
        }
        const std::string& value = words[++i];
        if (value.size() > kMaxValue) {
            error = std::string(found->name) + " is longer than " + std::to_string(kMaxValue) + " characters";
            return false;
        }
        for (unsigned char c : value)
            if (c < 0x20 || c == 0x7F) {
                error = std::string(found->name) + " holds a control character";
                return false;
            }
        *found->value = value;
    }
    return true;
}

std::string OrNone(const std::string& text) { return text.empty() ? "-" : text; }
} // namespace

std::string CrewUsageText()
{
    return "commands:\n"
           "  utility TYPE [--id ID] [--owner O] [--size S] [--material M] [--method M] [--level QL]\n"
           "  segment\n"
           "  void\n"
           "  note TEXT\n"
           "  job --ticket T [--client C] [--site S] [--crew K]\n"
           "  status\n";
}

bool ParseCrewCommand(const std::vector<std::string>& words, const COLOUR_TABLE* table, CREW_COMMAND& command,
                      std::string& error)
{
    command = CREW_COMMAND{};
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& verb = words[0];
    auto noMore = [&](CrewVerb v) {
        command.verb = v;
        if (words.size() == 1)
            return true;
        error = "unknown word '" + words[1] + "' for " + verb;
        return false;
    };
    if (verb == "segment")
        return noMore(CrewVerb::Segment);
    if (verb == "void")
        return noMore(CrewVerb::Void);
    if (verb == "status")
        return noMore(CrewVerb::Status);
    if (verb == "note") {
        command.verb = CrewVerb::Note;
        if (words.size() != 2 || words[1].empty()) {
            error = words.size() < 2 || words[1].empty() ? "note needs a text" : "note takes one text (quote it)";
            return false;
        }
        if (words[1].size() > 1000) {
            error = "note is longer than 1000 characters";
            return false;
        }
        for (unsigned char c : words[1])
            if ((c < 0x20 && c != '\t') || c == 0x7F) {
                error = "note holds a control character";
                return false;
            }
        command.note = words[1];
        return true;
    }
    if (verb == "job") {
        command.verb = CrewVerb::Job;
        JOB_INFO& job = command.job;
        if (!TakeOptions(words, 1,
                         {{"--ticket", &job.ticket}, {"--client", &job.client}, {"--site", &job.site},
                          {"--crew", &job.crew}},
                         verb, error))
            return false;
        if (job.ticket.empty()) {
            error = "job needs --ticket";
            return false;
        }
        return true;
    }
    if (verb == "utility") {
        command.verb = CrewVerb::Utility;
        UTILITY_TAG& u = command.utility;
        if (words.size() < 2 || words[1].empty() || words[1][0] == '-') {
            error = "utility needs a TYPE" + (table != nullptr ? " (" + UtilityTypeList(*table) + ")" : std::string());
            return false;
        }
        u.type = words[1];
        if (table != nullptr) {
            const UTILITY_CODE* code = FindUtilityCode(*table, u.type);
            if (code == nullptr) {
                error = "unknown utility type '" + u.type + "' (" + UtilityTypeList(*table) + ")";
                return false;
            }
            u.type = code->type;
            u.colour = code->colour;
        }
        if (!TakeOptions(words, 2,
                         {{"--id", &u.id}, {"--owner", &u.owner}, {"--size", &u.size}, {"--material", &u.material},
                          {"--method", &u.method}, {"--level", &u.qualityLevel}},
                         verb, error))
            return false;
        if (!u.method.empty()) {
            const LOCATE_METHOD* method = FindLocateMethod(u.method);
            if (method == nullptr) {
                error = "unknown locate method '" + u.method + "' (" + LocateMethodList() + ")";
                return false;
            }
            u.method = method->stored;
        }
        if (!u.qualityLevel.empty()) {
            if (u.qualityLevel.size() == 1)
                u.qualityLevel[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(u.qualityLevel[0])));
            if (!IsQualityLevel(u.qualityLevel)) {
                error = "bad quality level '" + u.qualityLevel + "' (A, B, C or D)";
                return false;
            }
        }
        return true;
    }
    error = "unknown command '" + verb + "'";
    return false;
}

CCrewActions& CCrewActions::Get()
{
    static CCrewActions actions;
    return actions;
}

void CCrewActions::Reset()
{
    m_current = UTILITY_TAG{};
    m_segments.clear();
}

CREW_REPLY CCrewActions::Run(const std::vector<std::string>& words, const CFieldbookView* view)
{
    CREW_COMMAND command;
    std::string error;
    if (!ParseCrewCommand(words, &CurrentColourTable(), command, error))
        return {CREW_USAGE, error + "\n"};
    return Execute(command, view);
}

CREW_REPLY CCrewActions::Execute(const CREW_COMMAND& command, const CFieldbookView* view)
{
    CSurveyLog* log = CSurveyLog::GetInstance();
    auto saved = [log](const std::string& done) -> CREW_REPLY {
        // The mark is the crew's word on a point already delivered: it goes to
        // disk now, not with the next point.
        if (log->Save())
            return {CREW_OK, done + "\n"};
        return {CREW_FAILED, done + ", but the log could not be saved: " + std::strerror(log->LastSaveError()) + "\n"};
    };
    switch (command.verb) {
    case CrewVerb::Utility: {
        UTILITY_TAG u = command.utility;
        if (u.colour.empty())
            if (const UTILITY_CODE* code = FindUtilityCode(CurrentColourTable(), u.type); code != nullptr)
                u.colour = code->colour;
        if (u.method.empty())
            u.method = "active";
        if (u.qualityLevel.empty())
            u.qualityLevel = QualityLevelOf(u.method);
        int32_t& segment = m_segments[{u.type, u.id}];
        if (segment == 0)
            segment = 1;
        u.segment = segment;
        m_current = u;
        return {CREW_OK, "utility: " + u.type + (u.id.empty() ? "" : " " + u.id) + ", segment " +
                             std::to_string(u.segment) + "\n"};
    }
    case CrewVerb::Segment: {
        if (!m_current.IsSet())
            return {CREW_FAILED, "no utility set: a segment belongs to a utility\n"};
        m_current.segment = ++m_segments[{m_current.type, m_current.id}];
        return {CREW_OK, "segment: " + std::to_string(m_current.segment) + "\n"};
    }
    case CrewVerb::Void:
    case CrewVerb::Note: {
        if (log->IsEmpty())
            return {CREW_FAILED, "no point logged yet in this log\n"};
        const size_t last = log->GetCount() - 1;
        const uint32_t number = log->GetAt(last).LocateData.u32EepromFileIndex;
        if (command.verb == CrewVerb::Void) {
            log->SetVoid(last, true);
            return saved("void: point " + std::to_string(number));
        }
        log->SetNote(last, command.note);
        return saved("note: point " + std::to_string(number));
    }
    case CrewVerb::Job:
        log->SetJob(command.job);
        if (log->IsEmpty())
            return {CREW_OK, "job: " + command.job.ticket + "\n"};
        return saved("job: " + command.job.ticket);
    case CrewVerb::Status:
        break;
    }
    return {CREW_OK, CrewStatusText(m_current, view)};
}

std::string CrewStatusText(const UTILITY_TAG& u, const CFieldbookView* view)
{
    const CSurveyLog* log = CSurveyLog::GetInstance();
    std::string text;
    auto line = [&text](const char* key, const std::string& value) { text += std::string(key) + ": " + value + "\n"; };
    line("utility", OrNone(u.type));
    line("id", OrNone(u.id));
    line("colour", OrNone(u.colour));
    line("method", OrNone(u.method));
    line("level", OrNone(u.qualityLevel));
    line("segment", u.IsSet() ? std::to_string(u.segment) : "-");
    const JOB_INFO& job = log->GetJob();
    line("ticket", OrNone(job.ticket));
    line("client", OrNone(job.client));
    line("site", OrNone(job.site));
    line("crew", OrNone(job.crew));
    line("log", OrNone(log->GetFileName()));
    line("points", std::to_string(log->GetCount()));
    if (log->IsEmpty()) {
        line("last point", "-");
    } else {
        const size_t last = log->GetCount() - 1;
        const POINT_RECORD& record = log->GetRecord(last);
        std::string value = std::to_string(log->GetAt(last).LocateData.u32EepromFileIndex);
        if (record.Utility.IsSet())
            value += " " + record.Utility.type + (record.Utility.id.empty() ? "" : " " + record.Utility.id) +
                     " segment " + std::to_string(record.Utility.segment);
        if (record.bVoid)
            value += " void";
        line("last point", value);
        if (!record.Note.empty())
            line("note", record.Note);
    }
    if (view != nullptr) {
        line("locator", view->m_wndBluetoothIcon.GetBitmap() == IDB_BLUETOOTH_UP ? "up" : "down");
        line("gps", view->m_wndGpsIcon.GetBitmap() == IDB_GPS_FIX ? "fix" : "no fix");
        line("running", view->IsRunning() ? "yes" : "no");
    }
    return text;
}
