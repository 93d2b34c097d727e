// Host platform layer: the C library's stdio plus the Windows runtime's
// fopen_s, whose text mode ("r" without "b") reads files as the Windows C
// runtime does: CR LF arrives as LF, and a 0x1A byte ends the file.
#pragma once

#include_next <stdio.h>

#ifndef _ERRNO_T_DEFINED
#define _ERRNO_T_DEFINED
typedef int errno_t;
#endif

#ifdef __cplusplus
extern "C" {
#endif

errno_t fopen_s(FILE **file, const char *name, const char *mode);

#ifdef __cplusplus
}
#endif
