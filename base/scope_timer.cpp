#include "base/scope_timer.h"

#include "base/trace.h"
#include "platform/kernel/time.h"

TRACE_COMPONENT("{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}");

void CScopeTimer::Begin(const char* name)
{
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    m_start = count.QuadPart;
    m_name = name;
    TRACE_INFO(10, m_name);
}

void CScopeTimer::End()
{
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    m_end = count.QuadPart;
    m_frequency = frequency.QuadPart;
    m_elapsed = static_cast<double>(m_end - m_start) * 1000.0 / static_cast<double>(m_frequency);
    TRACE_INFO(11, m_name, m_elapsed);
}
