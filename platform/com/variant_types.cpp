#include "com/variant_types.h"

namespace platform::detail {

bool IsPlainVariantType(VARTYPE vt)
{
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_ERROR:
            return true;
        default:
            return false;
    }
}

}  // namespace platform::detail
