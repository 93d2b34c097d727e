// The hosts' INF store module (tools/common/inf_store.h) under Wine, against
// Wine's own SetupUninstallOEMInfW and files in the prefix's C:\windows\inf:
// ours at oem60 (oem0..59 need not be free), two versions of ours, one in
// UTF-16, another driver's INF, names that only look like copies, a
// subdirectory, a copy locked against deletion and a read-only one.
// Exit code 0 when every check holds.
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "common/win_files.h"
#include "tools/common/inf_store.h"
#include "tools/common/wide_text.h"

using namespace ndisfilter::infstore;

namespace {

int g_passes = 0;
int g_failures = 0;

void Check(bool ok, const std::string &what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? g_passes : g_failures);
}

std::string N(const std::wstring &text) { return ndisfilter::text::Narrow(text); }

const std::string kOurs = "; DorvaneV.INF\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const std::string kTheirs = "; other.inf\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";

std::string Utf16(const std::string &ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
}

std::wstring g_store;
std::wstring At(const wchar_t *name) { return g_store + L"\\" + name; }

bool Exists(const wchar_t *name) {
    return GetFileAttributesW(At(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

const wchar_t *const kOurNames[] = {L"oem60.inf", L"oem61.inf", L"oem62.inf", L"oem64.inf"};
const wchar_t *const kLeftAlone[] = {L"oem63.inf",  L"oem63.PNF", L"oem65.inf.bak",
                                     L"xoem66.inf", L"oemA.inf",  L"oem67.inf"};

// Removes what this program puts in the store (an earlier run may have
// stopped half way).
void Tidy() {
    for (int n = 60; n <= 70; ++n) {
        for (const wchar_t *ext : {L".inf", L".PNF"}) {
            const std::wstring path = g_store + L"\\oem" + std::to_wstring(n) + ext;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    DeleteFileW(At(L"oem67.inf\\oem0.inf").c_str());
    RemoveDirectoryW(At(L"oem67.inf").c_str());
    for (const wchar_t *name : {L"oem65.inf.bak", L"xoem66.inf", L"oemA.inf"})
        DeleteFileW(At(name).c_str());
}

bool Put(const wchar_t *name, const std::string &bytes, bool pnf = true) {
    bool ok = winetest::WriteBytes(At(name), bytes);
    if (pnf) {
        std::wstring twin = name;
        twin.replace(twin.size() - 4, 4, L".PNF");
        ok = winetest::WriteBytes(At(twin.c_str()), "precompiled") && ok;
    }
    return ok;
}

const CleanupResult *ResultFor(const CleanupReport &report, const wchar_t *name) {
    for (const CleanupResult &result : report.results)
        if (_wcsicmp(result.copy.name.c_str(), name) == 0) return &result;
    return nullptr;
}

// What Wine's SetupUninstallOEMInfW does, printed for the record: the
// module is written for the platform's behaviour and checked here against
// Wine's.
void DescribeWinesRemoval() {
    SetLastError(0);
    BOOL ok = SetupUninstallOEMInfW(nullptr, SUOI_FORCEDELETE, nullptr);
    printf("note: SetupUninstallOEMInfW(NULL) -> %d, error %lu\n", ok, GetLastError());
    SetLastError(0);
    ok = SetupUninstallOEMInfW(L"oem69.inf", SUOI_FORCEDELETE, nullptr);
    printf("note: SetupUninstallOEMInfW(absent oem69.inf) -> %d, error %lu\n", ok, GetLastError());
    Put(L"oem69.inf", kTheirs);
    SetLastError(0);
    ok = SetupUninstallOEMInfW(L"oem69.inf", 0, nullptr);
    printf("note: without SUOI_FORCEDELETE -> %d, error %lu, INF %s\n", ok, GetLastError(),
           Exists(L"oem69.inf") ? "kept" : "removed");
    ok = SetupUninstallOEMInfW(L"oem69.inf", SUOI_FORCEDELETE, nullptr);
    printf("note: with SUOI_FORCEDELETE -> %d, INF %s, .PNF %s\n", ok,
           Exists(L"oem69.inf") ? "kept" : "removed", Exists(L"oem69.PNF") ? "kept" : "removed");
}

}  // namespace

int main() {
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        printf("FAIL: no Windows directory\n");
        return 1;
    }
    g_store = std::wstring(windows) + L"\\inf";
    CreateDirectoryW(g_store.c_str(), nullptr);
    Tidy();
    DescribeWinesRemoval();
    Tidy();

    bool placed = Put(L"oem60.inf", kOurs) && Put(L"oem61.inf", kOurs + "; version 1\r\n") &&
                  Put(L"oem62.inf", kOurs + "; version 2\r\n") && Put(L"oem63.inf", kTheirs) &&
                  Put(L"oem64.inf", Utf16(kOurs), false) && Put(L"oem65.inf.bak", kOurs, false) &&
                  Put(L"xoem66.inf", kOurs, false) && Put(L"oemA.inf", kOurs, false) &&
                  CreateDirectoryW(At(L"oem67.inf").c_str(), nullptr) &&
                  winetest::WriteBytes(At(L"oem67.inf\\oem0.inf"), kOurs);
    Check(placed, "INF files placed in " + N(g_store));

    // The listing.
    const InfStoreScan scan = ScanInfStore();
    Check(scan.error == ERROR_SUCCESS, "store listed, error " + std::to_string(scan.error));
    for (const wchar_t *name : kOurNames) {
        const InfStoreCopy *copy = nullptr;
        for (const InfStoreCopy &c : scan.copies)
            if (c.name == name) copy = &c;
        Check(copy && copy->state == CopyState::Marked, N(name) + " listed as ours");
    }
    for (const InfStoreCopy &c : scan.copies) {
        if (c.name == L"oem63.inf") Check(c.state == CopyState::Unmarked, "oem63.inf not ours");
        if (c.name == L"oem67.inf") Check(c.state == CopyState::NotAFile, "oem67.inf not a file");
        if (c.name == L"oem64.inf") Check(c.utf16, "oem64.inf read as UTF-16");
        if (c.name == L"oem60.inf") Check(c.pnfTwin, "oem60.inf has its .PNF twin");
        Check(IsOemInfName(c.name), N(c.name) + " is an oem<N>.inf name");
    }

    // A dry run changes nothing.
    std::vector<std::string> bytes;
    for (const wchar_t *name : kOurNames) bytes.push_back(winetest::ReadBytes(At(name)));
    const CleanupReport dry = CleanupInfStore(true);
    for (const wchar_t *name : kOurNames) {
        const CleanupResult *result = ResultFor(dry, name);
        Check(result && result->outcome == CleanupOutcome::WouldRemove,
              "dry run: " + N(name) + " would be removed");
    }
    for (size_t i = 0; i < bytes.size(); ++i)
        Check(winetest::ReadBytes(At(kOurNames[i])) == bytes[i],
              "dry run: " + N(kOurNames[i]) + " unchanged");

    // One copy locked against deletion, one read-only: reported with their
    // errors, and the others go.
    Put(L"oem68.inf", kOurs);
    Put(L"oem70.inf", kOurs);
    SetFileAttributesW(At(L"oem70.inf").c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE holder = CreateFileW(At(L"oem68.inf").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    Check(holder != INVALID_HANDLE_VALUE, "oem68.inf held open without delete sharing");
    const CleanupReport first = CleanupInfStore(false);
    for (const wchar_t *name : kOurNames) {
        const CleanupResult *result = ResultFor(first, name);
        Check(result && result->outcome == CleanupOutcome::Removed && !result->pnfRemains,
              N(name) + ": " + (result ? N(CleanupOutcomeName(result->outcome)) : "no result") +
                  ", .PNF " + (result && result->pnfRemains ? "remains" : "gone"));
        Check(!Exists(name), N(name) + " gone from the store");
    }
    for (const wchar_t *name : {L"oem68.inf", L"oem70.inf"}) {
        const CleanupResult *result = ResultFor(first, name);
        Check(result && result->outcome == CleanupOutcome::UninstallFailed && result->error != 0,
              N(name) + ": " + (result ? N(CleanupOutcomeName(result->outcome)) : "no result") +
                  ", error " + std::to_string(result ? result->error : 0));
        Check(Exists(name), N(name) + " still there");
    }
    Check(!first.Clean(), "not clean while a marked copy remains");
    for (const wchar_t *name : kLeftAlone) Check(Exists(name), N(name) + " left alone");
    Check(Exists(L"oem67.inf\\oem0.inf"), "the file in the subdirectory left alone");

    // Released: the next clean-up removes them and is clean.
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    SetFileAttributesW(At(L"oem70.inf").c_str(), FILE_ATTRIBUTE_NORMAL);
    const CleanupReport second = CleanupInfStore(false);
    Check(second.Clean(), "clean once released: no marked copy remains");
    for (const wchar_t *name : {L"oem68.inf", L"oem70.inf"})
        Check(!Exists(name), N(name) + " gone");
    for (const wchar_t *name : kLeftAlone) Check(Exists(name), N(name) + " still left alone");

    Tidy();
    printf("%d passed, %d failed\n", g_passes, g_failures);
    return g_failures ? 1 : 0;
}
