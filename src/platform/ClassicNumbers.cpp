#include "platform/ClassicNumbers.h"

CClassicNumbers::CClassicNumbers()
{
    // One C locale object for the whole run; uselocale switches only this thread.
    static const locale_t classic = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (classic != static_cast<locale_t>(nullptr))
        m_previous = ::uselocale(classic);
}

CClassicNumbers::~CClassicNumbers()
{
    if (m_previous != static_cast<locale_t>(nullptr))
        ::uselocale(m_previous);
}
