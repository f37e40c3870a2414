// The interface channel of the temperature probe: the device found by enumerating the probe's
// device-interface class, read with one control request that answers a 32-bit raw value. The value
// is passed on unchanged; it is a key of the thermal map.
//
// Ownership: one instance per process, made by the first GetInstance and never destroyed. The
// device path is found once, at that moment; a probe that arrives later is not seen until the
// module is loaded again. Open and close may repeat; a reopen uses the stored path.
//
// Thread safety: GetInstance may be called from any thread; the instance is made under the
// language's once-only initialisation of a local static. The channel itself holds no lock: open and
// close run on the host's callback threads, reads run on the collector thread, which is the only
// reader and has ended before the channel is closed.
#pragma once

#include "platform/types.h"

class CProbeInterfaceDevice {
public:
    // The process-wide instance; null only when it could not be allocated.
    static CProbeInterfaceDevice* GetInstance();

    // 1 when the channel is open (also when it already was), 0 when the device cannot be opened.
    int OpenDevice();
    // 1 when an open channel was closed, 0 when it was not open.
    int CloseDevice();
    // Reads the raw value into *value (0 when the request fails) and returns the request's result.
    // Without an open handle it returns FALSE and sends nothing.
    BOOL ReadRawValue(DWORD* value);

    CProbeInterfaceDevice(const CProbeInterfaceDevice&) = delete;
    CProbeInterfaceDevice& operator=(const CProbeInterfaceDevice&) = delete;

private:
    CProbeInterfaceDevice();
    ~CProbeInterfaceDevice() = default;

    // Finds the path of the first present interface of the probe's class; leaves it empty when
    // there is none or a step fails.
    void EnumerateDevice();

    static constexpr DWORD kDevicePathUnits = 256;

    WCHAR m_szDevicePath[kDevicePathUnits];
    HANDLE m_hDevice;
    int m_nOpened;
};
