// The copies of our INF that the platform keeps in its INF store
// (<Windows>\inf\oem<N>.inf, any N), for the hosts that ship with the
// library: finding every one, and removing each through the platform's own
// SetupUninstallOEMInfW.
//
// The library's purge looks at oem0.inf .. oem49.inf only and deletes the
// first marked copy directly; this module goes further for the hosts. A
// copy counts as ours by the library's own rule (InfHeadHoldsMarker over the
// head as the C runtime's text mode reads it), or, for an INF saved as
// UTF-16 LE with a byte-order mark, by the same rule over its characters.
//
// Nothing here prints: callers format the results.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ndisfilter/setup/product.h"

namespace ndisfilter::infstore {

// What the head of one store entry says.
enum class CopyState {
    Marked,      // a file whose head holds the marker: ours
    Unmarked,    // a file whose head does not: another driver's, never touched
    Unreadable,  // a file that could not be read (readError): reported, never removed
    NotAFile,    // a directory or a link (reparse point): never opened, never followed
};

// One oem<N>.inf entry of the INF store.
struct InfStoreCopy {
    std::wstring name;  // as the store spells it, e.g. "oem60.inf"
    std::wstring path;  // <store>\<name>
    CopyState state = CopyState::Unreadable;
    DWORD readError = ERROR_SUCCESS;  // the Win32 error when Unreadable
    bool utf16 = false;               // read as UTF-16 LE (it starts with FF FE)
    bool pnfTwin = false;             // <store>\oem<N>.PNF exists beside it
};

struct InfStoreScan {
    std::wstring store;  // <Windows>\inf
    // ERROR_SUCCESS, or the Win32 error that kept the store from being
    // listed (the Windows directory unknown, the listing refused). An empty
    // store is a success.
    DWORD error = ERROR_SUCCESS;
    // Every entry named exactly oem<digits>.inf (any letter case) directly
    // in the store, in rising order of N. Other names are not looked at.
    std::vector<InfStoreCopy> copies;

    size_t Count(CopyState state) const;
};

// Lists the INF store and reads the head of every oem<N>.inf file in it.
// Changes nothing.
InfStoreScan ScanInfStore();

// What became of one copy in a clean-up.
enum class CleanupOutcome {
    Removed,          // SetupUninstallOEMInfW removed it
    WouldRemove,      // dry run: it would be removed
    Vanished,         // gone before its turn: nothing to remove
    Changed,          // no longer a marked file by its turn: left alone
    Unreadable,       // could not be read (error): left alone
    UninstallFailed,  // SetupUninstallOEMInfW answered FALSE (error)
    StillPresent,     // SetupUninstallOEMInfW answered TRUE, yet the file is there
};

struct CleanupResult {
    InfStoreCopy copy;  // as listed
    CleanupOutcome outcome = CleanupOutcome::UninstallFailed;
    DWORD error = ERROR_SUCCESS;  // Win32 error for Unreadable and UninstallFailed
    // The .PNF twin after this copy's turn: whether one is there (as it is
    // beside an INF that stays), and, after a removal, the error of deleting
    // a twin the platform left when that failed (ERROR_SUCCESS otherwise).
    bool pnfRemains = false;
    DWORD pnfError = ERROR_SUCCESS;
};

// True for the outcomes where nothing of ours is left at that name.
bool IsGone(CleanupOutcome outcome);

struct CleanupReport {
    bool dryRun = false;
    InfStoreScan before;  // the listing the clean-up worked from
    // One result per copy that was Marked or Unreadable in `before`, in its
    // order. Unmarked copies and other entries are not touched and have none.
    std::vector<CleanupResult> results;
    // A listing after the work (for a dry run: `before` again).
    InfStoreScan after;

    // Success: the store could be listed, and no marked copy remains. An
    // unreadable copy may or may not be ours; callers that must know can
    // look at after.Count(CopyState::Unreadable).
    bool Clean() const;
};

// Removes every marked copy: each is read again just before its turn (a
// copy that vanished or changed is reported and left alone), then
// SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, NULL), then its .PNF twin is
// deleted if the platform left one. A failure is reported with its error
// and the others go on. A dry run lists and reads only.
CleanupReport CleanupInfStore(bool dryRun);

// Works through the given listing (from ScanInfStore) instead of a fresh
// one, for callers that show the listing before they act on it.
CleanupReport CleanupInfStore(const InfStoreScan &listing, bool dryRun);

// --- The rules, for the callers' tests and messages ---------------------------

// True for exactly "oem" + one or more digits 0-9 + ".inf", any letter case.
bool IsOemInfName(const std::wstring &name);

// Whether a head of up to `size` raw bytes (the start of a file) carries the
// marker: narrow text as the C runtime's text mode reads it (CR LF read as
// LF, 0x1A ends the text), or UTF-16 LE after a byte-order mark FF FE, each
// up to the library's head size less its terminator, then
// ndisfilter::InfHeadHoldsMarker.
bool RawHeadHoldsMarker(const unsigned char *bytes, size_t size, bool *utf16);

// Raw bytes worth reading from the start of a file for RawHeadHoldsMarker:
// enough for a head of CR LF pairs in UTF-16.
constexpr size_t kRawHeadBytes = 2 + 4 * (kInfHeadSize - 1);

const wchar_t *CopyStateName(CopyState state);              // "marked", "unmarked", ...
const wchar_t *CleanupOutcomeName(CleanupOutcome outcome);  // "removed", "vanished", ...

// One line for what happened to a copy, as the hosts print and log it:
// "oem60.inf: removed", "oem7.inf: could not be read, left alone (error 5)".
std::wstring DescribeCleanupResult(const CleanupResult &result);
// "the INF store C:\Windows\inf could not be listed (error 3)"
std::wstring DescribeListingError(const InfStoreScan &scan);

}  // namespace ndisfilter::infstore
