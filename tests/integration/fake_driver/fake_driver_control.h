// The control block of the fake driver module: what its callbacks answer and what they saw. The
// module exports it as "g_fakeDriverControl"; a test finds it in the loaded module (FindControl).
// It lives in the module, so it starts afresh at every load and is gone after unload.
//
//   auto* control = fake_driver::FindControl();     // after the host loaded the module
//   control->deviceAddResult = E_NOTIMPL;
//
// Thread safety: every field is atomic.
#pragma once

#include <dlfcn.h>

#include <atomic>

#include "platform/com/hresult.h"
#include "platform/kernel/handle.h"

namespace fake_driver {

// Control codes the fake queue callback understands (device type 0x22, buffered).
inline constexpr ULONG kEcho = 0x00222400;           // any access: output = input, information = copied
inline constexpr ULONG kHold = 0x00222404;           // any access: waits for holdRelease, then S_OK
inline constexpr ULONG kCompleteTwice = 0x00222408;  // any access: completes S_OK, then again
inline constexpr ULONG kNeverComplete = 0x0022240C;  // any access: returns without completing
inline constexpr ULONG kWriteEcho = 0x0022A410;      // write access: as kEcho
inline constexpr ULONG kReadEcho = 0x00226414;       // read access: as kEcho
// Any access: the input is a u32 count (little-endian) and an event message; the message goes to
// the request's file as a sensor event (IClientEventSink) `count` times, then eventsRaised is set
// (when there is one) and the request completes with S_OK.
inline constexpr ULONG kRaiseEvents = 0x00222418;
// Any other code is completed with HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED).

struct Control {
    // Answers of the driver object and the device callbacks.
    std::atomic<HRESULT> deviceAddResult{S_OK};
    std::atomic<bool> createDevice{true};  // OnDeviceAdd calls CreateDevice
    std::atomic<HRESULT> prepareHardwareResult{S_OK};
    std::atomic<HRESULT> d0EntryResult{S_OK};
    std::atomic<HRESULT> selfManagedIoInitResult{S_OK};
    std::atomic<bool> createQueue{true};  // OnPrepareHardware makes the default queue
    // OnDeinitialize keeps the driver object alive, so the module cannot be unloaded.
    std::atomic<bool> leakDriverAtDeinitialize{false};
    // kHold waits on this manual-reset event (set by the test) after counting itself in `held`.
    std::atomic<HANDLE> holdRelease{nullptr};
    // kRaiseEvents sets this manual-reset event (set by the test) once its events went out.
    std::atomic<HANDLE> eventsRaised{nullptr};
    // What the module saw.
    std::atomic<int> held{0};
    std::atomic<int> cleanups{0};
    std::atomic<int> liveObjects{0};
};

#ifdef FAKE_DRIVER_MODULE_PATH  // defined for the tests, not for the module itself
// The control block of the loaded fake module, or null when it is not loaded.
inline Control* FindControl()
{
    void* library = dlopen(FAKE_DRIVER_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    auto* control = static_cast<Control*>(dlsym(library, "g_fakeDriverControl"));
    dlclose(library);  // drops the reference this lookup added; the host's load keeps it mapped
    return control;
}
#endif

}  // namespace fake_driver
