// A locale whose decimal separator is a comma (de_DE.UTF-8), built into a
// scratch folder with localedef, so that tests do not depend on the locales a
// machine happens to have. Put in force for the calling process by Enter; Leave
// (or the end of the object) goes back to the C locale.
#pragma once

#include <string>

#include "support/ScratchDir.h"

class CommaLocale {
public:
    CommaLocale();
    ~CommaLocale();
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // False (with the reason) when no such locale can be had here.
    bool Enter(std::string& why);
    void Leave();

private:
    ScratchDir m_dir;
    bool m_entered = false;
};
