#include "bounded_text.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>

namespace ndisfilter {
namespace {

// Copies src into dst[0, capacity), capacity >= 1. On truncation dst keeps
// capacity - 1 characters and its terminator.
template <typename Char>
HRESULT CopyBounded(Char *dst, size_t capacity, const Char *src) {
    size_t i = 0;
    for (; i < capacity; ++i) {
        if (src[i] == Char(0)) {
            dst[i] = Char(0);
            return S_OK;
        }
        dst[i] = src[i];
    }
    dst[capacity - 1] = Char(0);
    return kInsufficientBuffer;
}

}  // namespace

HRESULT BoundedCopyW(WCHAR *dst, size_t capacity, const WCHAR *src) {
    if (capacity == 0) return E_INVALIDARG;
    return CopyBounded(dst, capacity, src);
}

HRESULT BoundedAppendA(char *dst, size_t capacity, const char *src) {
    if (capacity == 0) return E_INVALIDARG;
    size_t length = 0;
    while (length < capacity && dst[length] != '\0') ++length;
    if (length == capacity) return E_INVALIDARG;
    return CopyBounded(dst + length, capacity - length, src);
}

HRESULT BoundedFormatA(char *dst, size_t capacity, const char *format, ...) {
    if (capacity == 0 || capacity > static_cast<size_t>(INT_MAX)) return E_INVALIDARG;
    va_list args;
    va_start(args, format);
    // C99 vsnprintf: writes at most capacity - 1 characters plus a
    // terminator, and answers the length the whole text would have had.
    const int length = vsnprintf(dst, capacity, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) > capacity - 1) {
        dst[capacity - 1] = '\0';
        return kInsufficientBuffer;
    }
    return S_OK;
}

}  // namespace ndisfilter
