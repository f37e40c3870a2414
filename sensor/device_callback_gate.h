// The device's gate for callbacks in flight: each kind of callback enters it with its bit and
// leaves it when done, so that the device's teardown can wait for every callback in flight and
// refuse new ones. The device callback object implements it; the sensor manager holds it.
//
// Thread safety: EnterCallback and LeaveCallback may be called from any thread.
#pragma once

#include "platform/com/unknown.h"

struct IDeviceCallbackGate : IUnknown {
    using base_interface = IUnknown;
    // Sets the bit. S_OK, or HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS) (0x8007045B) when
    // teardown has begun; the bit is set in both cases, and every call is paired with LeaveCallback.
    virtual HRESULT STDMETHODCALLTYPE EnterCallback(ULONGLONG bit) = 0;
    // Clears the bit.
    virtual void STDMETHODCALLTYPE LeaveCallback(ULONGLONG bit) = 0;

protected:
    ~IDeviceCallbackGate() = default;
};
PLATFORM_INTERFACE_ID(IDeviceCallbackGate, "08D4E792-B3A6-48E3-BAB7-EFD2C79713E4");

// The bits of the callbacks of the sensor side.
inline constexpr ULONGLONG kCallbackSensorDriver = 0x40;  // a sensor-driver callback of the class extension
inline constexpr ULONGLONG kCallbackEventPass = 0x80;     // an event pass of the event thread
