#include "tools/common/inf_store.h"

#include <windows.h>
#include <setupapi.h>

#include <limits.h>

#include <algorithm>

#include "ndisfilter/setup/oem_inf_purge.h"

namespace ndisfilter::infstore {
namespace {

constexpr DWORD kNotAFileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// oem<digits>.inf
constexpr size_t kPrefixLength = 3;  // "oem"
constexpr size_t kSuffixLength = 4;  // ".inf"
// The text as the C runtime's text mode reads it ends at this character.
constexpr unsigned kEndOfText = 0x1A;

wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

bool StartsNoCase(const std::wstring &text, size_t at, const wchar_t *lowerAscii) {
    for (size_t i = 0; lowerAscii[i]; ++i)
        if (at + i >= text.size() || LowerAscii(text[at + i]) != lowerAscii[i]) return false;
    return true;
}

// The digits of an oem<digits>.inf name without leading zeros, for ordering.
std::wstring SignificantDigits(const std::wstring &name) {
    std::wstring digits = name.substr(kPrefixLength, name.size() - kPrefixLength - kSuffixLength);
    const size_t first = digits.find_first_not_of(L'0');
    return first == std::wstring::npos ? L"0" : digits.substr(first);
}

bool ComesBefore(const InfStoreCopy &a, const InfStoreCopy &b) {
    const std::wstring da = SignificantDigits(a.name), db = SignificantDigits(b.name);
    if (da.size() != db.size()) return da.size() < db.size();
    if (da != db) return da < db;
    return a.name < b.name;  // oem7.inf before oem07.inf
}

// <Windows>\inf, from the system's Windows directory (the INF store is the
// system's, whatever a per-user Windows directory may say).
std::wstring StoreDirectory(DWORD *error) {
    std::wstring dir(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemWindowsDirectoryW(dir.data(), static_cast<UINT>(dir.size()));
        if (length == 0) {
            *error = GetLastError();
            if (*error == ERROR_SUCCESS) *error = ERROR_PATH_NOT_FOUND;
            return {};
        }
        if (length < dir.size()) {
            dir.resize(length);
            break;
        }
        dir.assign(length + 1, L'\0');  // the size needed, terminator included
    }
    if (dir.back() != L'\\') dir += L'\\';
    return dir + L"inf";
}

// A name is present unless the platform says it is not found.
bool Present(const std::wstring &path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

std::wstring PnfTwinOf(const std::wstring &infPath) {
    return infPath.substr(0, infPath.size() - kSuffixLength) + L".PNF";
}

bool HasPnfTwin(const std::wstring &infPath) {
    const DWORD attributes = GetFileAttributesW(PnfTwinOf(infPath).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & kNotAFileAttributes);
}

// Reads the head of a file, never following a link, and says whether it
// is ours.
void ReadHead(InfStoreCopy &copy) {
    const HANDLE file = CreateFileW(copy.path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // cppcheck-suppress cstyleCast ; INVALID_HANDLE_VALUE's own cast
    if (file == INVALID_HANDLE_VALUE) {  // NOLINT(cppcoreguidelines-pro-type-cstyle-cast): as above
        copy.state = CopyState::Unreadable;
        copy.readError = GetLastError();
        return;
    }
    unsigned char raw[kRawHeadBytes];
    size_t size = 0;
    while (size < sizeof raw) {
        DWORD got = 0;
        if (!ReadFile(file, raw + size, static_cast<DWORD>(sizeof raw - size), &got, nullptr)) {
            copy.state = CopyState::Unreadable;
            copy.readError = GetLastError();
            CloseHandle(file);
            return;
        }
        if (got == 0) break;
        size += got;
    }
    CloseHandle(file);
    copy.readError = ERROR_SUCCESS;
    copy.state =
        RawHeadHoldsMarker(raw, size, &copy.utf16) ? CopyState::Marked : CopyState::Unmarked;
}

InfStoreCopy Examine(const std::wstring &store, const WIN32_FIND_DATAW &entry) {
    InfStoreCopy copy;
    copy.name = entry.cFileName;
    copy.path = store + L"\\" + copy.name;
    if (entry.dwFileAttributes & kNotAFileAttributes)
        copy.state = CopyState::NotAFile;
    else
        ReadHead(copy);
    copy.pnfTwin = HasPnfTwin(copy.path);
    return copy;
}

// One marked copy's turn: look again, then remove.
CleanupResult CleanUp(const InfStoreCopy &listed, bool dryRun) {
    CleanupResult result;
    result.copy = listed;

    const DWORD attributes = GetFileAttributesW(listed.path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            result.outcome = CleanupOutcome::Vanished;
        } else {
            result.outcome = CleanupOutcome::Unreadable;
            result.error = error;
        }
        result.pnfRemains = HasPnfTwin(listed.path);
        return result;
    }
    InfStoreCopy now = listed;
    if (attributes & kNotAFileAttributes)
        now.state = CopyState::NotAFile;
    else
        ReadHead(now);
    result.pnfRemains = HasPnfTwin(listed.path);
    if (now.state == CopyState::Unreadable) {
        result.outcome = CleanupOutcome::Unreadable;
        result.error = now.readError;
        return result;
    }
    if (now.state != CopyState::Marked) {
        result.outcome = CleanupOutcome::Changed;
        return result;
    }
    if (dryRun) {
        result.outcome = CleanupOutcome::WouldRemove;
        return result;
    }

    if (!SetupUninstallOEMInfW(listed.name.c_str(), SUOI_FORCEDELETE, nullptr)) {
        const DWORD error = GetLastError();
        if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_NOT_AN_INSTALLED_OEM_INF) &&
            !Present(listed.path)) {
            result.outcome = CleanupOutcome::Vanished;
        } else {
            result.outcome = CleanupOutcome::UninstallFailed;
            result.error = error;
        }
        result.pnfRemains = HasPnfTwin(listed.path);
        return result;
    }
    if (Present(listed.path)) {
        result.outcome = CleanupOutcome::StillPresent;
        result.pnfRemains = HasPnfTwin(listed.path);
        return result;
    }
    result.outcome = CleanupOutcome::Removed;
    if (HasPnfTwin(listed.path)) {
        const std::wstring pnf = PnfTwinOf(listed.path);
        if (!DeleteFileW(pnf.c_str())) result.pnfError = GetLastError();
    }
    result.pnfRemains = HasPnfTwin(listed.path);
    return result;
}

}  // namespace

