// A file object of the host device: one open handle of a client. The host makes it on OpenFile,
// hands it to the driver with every request that comes through it and to the driver's cleanup
// callback when it is closed.
//
// Ownership: reference counted. The opener holds one reference; requests in flight hold theirs.
//
// Thread safety: the identity and access never change; the closed flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/com/com_object.h"
#include "platform/wdf/file.h"

namespace platform::host {

enum class FileAccess {
    kRead,       // control codes that need read access
    kReadWrite,  // control codes that need read or write access
};

class CHostFile final : public platform::ComObject<CHostFile, IWDFFile> {
public:
    CHostFile(std::uint64_t id, const void* device, FileAccess access) : m_id(id), m_device(device), m_access(access) {}

    // The file's number on its device, from 1: "file#1" in the host record.
    std::uint64_t Id() const { return m_id; }
    FileAccess Access() const { return m_access; }
    // The device the file was opened on (compared only, never used).
    const void* Device() const { return m_device; }
    bool IsClosed() const { return m_closed.load(); }
    // True for the call that closed it.
    bool MarkClosed() { return !m_closed.exchange(true); }

private:
    ~CHostFile() = default;
    friend class platform::ComObject<CHostFile, IWDFFile>;

    const std::uint64_t m_id;
    const void* const m_device;
    const FileAccess m_access;
    std::atomic<bool> m_closed{false};
};

}  // namespace platform::host
