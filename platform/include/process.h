// Host platform layer: the C runtime's thread start and end.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned (*_beginthreadex_proc_type)(void *);
uintptr_t _beginthreadex(void *security, unsigned stackSize, _beginthreadex_proc_type start,
                         void *argument, unsigned initFlag, unsigned *threadId);
__attribute__((noreturn)) void _endthreadex(unsigned exitCode);

#ifdef __cplusplus
}
#endif
