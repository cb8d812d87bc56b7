// Stands for the handheld's debug text files ("\My Documents\*.txt"): printf-style
// lines, flushed after every write so that a crash or a flat battery loses
// nothing already written. A file that is not open ignores every write.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

class CDebugFile {
public:
    enum class Mode { Append, Truncate };

    CDebugFile() = default;
    ~CDebugFile();
    CDebugFile(const CDebugFile&) = delete;
    CDebugFile& operator=(const CDebugFile&) = delete;

    // Opens (creating if needed) the file at path; false when it cannot be opened.
    // An open file is closed first.
    bool Open(const std::string& path, Mode mode);
    void Close();
    bool IsOpen() const;

    // Formats with a constant printf format and flushes at once.
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes bytes as they are (raw traffic) and flushes.
    void Write(const void* data, size_t length);

    const std::string& Path() const { return m_path; }

private:
    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::string m_path;
};
