// The module's lock count and the reference that the module's counted objects hold on it.
//
// The count is the number of live reference-counted objects, class factories held by someone
// other than the module, and server locks. The module's DllCanUnloadNow answers from it: the
// library may go only when it is 0.
//
// Thread safety: the count changes only atomically; every function may be called from any thread.
#pragma once

#include "platform/types.h"

// One count more or less on the module; each returns the new count.
LONG LockModule();
LONG UnlockModule();
LONG GetModuleLockCount();

// One count on the module for the lifetime of its owner: a member of every reference-counted
// object of the driver, so the module cannot be unloaded while one exists.
class CModuleReference {
public:
    CModuleReference() { LockModule(); }
    ~CModuleReference() { UnlockModule(); }
    CModuleReference(const CModuleReference&) = delete;
    CModuleReference& operator=(const CModuleReference&) = delete;
};
