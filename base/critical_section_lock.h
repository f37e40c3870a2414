// A scope guard for a critical section: enters it on construction and leaves it on every way out of
// the scope, unwinding included.
//
//   CCriticalSectionLock lock(&m_csData);
//
// Thread safety: one guard belongs to the thread that made it.
#pragma once

#include "platform/kernel/critical_section.h"

class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CRITICAL_SECTION* cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
    ~CCriticalSectionLock() { LeaveCriticalSection(m_cs); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};
