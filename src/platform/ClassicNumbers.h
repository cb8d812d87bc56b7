// Numbers in every file fieldbook writes use the C locale's decimal point. The
// window face runs in the desktop's locale, where the separator may be a comma:
// in a CSV line that splits every number in two, and a debug file read on
// another machine would mean something else. Hold one of these, on the thread
// that formats, for as long as printf-style formatting or parsing goes on.
#pragma once

#include <clocale>
#include <locale.h>

class CClassicNumbers {
public:
    CClassicNumbers();
    ~CClassicNumbers();
    CClassicNumbers(const CClassicNumbers&) = delete;
    CClassicNumbers& operator=(const CClassicNumbers&) = delete;

private:
    locale_t m_previous = static_cast<locale_t>(nullptr);
};
