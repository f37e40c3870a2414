// The sensor class extension: speaks the sensor protocol to clients and calls the driver's
// sensor-driver object (ISensorDriver). Made with CoCreateInstance of CLSID_SensorClassExtension.
//
// Thread safety: every operation may be called from any thread, but never with a lock held that a
// sensor-driver callback takes: the class extension may call back into the driver before it returns.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/sensorcx/portable_device_types.h"
#include "platform/wdf/file.h"
#include "platform/wdf/io_request.h"

PLATFORM_API_BEGIN

// What a sensor reports about itself.
enum SensorState : DWORD {
    SENSOR_STATE_READY = 0,
    SENSOR_STATE_NOT_AVAILABLE = 1,
    SENSOR_STATE_NO_DATA = 2,
    SENSOR_STATE_INITIALIZING = 3,
    SENSOR_STATE_ACCESS_DENIED = 4,
    SENSOR_STATE_ERROR = 5,
};

inline constexpr CLSID CLSID_SensorClassExtension = platform::MakeGuid("{6101F767-998E-452B-B54A-E836DD486BAD}");

struct ISensorClassExtension : IUnknown {
    using base_interface = IUnknown;
    // Binds to the host device and the sensor-driver object (both as IUnknown). From here on the
    // class extension may call the sensor-driver callbacks.
    virtual HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pWdfDeviceUnknown, IUnknown* pSensorDriverUnknown) = 0;
    // Unbinds: no sensor-driver callback runs after it returns. Each subscribed client is told that
    // its sensor left, and every client is forgotten.
    virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;
    // Takes a portable-device message request and completes it.
    virtual HRESULT STDMETHODCALLTYPE ProcessIoControl(IWDFIoRequest* pRequest) = 0;
    // Delivers the event values sets of the collection to the sensor's subscribed clients.
    virtual HRESULT STDMETHODCALLTYPE PostEvent(LPWSTR pwszSensorID,
                                                IPortableDeviceValuesCollection* pEventCollection) = 0;
    virtual HRESULT STDMETHODCALLTYPE PostStateChange(LPWSTR pwszSensorID, SensorState state) = 0;
    // A client's handle is being closed: forgets the client.
    virtual HRESULT STDMETHODCALLTYPE CleanupFile(IWDFFile* pWdfFile) = 0;

protected:
    ~ISensorClassExtension() = default;
};
PLATFORM_INTERFACE_ID(ISensorClassExtension, "A31253BA-6F73-4BC9-ABAA-26C8833C58FF");
PLATFORM_API_END
