// The device's gate for callbacks in flight: each kind of callback enters it with its bit and
// leaves it when done, so that the device's teardown can wait for every callback in flight and
// refuse new ones. The device callback object implements it; the sensor manager holds it. A
// callback holds its bit through a CDeviceCallbackScope:
//
//   CDeviceCallbackScope busy(gate, kCallbackPower);
//   if (FAILED(busy.Status())) return busy.Status();   // teardown has begun
//
// Thread safety: EnterCallback and LeaveCallback may be called from any thread; a scope belongs to
// the thread that made it.
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

// Holds one bit of a gate for the life of a scope: entered on construction, left on every way out,
// unwinding included. Without a gate there is no teardown to respect: the status is S_OK.
class CDeviceCallbackScope {
public:
    CDeviceCallbackScope(IDeviceCallbackGate* pGate, ULONGLONG bit)
        : m_pGate(pGate), m_bit(bit), m_hr(pGate != nullptr ? pGate->EnterCallback(bit) : S_OK)
    {
    }
    ~CDeviceCallbackScope()
    {
        if (m_pGate != nullptr) m_pGate->LeaveCallback(m_bit);
    }
    CDeviceCallbackScope(const CDeviceCallbackScope&) = delete;
    CDeviceCallbackScope& operator=(const CDeviceCallbackScope&) = delete;

    // S_OK, or the refusal of EnterCallback: the callback must not run.
    HRESULT Status() const { return m_hr; }

private:
    IDeviceCallbackGate* const m_pGate;
    const ULONGLONG m_bit;
    const HRESULT m_hr;
};

// The bits of the callbacks of the sensor side.
inline constexpr ULONGLONG kCallbackSensorDriver = 0x40;  // a sensor-driver callback of the class extension
inline constexpr ULONGLONG kCallbackEventPass = 0x80;     // an event pass of the event thread
