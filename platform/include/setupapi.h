// Host platform layer: setup services.
#pragma once

#include <windows.h>

#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2

#define SUOI_FORCEDELETE 0x00000001

#define APPLICATION_ERROR_MASK 0x20000000u
#define ERROR_SEVERITY_ERROR 0xC0000000u
#define ERROR_NOT_AN_INSTALLED_OEM_INF (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x23C)
#define ERROR_INF_IN_USE_BY_DEVICES (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x23D)

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI SetupCopyOEMInfW(PCWSTR sourceInfFileName, PCWSTR oemSourceMediaLocation,
                             DWORD oemSourceMediaType, DWORD copyStyle,
                             PWSTR destinationInfFileName, DWORD destinationInfFileNameSize,
                             PDWORD requiredSize, PWSTR *destinationInfFileNameComponent);

// Removes a published INF (a name, without path, of an oem<N>.inf in the INF
// store) and its .PNF. Refuses any other name with
// ERROR_NOT_AN_INSTALLED_OEM_INF and, without SUOI_FORCEDELETE, an INF that
// names an installed component with ERROR_INF_IN_USE_BY_DEVICES.
BOOL WINAPI SetupUninstallOEMInfW(PCWSTR infFileName, DWORD flags, PVOID reserved);

#ifdef __cplusplus
}
#endif
