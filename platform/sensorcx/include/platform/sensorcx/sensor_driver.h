// The sensor-driver callbacks: what the sensor class extension calls on the driver's sensor-driver
// object, between the class extension's Initialize and Uninitialize.
//
// Object IDs are the sensor object IDs the driver registered (or "DEVICE" for the device object).
// The client file identifies the client. Out collections and arrays belong to the caller.
//
// Thread safety: the class extension calls these on its own threads, several at once.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/sensorcx/portable_device_types.h"
#include "platform/wdf/file.h"

PLATFORM_API_BEGIN

struct ISensorDriver : IUnknown {
    using base_interface = IUnknown;
    // One values set of properties for each sensor object.
    virtual HRESULT STDMETHODCALLTYPE
    OnGetSupportedSensorObjects(IPortableDeviceValuesCollection** ppSensorObjectCollection) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    OnGetSupportedProperties(LPWSTR pwszObjectID, IPortableDeviceKeyCollection** ppSupportedProperties) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    OnGetSupportedDataFields(LPWSTR pwszObjectID, IPortableDeviceKeyCollection** ppSupportedDataFields) = 0;
    // The event GUIDs, in an array allocated with CoTaskMemAlloc.
    virtual HRESULT STDMETHODCALLTYPE OnGetSupportedEvents(LPWSTR pwszObjectID, GUID** ppSupportedEvents,
                                                           ULONG* pulEventCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnGetProperties(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                                      IPortableDeviceKeyCollection* pProperties,
                                                      IPortableDeviceValues** ppPropertyValues) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnGetDataFields(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                                      IPortableDeviceKeyCollection* pDataFields,
                                                      IPortableDeviceValues** ppDataValues) = 0;
    // Writes the given values; per-key results go into *ppResults.
    virtual HRESULT STDMETHODCALLTYPE OnSetProperties(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                                      IPortableDeviceValues* pPropertiesToSet,
                                                      IPortableDeviceValues** ppResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnClientConnect(IWDFFile* pClientFile, LPWSTR pwszObjectID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnClientDisconnect(IWDFFile* pClientFile, LPWSTR pwszObjectID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnClientSubscribeToEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnClientUnsubscribeFromEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID) = 0;
    // A portable-device message that the class extension does not handle itself; both arguments
    // are values sets.
    virtual HRESULT STDMETHODCALLTYPE OnProcessWpdMessage(IUnknown* pUnkPortableDeviceValuesParams,
                                                          IUnknown* pUnkPortableDeviceValuesResults) = 0;

protected:
    ~ISensorDriver() = default;
};
PLATFORM_INTERFACE_ID(ISensorDriver, "2BF3190B-E390-4430-95F3-8116547CA6A2");
PLATFORM_API_END
