// The echo pane's lines from the links' raw chunks. A reader's chunk ends
// wherever its read ended, so an NMEA sentence arrives in pieces and a locator
// frame is binary: shown as they came, sentences were cut mid-line and frames
// were a row of odd characters. Here a chunk of text ends at its line ends and
// a sentence begun ('$' or '!') waits for the rest of itself; a chunk with any
// byte that is not text (a frame) becomes one line of hex bytes, whole. Text
// without a sentence's start keeps one line per chunk, as it always showed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CEchoLines {
public:
    // A sentence is at most 82 characters; a start never followed by a line
    // end is shown once it has grown past this, not held for ever.
    static constexpr size_t kMaxPending = 256;

    // The lines the chunk completes (none while a sentence still waits).
    std::vector<std::string> Take(std::string_view chunk);
    // The sentence begun and not ended, if any: shown as it is.
    std::string Flush();
    bool Pending() const { return !m_pending.empty(); }

private:
    std::string m_pending;
};

// "7E FF 10 03": each byte as two upper-case hex digits, blank separated.
std::string HexLine(std::string_view bytes);
