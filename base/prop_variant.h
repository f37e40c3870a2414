// A PROPVARIANT that clears itself: VT_EMPTY when made, PropVariantClear on every way out.
//
//   CPropVariant value;
//   hr = store->GetValue(key, &value);   // converts to PROPVARIANT*
//
// Thread safety: one object belongs to the thread that uses it.
#pragma once

#include "platform/com/propvariant.h"

class CPropVariant {
public:
    CPropVariant() { PropVariantInit(&m_value); }
    ~CPropVariant() { PropVariantClear(&m_value); }
    CPropVariant(const CPropVariant&) = delete;
    CPropVariant& operator=(const CPropVariant&) = delete;

    PROPVARIANT* operator&() { return &m_value; }
    const PROPVARIANT* Get() const { return &m_value; }
    VARTYPE Type() const { return m_value.vt; }
    const PROPVARIANT& operator*() const { return m_value; }
    const PROPVARIANT* operator->() const { return &m_value; }
    void Clear() { PropVariantClear(&m_value); }

private:
    PROPVARIANT m_value;
};
