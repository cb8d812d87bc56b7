// Root passes every file permission check, and the tests run as root in CI. A
// test that needs a read-only folder to refuse writes holds one of these: while
// it lives, the calling thread has no power to override file permissions.
#pragma once

class ScopedNoFileOverride {
public:
    ScopedNoFileOverride();
    ~ScopedNoFileOverride();
    ScopedNoFileOverride(const ScopedNoFileOverride&) = delete;
    ScopedNoFileOverride& operator=(const ScopedNoFileOverride&) = delete;

    // True when permission checks now apply to this thread (the override was
    // dropped, or the thread never had it).
    bool Active() const { return m_bActive; }

private:
    bool m_bActive = false;
    bool m_bDropped = false;
    unsigned m_savedEffective[2] = {0, 0};
};
