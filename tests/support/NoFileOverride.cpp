#include "support/NoFileOverride.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr unsigned kOverrides =
    (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

// Capability sets belong to the thread; the raw calls act on the caller only.
bool GetCaps(__user_cap_data_struct data[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool SetCaps(__user_cap_data_struct data[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

ScopedNoFileOverride::ScopedNoFileOverride()
{
    __user_cap_data_struct data[2]{};
    if (!GetCaps(data))
        return;
    m_savedEffective[0] = data[0].effective;
    m_savedEffective[1] = data[1].effective;
    if ((data[0].effective & kOverrides) == 0) {
        m_bActive = true;
        return;
    }
    data[0].effective &= ~kOverrides;
    m_bDropped = SetCaps(data);
    m_bActive = m_bDropped;
}

ScopedNoFileOverride::~ScopedNoFileOverride()
{
    if (!m_bDropped)
        return;
    __user_cap_data_struct data[2]{};
    if (!GetCaps(data))
        return;
    data[0].effective = m_savedEffective[0];
    data[1].effective = m_savedEffective[1];
    SetCaps(data);
}
