// A file object of the host device: one client's open handle. The driver uses it only to tell
// clients apart and to hand it on.
//
// Thread safety: the object lives until its cleanup callback has returned.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

struct IWDFFile : IUnknown {
    using base_interface = IUnknown;

protected:
    ~IWDFFile() = default;
};
PLATFORM_INTERFACE_ID(IWDFFile, "E894A6E0-B6A4-4E1B-A16C-50083C4F9476");
PLATFORM_API_END
