#include "platform/kernel/file.h"

#include <cstring>
#include <vector>

#include "core/fault_injection.h"
#include "core/handle_table.h"
#include "platform/kernel/last_error.h"
#include "sim/device_tree.h"

namespace platform::detail {
namespace {

// An open device: a kernel object of the handle table, so CloseHandle closes it. Destroying it
// (after the last request that holds it) closes the device connection.
class File final : public KernelObject {
public:
    File(std::shared_ptr<sim::DeviceConnection> connection, DWORD access)
        : m_connection(std::move(connection)), m_access(access)
    {
    }

    sim::DeviceConnection& Connection() const { return *m_connection; }
    DWORD Access() const { return m_access; }

private:
    const std::shared_ptr<sim::DeviceConnection> m_connection;
    const DWORD m_access;
};

// "0xXXXXXXXX", the qualifier that fails one control code only.
std::string CodeQualifier(DWORD code)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x00000000";
    for (int i = 0; i < 8; ++i) text[9 - i] = kDigits[(code >> (4 * i)) & 0xF];
    return text;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    if (const auto error = CheckFault("CreateFileW", ERROR_FILE_NOT_FOUND)) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    auto connection = sim::ConnectDevice(lpFileName, dwDesiredAccess, dwShareMode, error);
    if (!connection) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<File>(std::move(connection), dwDesiredAccess));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if (FaultInjectionActive()) {
        if (const auto error = CheckFault("DeviceIoControl", ERROR_GEN_FAILURE, CodeQualifier(dwIoControlCode))) {
            return Fail(*error);
        }
    }
    const auto file = LookupHandleAs<File>(hDevice);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped != nullptr) return Fail(ERROR_NOT_SUPPORTED);
    if (lpBytesReturned == nullptr || (lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((dwIoControlCode & 3) != METHOD_BUFFERED) return Fail(ERROR_INVALID_FUNCTION);
    const DWORD requiredAccess = (dwIoControlCode >> 14) & 3;
    if (((requiredAccess & FILE_READ_ACCESS) != 0 && (file->Access() & GENERIC_READ) == 0) ||
        ((requiredAccess & FILE_WRITE_ACCESS) != 0 && (file->Access() & GENERIC_WRITE) == 0)) {
        return Fail(ERROR_ACCESS_DENIED);
    }

    // Buffered transfer: the device works on system buffers, never on the caller's memory.
    std::vector<BYTE> input(nInBufferSize);
    if (nInBufferSize != 0) std::memcpy(input.data(), lpInBuffer, nInBufferSize);
    std::vector<BYTE> output(nOutBufferSize, 0);
    DWORD bytes = 0;
    const DWORD error = file->Connection().IoControl(dwIoControlCode, input, output, bytes);
    if (error != ERROR_SUCCESS) return Fail(error);
    if (bytes != 0) std::memcpy(lpOutBuffer, output.data(), bytes);
    *lpBytesReturned = bytes;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
