#include "app/EchoLines.h"

namespace {

bool IsText(unsigned char c)
{
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
}

} // namespace

std::string HexLine(std::string_view bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!line.empty())
            line += ' ';
        line += kDigits[c >> 4];
        line += kDigits[c & 0x0F];
    }
    return line;
}

std::vector<std::string> CEchoLines::Take(std::string_view chunk)
{
    std::vector<std::string> lines;
    for (unsigned char c : chunk) {
        if (!IsText(c)) {
            // A frame from the locator: the GPS's waiting sentence is not its.
            lines.push_back(HexLine(chunk));
            return lines;
        }
    }
    size_t start = 0;
    while (start < chunk.size()) {
        const size_t end = chunk.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            break;
        std::string line = m_pending + std::string(chunk.substr(start, end - start));
        m_pending.clear();
        if (!line.empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    if (start < chunk.size()) {
        const std::string_view rest = chunk.substr(start);
        if (!m_pending.empty() || rest.front() == '$' || rest.front() == '!') {
            m_pending += rest;
            if (m_pending.size() > kMaxPending)
                lines.push_back(Flush());
        } else {
            lines.emplace_back(rest);
        }
    }
    return lines;
}

std::string CEchoLines::Flush()
{
    std::string line;
    line.swap(m_pending);
    return line;
}