size_t InfStoreScan::Count(CopyState state) const {
    return static_cast<size_t>(std::count_if(
        copies.begin(), copies.end(), [&](const InfStoreCopy &c) { return c.state == state; }));
}

bool IsOemInfName(const std::wstring &name) {
    if (name.size() <= kPrefixLength + kSuffixLength || !StartsNoCase(name, 0, L"oem"))
        return false;
    const size_t dot = name.size() - kSuffixLength;
    if (!StartsNoCase(name, dot, L".inf")) return false;
    for (size_t i = kPrefixLength; i < dot; ++i)
        if (name[i] < L'0' || name[i] > L'9') return false;
    return true;
}

bool RawHeadHoldsMarker(const unsigned char *bytes, size_t size, bool *utf16) {
    char head[kInfHeadSize] = {};
    size_t used = 0;
    const bool wide = size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (utf16) *utf16 = wide;
    const size_t step = wide ? 2 : 1;
    auto at = [&](size_t i) -> unsigned {
        return wide ? bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << CHAR_BIT) : bytes[i];
    };
    // As the C runtime's text mode reads: CR LF arrives as LF, a lone CR
    // stays, 0x1A ends the text. A zero ends what the marker is looked for
    // in (InfHeadHoldsMarker reads the head as a C string).
    for (size_t i = wide ? 2 : 0; i + step <= size && used < kInfHeadSize - 1; i += step) {
        const unsigned c = at(i);
        if (c == kEndOfText) break;
        if (c == '\r' && i + 2 * step <= size && at(i + step) == '\n') continue;
        head[used++] = c <= SCHAR_MAX ? static_cast<char>(c) : '?';  // ASCII (0 to 0x7F) as is
    }
    return InfHeadHoldsMarker(head);
}

