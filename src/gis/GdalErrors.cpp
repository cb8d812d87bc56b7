#include "gis/GdalErrors.h"

#include <cpl_error.h>
#include <cstdio>
#include <gdal.h>
#include <mutex>

namespace {

std::mutex g_hookMutex;
std::function<void(const std::string&)> g_hook;

void CPL_STDCALL OutsideHandler(CPLErr eClass, CPLErrorNum /*nError*/, const char* pszMessage)
{
    if (eClass < CE_Failure)
        return;
    const std::string text = pszMessage != nullptr ? pszMessage : "";
    std::lock_guard<std::mutex> lock(g_hookMutex);
    if (g_hook) {
        g_hook(text);
        return;
    }
    std::fprintf(stderr, "GDAL: %s\n", text.c_str());
}

void CPL_STDCALL ScopeHandler(CPLErr eClass, CPLErrorNum nError, const char* pszMessage)
{
    auto* scope = static_cast<CGdalMessages*>(CPLGetErrorHandlerUserData());
    if (eClass >= CE_Failure && scope != nullptr && pszMessage != nullptr)
        RecordGdalMessage(*scope, nError, pszMessage);
}

} // namespace

void RecordGdalMessage(CGdalMessages& scope, int number, const char* message)
{
    if (scope.m_firstError.empty()) {
        scope.m_firstError = message;
        scope.m_firstNumber = number;
    }
    scope.m_lastError = message;
}

void GisInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        CPLSetErrorHandler(OutsideHandler);
        GDALAllRegister();
    });
}

void SetGisMessageHook(std::function<void(const std::string&)> hook)
{
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hook = std::move(hook);
}

CGdalMessages::CGdalMessages()
{
    GisInit();
    CPLErrorReset();
    CPLPushErrorHandlerEx(ScopeHandler, this);
}

CGdalMessages::~CGdalMessages() { CPLPopErrorHandler(); }

std::string CGdalMessages::LastError(const std::string& fallback) const
{
    return m_lastError.empty() ? fallback : fallback + ": " + m_lastError;
}

std::string CGdalMessages::FirstError(const std::string& fallback) const
{
    return m_firstError.empty() ? fallback : fallback + ": " + m_firstError;
}

// Under ThreadSanitizer only. GDAL is not built with it: registering its
// drivers takes its own mutexes in an order ThreadSanitizer calls inverted,
// within one thread, inside a call made once. The report says nothing about
// our code, and every program that uses this module registers the drivers.
// Defined here because every such program links this file.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:libgdal.so\n";
}
#endif
