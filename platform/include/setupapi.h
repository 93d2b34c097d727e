// Host platform layer: setup services.
#pragma once

#include <windows.h>

#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI SetupCopyOEMInfW(PCWSTR sourceInfFileName, PCWSTR oemSourceMediaLocation,
                             DWORD oemSourceMediaType, DWORD copyStyle,
                             PWSTR destinationInfFileName, DWORD destinationInfFileNameSize,
                             PDWORD requiredSize, PWSTR *destinationInfFileNameComponent);

#ifdef __cplusplus
}
#endif
