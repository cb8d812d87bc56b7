// A PROJ context of our own: network grid downloads off (a field unit has no
// network to count on, and a grid must be one the office installed), PROJ's
// messages kept for ours instead of going to stderr. One context per object
// that uses PROJ; PROJ contexts are not shared between threads.
#pragma once

#include <proj.h>
#include <string>

class CProjContext {
public:
    CProjContext();
    ~CProjContext();
    CProjContext(const CProjContext&) = delete;
    CProjContext& operator=(const CProjContext&) = delete;

    PJ_CONTEXT* Get() const { return m_ctx; }
    // PROJ's last error, from its own message where it gave one.
    std::string LastError() const;
    void ClearError();

private:
    static void Log(void* self, int level, const char* text);
    PJ_CONTEXT* m_ctx = nullptr;
    std::string m_lastMessage;
};

// Owning handles for PROJ objects.
struct ProjObjectDeleter {
    void operator()(PJ* pj) const { proj_destroy(pj); }
};
struct ProjListDeleter {
    void operator()(PJ_OBJ_LIST* list) const { proj_list_destroy(list); }
};
