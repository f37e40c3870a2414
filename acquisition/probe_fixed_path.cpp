#include "acquisition/probe_fixed_path.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/trace.h"
#include "platform/kernel/file.h"
#include "platform/kernel/last_error.h"
#include "platform/probe/probe_ioctl.h"

TRACE_COMPONENT("{A4D0C7E2-5B18-4F63-8C9A-1E7B2D4F6A35}");

namespace {

constexpr int kTableEntries = 121;
constexpr float kNoReading = -1024.0f;

// Raw counts at -15 to 105 degrees Celsius, one entry a degree, for each known sensor kind.
constexpr int kKind20Counts[kTableEntries] = {
#include "data/probe_kind20_counts.inc"
};
constexpr int kKind21Counts[kTableEntries] = {
#include "data/probe_kind21_counts.inc"
};

// Process-wide state; see the header.
// Made on first use and kept for the life of the module; freed when the module unloads.
std::unique_ptr<int> g_pFixedProbeOpened;
HANDLE g_hFixedProbe = nullptr;
int g_Kind20Table[kTableEntries];
int g_Kind21Table[kTableEntries];

// Converts counts with a strictly descending table whose entry i stands for (i - 15) degrees. The
// step between two entries is cut into tenths, truncated toward the warmer entry.
float ConvertProbeCounts(const int* table, int counts)
{
    for (int k = 0; k < kTableEntries - 1; ++k) {
        if (table[k] >= counts && counts > table[k + 1]) {
            const int below = table[k + 1];
            const float fraction = static_cast<float>(counts - below) / static_cast<float>(table[k] - below);
            const int tenths = static_cast<int>(fraction * 10.0f);
            return static_cast<float>(k - 14) - static_cast<float>(tenths) / 10.0f;
        }
    }
    return kNoReading;
}

int QueryFixedProbe(float* celsius)
{
    *celsius = kNoReading;

    // A failed status request leaves the preset standing: ready byte 0xFF, kind 255.
    WORD status = 0xFFFF;
    DWORD bytesReturned = 0;
    DeviceIoControl(g_hFixedProbe, IOCTL_PROBE_GET_STATUS, nullptr, 0, &status, sizeof(status), &bytesReturned,
                    nullptr);
    const BYTE ready = static_cast<BYTE>(status & 0xFF);
    const BYTE kind = static_cast<BYTE>(status >> 8);
    TRACE_INFO(20, static_cast<DWORD>(status), static_cast<DWORD>(ready), static_cast<DWORD>(kind));
    if (ready == 0) return 0;

    USHORT counts = 0;
    const BOOL result = DeviceIoControl(g_hFixedProbe, IOCTL_PROBE_GET_COUNTS, nullptr, 0, &counts, sizeof(counts),
                                        &bytesReturned, nullptr);
    if (!result) {
        TRACE_ERROR(21, GetLastError());
        return 0;
    }

    if (kind == PROBE_KIND_20) {
        *celsius = ConvertProbeCounts(g_Kind20Table, counts);
    } else if (kind == PROBE_KIND_21) {
        *celsius = ConvertProbeCounts(g_Kind21Table, counts);
    } else {
        TRACE_ERROR(22, static_cast<DWORD>(kind));
    }
    return result;
}

}  // namespace

int* GetFixedProbeState()
{
    if (!g_pFixedProbeOpened) g_pFixedProbeOpened.reset(new (std::nothrow) int(0));
    return g_pFixedProbeOpened.get();
}

int OpenFixedProbe(int* opened)
{
    // Every open reopens the device. The device allows no sharing, so a handle still held would
    // make the new open fail; it is closed first.
    if (g_hFixedProbe != nullptr) {
        TRACE_INFO(11);
        CloseHandle(g_hFixedProbe);
        g_hFixedProbe = nullptr;
    }

    int result = 0;
    HANDLE device = CreateFileW(PROBE_FIXED_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        g_hFixedProbe = device;
        std::memcpy(g_Kind20Table, kKind20Counts, sizeof(g_Kind20Table));
        std::memcpy(g_Kind21Table, kKind21Counts, sizeof(g_Kind21Table));
        result = 1;
    }
    if (opened != nullptr) *opened = result;
    TRACE_INFO(10, result);
    return result;
}

void CloseFixedProbe(int* opened)
{
    TRACE_INFO(12);
    if (g_hFixedProbe != nullptr) {
        CloseHandle(g_hFixedProbe);
        g_hFixedProbe = nullptr;
    }
    if (opened != nullptr) *opened = 0;
}

int ReadFixedProbe(const int* opened, float* celsius)
{
    if (opened == nullptr || *opened == 0 || celsius == nullptr) return 0;

    float value = kNoReading;
    const int result = QueryFixedProbe(&value);
    TRACE_INFO(23, static_cast<double>(value));
    *celsius = value;
    return result;
}
