// Bounded copy, append and format over fixed character buffers. None writes
// past `capacity` characters (terminator included); truncation answers
// STRSAFE_E_INSUFFICIENT_BUFFER, a capacity that cannot hold text answers
// E_INVALIDARG.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace ndisfilter {

constexpr HRESULT kInsufficientBuffer =
    static_cast<HRESULT>(0x8007007AL);  // STRSAFE_E_INSUFFICIENT_BUFFER

HRESULT BoundedCopyW(WCHAR *dst, size_t capacity, const WCHAR *src);
HRESULT BoundedAppendA(char *dst, size_t capacity, const char *src);
HRESULT BoundedFormatA(char *dst, size_t capacity, const char *format, ...);

}  // namespace ndisfilter
