// Variant types whose value owns nothing (no string, no interface): copying the value copies all.
#pragma once

#include "platform/com/oleauto.h"

namespace platform::detail {

bool IsPlainVariantType(VARTYPE vt);

}  // namespace platform::detail
