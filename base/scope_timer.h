// Method timing trace: a scope guard that traces a method's name on entry and its duration in
// milliseconds, from the performance counter, on every way out (unwinding included).
//
//   CScopeTimer timer("CWmiThermal::InitComComponent()");
#pragma once

#include "platform/types.h"

class CScopeTimer {
public:
    explicit CScopeTimer(const char* name) { Begin(name); }
    ~CScopeTimer() { End(); }
    CScopeTimer(const CScopeTimer&) = delete;
    CScopeTimer& operator=(const CScopeTimer&) = delete;

    // Milliseconds between Begin and End; valid once End has run.
    double Elapsed() const { return m_elapsed; }

private:
    void Begin(const char* name);
    void End();

    const char* m_name = nullptr;
    LONGLONG m_frequency = 0;
    LONGLONG m_start = 0;
    LONGLONG m_end = 0;
    double m_elapsed = 0.0;
};
