// The deferred actions' note of a restart for ScheduleRestart: a DWORD value
// named by the product code under HKLM\SOFTWARE\ndisfilter. The deferred
// actions run as LocalSystem in the installer's service, the immediate ones
// in the installing user's session: the registry is what both see (a global
// atom belongs to one window station and is not found from the other).
// Always the 64-bit view (KEY_WOW64_64KEY, which 32-bit Windows ignores), so
// that the x86 and the x64 actions agree on one place whatever process they
// are loaded in.
#pragma once

#include <windows.h>

#include <string>

namespace ndisfilter::ca {

constexpr const wchar_t *kRestartNoteKey = L"SOFTWARE\\ndisfilter";

// Leaves the note of `productCode`; ERROR_SUCCESS or the registry's error.
DWORD WriteRestartNote(const std::wstring &productCode);

// Reads and removes the note of `productCode` (and the key with the last
// note): whether there was one, and ERROR_SUCCESS or the error that kept it
// from being read or removed (a note found but not removed answers true with
// that error: a process that may read HKLM\SOFTWARE but not change it).
bool TakeRestartNote(const std::wstring &productCode, DWORD &error);

}  // namespace ndisfilter::ca
