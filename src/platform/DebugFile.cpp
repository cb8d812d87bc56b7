#include "platform/DebugFile.h"

#include <cstdarg>

#include "platform/ClassicNumbers.h"

CDebugFile::~CDebugFile() { Close(); }

bool CDebugFile::Open(const std::string& path, Mode mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_path = path;
    if (path.empty())
        return false;
    m_file = std::fopen(path.c_str(), mode == Mode::Append ? "ab" : "wb");
    return m_file != nullptr;
}

void CDebugFile::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool CDebugFile::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file != nullptr;
}

void CDebugFile::Printf(const char* format, ...)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr)
        return;
    const CClassicNumbers classic;
    va_list args;
    va_start(args, format);
    std::vfprintf(m_file, format, args);
    va_end(args);
    std::fflush(m_file);
}

void CDebugFile::Write(const void* data, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr || data == nullptr || length == 0)
        return;
    std::fwrite(data, 1, length, m_file);
    std::fflush(m_file);
}
