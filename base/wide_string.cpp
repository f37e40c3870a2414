#include "base/wide_string.h"

namespace {

constexpr WCHAR ToLowerAscii(WCHAR c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c;
}

}  // namespace

std::size_t WideLength(PCWSTR text)
{
    std::size_t length = 0;
    if (text == nullptr) return 0;
    while (text[length] != 0) ++length;
    return length;
}

HRESULT CopyBounded(PWSTR dest, std::size_t cchDest, PCWSTR text)
{
    if (dest == nullptr || cchDest == 0) return E_INVALIDARG;
    dest[0] = 0;
    return AppendBounded(dest, cchDest, text);
}

HRESULT AppendBounded(PWSTR dest, std::size_t cchDest, PCWSTR text)
{
    if (dest == nullptr || cchDest == 0 || text == nullptr) return E_INVALIDARG;
    std::size_t used = 0;
    while (used < cchDest && dest[used] != 0) ++used;
    if (used == cchDest) return E_INVALIDARG;  // the buffer holds no terminated text
    std::size_t i = 0;
    for (; text[i] != 0; ++i) {
        if (used + 1 >= cchDest) {
            dest[used] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dest[used++] = text[i];
    }
    dest[used] = 0;
    return S_OK;
}

bool EqualsIgnoreCase(PCWSTR a, PCWSTR b)
{
    if (a == nullptr || b == nullptr) return a == b;
    for (;; ++a, ++b) {
        if (ToLowerAscii(*a) != ToLowerAscii(*b)) return false;
        if (*a == 0) return true;
    }
}
