#include "support/CommaLocale.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

CommaLocale::CommaLocale() = default;

CommaLocale::~CommaLocale()
{
    Leave();
}

bool CommaLocale::Enter(std::string& why)
{
    constexpr const char* kName = "de_DE.UTF-8";
    if (std::setlocale(LC_ALL, kName) == nullptr) {
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + m_dir.Path() + kName + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            why = "localedef could not build de_DE.UTF-8 (Debian package locales)";
            return false;
        }
        ::setenv("LOCPATH", m_dir.Path().c_str(), 1);
        if (std::setlocale(LC_ALL, kName) == nullptr) {
            ::unsetenv("LOCPATH");
            why = "de_DE.UTF-8 built but not accepted";
            return false;
        }
    }
    m_entered = true;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    if (std::string(probe) != "1,5") {
        Leave();
        why = "de_DE.UTF-8 does not print a decimal comma here";
        return false;
    }
    return true;
}

void CommaLocale::Leave()
{
    if (!m_entered)
        return;
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    m_entered = false;
}
