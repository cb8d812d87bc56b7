#include "gis/ProjContext.h"

CProjContext::CProjContext() : m_ctx(proj_context_create())
{
    proj_log_func(m_ctx, this, &CProjContext::Log);
    proj_log_level(m_ctx, PJ_LOG_ERROR);
    proj_context_set_enable_network(m_ctx, 0);
}

CProjContext::~CProjContext()
{
    proj_context_destroy(m_ctx);
}

void CProjContext::Log(void* self, int level, const char* text)
{
    if (level <= PJ_LOG_ERROR && text != nullptr)
        static_cast<CProjContext*>(self)->m_lastMessage = text;
}

std::string CProjContext::LastError() const
{
    if (!m_lastMessage.empty())
        return m_lastMessage;
    const char* text = proj_context_errno_string(m_ctx, proj_context_errno(m_ctx));
    return text != nullptr ? text : "unknown PROJ error";
}

void CProjContext::ClearError()
{
    m_lastMessage.clear();
    proj_errno_reset(nullptr);
}
