// Host platform layer: the C library's stdlib plus the Windows runtime's
// _wsplitpath_s.
#pragma once

#include_next <stdlib.h>
#include <wchar.h>

#ifndef _ERRNO_T_DEFINED
#define _ERRNO_T_DEFINED
typedef int errno_t;
#endif

#ifdef __cplusplus
extern "C" {
#endif

errno_t _wsplitpath_s(const wchar_t *path, wchar_t *drive, size_t driveCapacity, wchar_t *dir,
                      size_t dirCapacity, wchar_t *fname, size_t fnameCapacity, wchar_t *ext,
                      size_t extCapacity);

#ifdef __cplusplus
}
#endif
