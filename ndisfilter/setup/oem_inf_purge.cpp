#include "oem_inf_purge.h"

#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

#include "bounded_text.h"

namespace ndisfilter {
namespace {

constexpr const char *kOemInfPattern = "inf\\oem%d.inf";

// Reads up to kInfHeadSize bytes of the file in the runtime's text mode; a
// file that cannot be opened leaves the head empty.
void ReadInfHead(const char *name, char (&head)[kInfHeadSize]) {
    memset(head, 0, sizeof head);
    FILE *file = nullptr;
    if (fopen_s(&file, name, "r") != 0 || !file) return;
    fread(head, 1, sizeof head, file);
    fclose(file);
}

// SetupUninstallOEMInfW takes the copy by its name in the store, without a
// path ("oem7.inf"; the SetupUninstallOEMInfW page). The names this purge
// builds end in ASCII "oem<N>.inf", which widens character by character.
constexpr size_t kStoreNameCapacity = 16;

// Removes the copy the way the platform published it: on Windows the name
// belongs to a package in the driver store, which only SetupUninstallOEMInfW
// takes out (with its .PNF and catalog; forced, the component being gone).
// A plain delete then removes what is left: the .PNF where the platform
// keeps it (Wine does), and the copy itself when the call failed.
void RemoveCopy(char (&name)[MAX_PATH]) {
    const char *slash = strrchr(name, '\\');  // the pattern holds one
    const char *fileName = slash ? slash + 1 : name;
    WCHAR storeName[kStoreNameCapacity] = {};
    const size_t length = strlen(fileName);
    for (size_t i = 0; i < length && i < kStoreNameCapacity; ++i)
        storeName[i] = static_cast<unsigned char>(fileName[i]);
    if (length >= kStoreNameCapacity ||
        !SetupUninstallOEMInfW(storeName, SUOI_FORCEDELETE, nullptr))
        DeleteFileA(name);  // the twin goes even when this fails
    char *dot = strrchr(name, '.');
    if (!dot) return;
    *dot = '\0';
    if (BoundedAppendA(name, MAX_PATH, ".PNF") == S_OK) DeleteFileA(name);
}

}  // namespace

bool InfHeadHoldsMarker(char (&head)[kInfHeadSize]) {
    head[kInfHeadSize - 1] = '\0';
    return strstr(head, kInfMarker) != nullptr;
}

void PurgeOemInfCopies() {
    // pattern = <Windows directory>[\]inf\oem%d.inf. Only the literal tail is
    // ever used as a format, so a '%' in the directory stays plain text.
    char pattern[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(pattern, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;  // failed, or does not fit
    if (pattern[length - 1] != '\\' && BoundedAppendA(pattern, MAX_PATH, "\\") != S_OK) return;
    const size_t prefixLength = strlen(pattern);
    if (BoundedAppendA(pattern, MAX_PATH, kOemInfPattern) != S_OK) return;

    for (int n = 0; n < kOemInfScanLimit; ++n) {
        char name[MAX_PATH];
        // The prefix only; BoundedFormatA writes the rest and the terminator.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        memcpy(name, pattern, prefixLength);
        if (BoundedFormatA(name + prefixLength, MAX_PATH - prefixLength, kOemInfPattern, n) != S_OK)
            return;

        char head[kInfHeadSize];
        ReadInfHead(name, head);
        if (InfHeadHoldsMarker(head)) {
            RemoveCopy(name);
            return;
        }
    }
}

}  // namespace ndisfilter
