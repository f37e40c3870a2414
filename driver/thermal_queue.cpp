#include "driver/thermal_queue.h"

#include <new>

#include "base/last_error_result.h"
#include "base/trace.h"
#include "driver/thermal_device.h"
#include "platform/kernel/last_error.h"
#include "platform/probe/thermal_driver_contract.h"
#include "sensor/sensor_manager.h"

TRACE_COMPONENT("{EF0824F1-5787-4807-8DA4-33ACA14D357A}");

namespace {
// Every private radio-state request carries one 32-bit value.
constexpr SIZE_T kPrivateInformation = sizeof(ULONG);

bool IsPrivateCode(ULONG code)
{
    return code == IOCTL_GET_RADIO_STATE || code == IOCTL_GET_PREVIOUS_RADIO_STATE || code == IOCTL_SET_RADIO_STATE ||
           code == IOCTL_SET_PREVIOUS_RADIO_STATE;
}
}  // namespace

HRESULT CThermalQueue::CreateInstance(CThermalDevice* pDevice, CThermalQueue** ppQueue)
{
    if (ppQueue == nullptr) return E_POINTER;
    *ppQueue = nullptr;
    if (pDevice == nullptr) return E_POINTER;
    CThermalQueue* queue = new (std::nothrow) CThermalQueue(pDevice);
    if (queue == nullptr) return E_OUTOFMEMORY;
    queue->AddRef();
    const HRESULT hr = queue->InitializeLock();
    if (FAILED(hr)) {
        queue->Release();
        return hr;
    }
    *ppQueue = queue;
    return S_OK;
}

CThermalQueue::CThermalQueue(CThermalDevice* pDevice) : m_pDevice(pDevice) {}

CThermalQueue::~CThermalQueue()
{
    if (m_fLockInitialized) DeleteCriticalSection(&m_csLock);
}

HRESULT CThermalQueue::InitializeLock()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csLock, 0)) {
        return LastErrorResult();
    }
    m_fLockInitialized = 1;
    return S_OK;
}

void CThermalQueue::OnDeviceIoControl(IWDFIoQueue*, IWDFIoRequest* pWdfRequest, ULONG ControlCode, SIZE_T, SIZE_T)
{
    if (pWdfRequest == nullptr) return;
    if (IsPrivateCode(ControlCode)) {
        ProcessPrivateRequest(pWdfRequest, ControlCode);
    } else if ((ControlCode & ~kControlCodeWriteAccessBit) == IOCTL_SENSOR_MESSAGE) {
        ProcessSensorMessage(pWdfRequest);
    } else {
        TRACE_INFO(12, ControlCode);
        pWdfRequest->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
    }
}

void CThermalQueue::ProcessPrivateRequest(IWDFIoRequest* pWdfRequest, ULONG ControlCode)
{
    CDeviceCallbackScope busy(m_pDevice.Get(), kCallbackDeviceIoControl);
    if (FAILED(busy.Status())) {
        TRACE_INFO(10, ControlCode);
        pWdfRequest->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
        return;
    }
    platform::ComPtr<CSensorManager> manager = m_pDevice->GetSensorManager();
    const HRESULT hr = manager ? manager->ProcessPrivateIoControl(pWdfRequest, ControlCode) : E_UNEXPECTED;
    if (FAILED(hr)) TRACE_ERROR(11, ControlCode, hr);
    // A get always reports the size of the value, also with a failure status. A set returns no
    // bytes: reporting 4 would claim output the caller never gave room for.
    const bool fGet = ControlCode == IOCTL_GET_RADIO_STATE || ControlCode == IOCTL_GET_PREVIOUS_RADIO_STATE;
    pWdfRequest->CompleteWithInformation(hr, fGet ? kPrivateInformation : 0);
}

void CThermalQueue::ProcessSensorMessage(IWDFIoRequest* pWdfRequest)
{
    CDeviceCallbackScope busy(m_pDevice.Get(), kCallbackDeviceIoControl);
    if (FAILED(busy.Status())) {
        TRACE_INFO(10, IOCTL_SENSOR_MESSAGE);
        pWdfRequest->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
        return;
    }
    // The class extension completes the request; without a manager nobody would, so it is
    // completed here.
    platform::ComPtr<CSensorManager> manager = m_pDevice->GetSensorManager();
    if (!manager) {
        TRACE_ERROR(13);
        pWdfRequest->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
        return;
    }
    const HRESULT hr = manager->ProcessIoControl(pWdfRequest);
    if (FAILED(hr)) TRACE_ERROR(14, hr);
}
