#include "base/test_mode.h"

std::atomic<LONG> g_TestMode{0};
