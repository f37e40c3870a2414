// The test-mode switch: the registry value "TestMode" under HKEY_CURRENT_CONFIG
// "Software\Varmel\Configure". Test mode is on while the value's text equals "Enable", compared
// without regard to case.
//
// Thread safety: runs on the host's plug-and-play thread; it writes g_TestMode atomically.
#pragma once

// Reads the switch into g_TestMode: 1 for "Enable", 0 for any other text. A missing key or value
// leaves g_TestMode as it was.
void ReadConfiguration();