InfStoreScan ScanInfStore() {
    InfStoreScan scan;
    scan.store = StoreDirectory(&scan.error);
    if (scan.error != ERROR_SUCCESS) return scan;

    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((scan.store + L"\\oem*.inf").c_str(), &entry);
    // cppcheck-suppress cstyleCast ; INVALID_HANDLE_VALUE's own cast
    if (find == INVALID_HANDLE_VALUE) {  // NOLINT(cppcoreguidelines-pro-type-cstyle-cast): as above
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) scan.error = error;
        return scan;
    }
    // The pattern also matches names such as oem1.infx through their short
    // names; only exact oem<digits>.inf names count.
    for (;;) {
        if (IsOemInfName(entry.cFileName)) scan.copies.push_back(Examine(scan.store, entry));
        if (!FindNextFileW(find, &entry)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) scan.error = error;  // a partial listing
            break;
        }
    }
    FindClose(find);
    std::sort(scan.copies.begin(), scan.copies.end(), ComesBefore);
    return scan;
}

bool IsGone(CleanupOutcome outcome) {
    return outcome == CleanupOutcome::Removed || outcome == CleanupOutcome::Vanished;
}

bool CleanupReport::Clean() const {
    return before.error == ERROR_SUCCESS && after.error == ERROR_SUCCESS &&
           after.Count(CopyState::Marked) == 0;
}

CleanupReport CleanupInfStore(bool dryRun) { return CleanupInfStore(ScanInfStore(), dryRun); }

CleanupReport CleanupInfStore(const InfStoreScan &listing, bool dryRun) {
    CleanupReport report;
    report.dryRun = dryRun;
    report.before = listing;
    for (const InfStoreCopy &copy : listing.copies) {
        if (copy.state == CopyState::Marked) {
            report.results.push_back(CleanUp(copy, dryRun));
        } else if (copy.state == CopyState::Unreadable) {
            CleanupResult result;
            result.copy = copy;
            result.outcome = CleanupOutcome::Unreadable;
            result.error = copy.readError;
            result.pnfRemains = copy.pnfTwin;
            report.results.push_back(result);
        }
    }
    report.after = dryRun ? listing : ScanInfStore();
    return report;
}

const wchar_t *CopyStateName(CopyState state) {
    switch (state) {
        case CopyState::Marked:
            return L"marked";
        case CopyState::Unmarked:
            return L"unmarked";
        case CopyState::Unreadable:
            return L"unreadable";
        case CopyState::NotAFile:
            return L"not a file";
    }
    return L"?";
}

const wchar_t *CleanupOutcomeName(CleanupOutcome outcome) {
    switch (outcome) {
        case CleanupOutcome::Removed:
            return L"removed";
        case CleanupOutcome::WouldRemove:
            return L"would be removed";
        case CleanupOutcome::Vanished:
            return L"vanished before its removal";
        case CleanupOutcome::Changed:
            return L"changed before its removal, left alone";
        case CleanupOutcome::Unreadable:
            return L"could not be read, left alone";
        case CleanupOutcome::UninstallFailed:
            return L"SetupUninstallOEMInfW failed";
        case CleanupOutcome::StillPresent:
            return L"still present after SetupUninstallOEMInfW";
    }
    return L"?";
}

std::wstring DescribeCleanupResult(const CleanupResult &result) {
    std::wstring line = result.copy.name + L": " + CleanupOutcomeName(result.outcome);
    if (result.error != ERROR_SUCCESS) line += L" (error " + std::to_wstring(result.error) + L")";
    if (result.outcome == CleanupOutcome::Removed && result.pnfRemains)
        line += L"; its .PNF remains" + (result.pnfError != ERROR_SUCCESS
                                             ? L" (error " + std::to_wstring(result.pnfError) + L")"
                                             : std::wstring());
    return line;
}

std::wstring DescribeListingError(const InfStoreScan &scan) {
    return L"the INF store" + (scan.store.empty() ? std::wstring() : L" " + scan.store) +
           L" could not be listed (error " + std::to_wstring(scan.error) + L")";
}

}  // namespace ndisfilter::infstore
