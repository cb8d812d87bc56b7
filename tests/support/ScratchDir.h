// A fresh folder under /tmp for one test, removed with everything in it at the end.
#pragma once

#include <string>

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The folder, ending in '/'.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// Whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Replaces the content of a file; false on failure.
bool WriteWholeFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
