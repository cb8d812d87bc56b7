// GDAL reports through an error handler of its own; here every message it
// raises becomes part of ours, never a line of its own on a terminal.
#pragma once

#include <functional>
#include <string>

// Registers GDAL's drivers and our handler, once; safe from any thread.
void GisInit();

// Where GDAL messages raised outside any CGdalMessages go (any thread). The
// default drops warnings and writes errors to stderr as "GDAL: <text>".
void SetGisMessageHook(std::function<void(const std::string&)> hook);

// What GDAL raised: its CPLErrorNum (CPLE_OpenFailed, CPLE_FileIO, ...) and text.
struct GDAL_ERROR {
    int number = 0;
    std::string message;
};

// While it lives, GDAL's messages on this thread are kept here instead.
class CGdalMessages {
public:
    CGdalMessages();
    ~CGdalMessages();
    CGdalMessages(const CGdalMessages&) = delete;
    CGdalMessages& operator=(const CGdalMessages&) = delete;

    // The last error GDAL raised, or fallback when it raised none.
    std::string LastError(const std::string& fallback) const;
    // The first: the cause, where later ones are its consequences (a
    // database's "current transaction is aborted" after the refused row).
    std::string FirstError(const std::string& fallback) const;
    int FirstErrorNumber() const { return m_firstNumber; }
    GDAL_ERROR First() const { return GDAL_ERROR{m_firstNumber, m_firstError}; }
    bool HadError() const { return !m_lastError.empty(); }
    // Forgets what was raised so far (a failure that a second try mended).
    void Forget()
    {
        m_lastError.clear();
        m_firstError.clear();
        m_firstNumber = 0;
    }

private:
    friend void RecordGdalMessage(CGdalMessages& scope, int number, const char* message);
    std::string m_lastError;
    std::string m_firstError;
    int m_firstNumber = 0;
};

// Called by the handler a CGdalMessages installs; nothing else calls it.
void RecordGdalMessage(CGdalMessages& scope, int number, const char* message);
