// The hosts' INF store module: which entries it looks at, which it counts
// as ours (the library's rule, and UTF-16), and what its clean-up removes,
// reports and leaves alone when files are locked, read-only, vanish or
// change, or the platform's removal fails.
#include "sim_fixture.h"

#include <setupapi.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "setup/oem_inf_purge.h"
#include "tools/common/inf_store.h"

using namespace ndisfilter::infstore;
using ndisfilter::text::Narrow;
using sim::Answer;
using sim::Call;

namespace {

namespace fs = std::filesystem;

const std::string kStore = "C:\\WINDOWS\\inf";
const std::string kOurs = "; DorvaneV.INF\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const std::string kTheirs = "; other.inf\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";

std::string InStore(const std::string &name) { return kStore + "\\" + name; }
std::wstring W(const std::string &text) { return ndisfilter::text::Widen(text); }

std::string Utf16(const std::string &ascii, bool byteOrderMark = true) {
    std::string bytes = byteOrderMark ? "\xFF\xFE" : "";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
}

// A head whose marker starts at character `position` of the text as read.
std::string MarkerAt(size_t position, const std::string &filler = ";") {
    std::string text;
    while (text.size() < position) text += filler;
    return text.substr(0, position) + "DorvaneV.INF\r\n" + std::string(300, ';');
}

std::string CrLfThenMarkerAt(size_t position) {  // each ";\r\n" reads as two characters
    std::string bytes;
    for (size_t i = 0; i + 2 <= position; i += 2) bytes += ";\r\n";
    if (position % 2) bytes += ";";
    return bytes + "DorvaneV.INF\r\n";
}

const InfStoreCopy *Find(const InfStoreScan &scan, const std::wstring &name) {
    for (const InfStoreCopy &copy : scan.copies)
        if (copy.name == name) return &copy;
    return nullptr;
}

std::vector<std::wstring> Names(const InfStoreScan &scan, std::optional<CopyState> only = {}) {
    std::vector<std::wstring> names;
    for (const InfStoreCopy &copy : scan.copies)
        if (!only || copy.state == *only) names.push_back(copy.name);
    return names;
}

const CleanupResult *ResultFor(const CleanupReport &report, const std::wstring &name) {
    for (const CleanupResult &result : report.results)
        if (result.copy.name == name) return &result;
    return nullptr;
}

class InfStoreTest : public SimMachineTest {
protected:
    // A fresh machine on the emptied root folder, for one row of a table.
    void FreshMachine() {
        for (const auto &entry : fs::directory_iterator(Root())) fs::remove_all(entry.path());
        sim::Reset(Root());
    }

    static void PutCopy(const std::string &name, const std::string &bytes, bool pnf = true) {
        WriteFileAt(InStore(name), bytes);
        if (pnf) WriteFileAt(InStore(name.substr(0, name.size() - 4) + ".PNF"), "precompiled");
    }

    // The bytes of every file under the machine's root, for "changes nothing".
    std::map<std::string, std::string> Everything() const {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::recursive_directory_iterator(Root())) {
            if (entry.is_symlink()) {
                files[entry.path().string()] = "-> " + fs::read_symlink(entry.path()).string();
            } else if (entry.is_regular_file()) {
                std::ifstream in(entry.path(), std::ios::binary);
                std::ostringstream bytes;
                bytes << in.rdbuf();
                files[entry.path().string()] = bytes.str();
            } else {
                files[entry.path().string()] = "<dir>";
            }
        }
        return files;
    }
};

TEST_F(InfStoreTest, NamesAreExactlyOemDigitsInfInAnyCase) {
    struct Case {
        const char *name;
        bool counts;
    };
    const Case cases[] = {
        {"oem0.inf", true},      {"OEM12.INF", true},  {"Oem60.Inf", true},  {"oem007.inf", true},
        {"oem1.inf.bak", false}, {"xoem1.inf", false}, {"oem.inf", false},   {"oemA.inf", false},
        {"oem1a.inf", false},    {"oem-1.inf", false}, {"oem 1.inf", false}, {"oem1.infx", false},
        {"oem1.pnf", false},     {"oem1.in", false},   {"oem1inf", false},   {"oem1.inf ", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.counts, IsOemInfName(W(c.name)));
        PutCopy(c.name, kOurs, false);
    }
    // Every one holds the marker; only the exact names are listed, and a
    // clean-up removes those and nothing else.
    const InfStoreScan scan = ScanInfStore();
    EXPECT_EQ(ERROR_SUCCESS, scan.error);
    EXPECT_EQ((std::vector<std::wstring>{L"oem0.inf", L"oem007.inf", L"OEM12.INF", L"Oem60.Inf"}),
              Names(scan));
    const CleanupReport report = CleanupInfStore(false);
    EXPECT_TRUE(report.Clean());
    for (const Case &c : cases) EXPECT_EQ(!c.counts, FileExistsAt(InStore(c.name))) << c.name;
    EXPECT_EQ(0, sim::OpenFileHandles());
}

TEST_F(InfStoreTest, MarkerRuleIsTheLibrarysAndAlsoReadsUtf16) {
    struct Case {
        const char *what;
        std::string bytes;
        bool ours;
        bool utf16;
    };
    const Case cases[] = {
        {"at 243", MarkerAt(243), true, false},
        {"at 244: its last character is beyond 255", MarkerAt(244), false, false},
        {"at 243 as read after CR LF pairs", CrLfThenMarkerAt(243), true, false},
        {"at 244 as read after CR LF pairs", CrLfThenMarkerAt(244), false, false},
        {"lone CRs count", MarkerAt(244, "\r"), false, false},
        {"0x1A before it", "; end\x1A; DorvaneV.INF\r\n", false, false},
        {"0x1A after it", "; DorvaneV.INF\x1A; more\r\n", true, false},
        {"zero byte before it", std::string("; x\0; DorvaneV.INF\r\n", 20), false, false},
        {"other letter case", "; dorvanev.inf\r\n", false, false},
        {"UTF-8 with its byte order mark", "\xEF\xBB\xBF; DorvaneV.INF\r\n", true, false},
        {"empty", "", false, false},
        {"another driver's", kTheirs, false, false},
        {"UTF-16 LE", Utf16(kOurs), true, true},
        {"UTF-16 LE at 243", Utf16(MarkerAt(243)), true, true},
        {"UTF-16 LE at 244", Utf16(MarkerAt(244)), false, true},
        {"UTF-16 LE at 243 after CR LF", Utf16(CrLfThenMarkerAt(243)), true, true},
        {"UTF-16 LE at 244 after CR LF", Utf16(CrLfThenMarkerAt(244)), false, true},
        {"UTF-16 LE without a byte order mark", Utf16(kOurs, false), false, false},
        {"UTF-16 LE, another driver's", Utf16(kTheirs), false, true},
        {"UTF-16 LE, zero before it", Utf16(std::string("; \0 DorvaneV.INF", 16)), false, true},
        {"UTF-16 LE, odd length", Utf16(kOurs) + "\x01", true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        PutCopy("oem3.inf", c.bytes);

        const InfStoreScan scan = ScanInfStore();
        ASSERT_EQ(1u, scan.copies.size());
        EXPECT_EQ(c.ours ? CopyState::Marked : CopyState::Unmarked, scan.copies[0].state);
        EXPECT_EQ(c.utf16, scan.copies[0].utf16);
        bool utf16 = !c.utf16;
        EXPECT_EQ(c.ours,
                  RawHeadHoldsMarker(reinterpret_cast<const unsigned char *>(c.bytes.data()),
                                     c.bytes.size(), &utf16));
        EXPECT_EQ(c.utf16, utf16);

        // The library's purge on the same file: the same answer for narrow
        // text; UTF-16 it cannot match.
        ndisfilter::PurgeOemInfCopies();
        const bool libraryMatched = !FileExistsAt(InStore("oem3.inf"));
        EXPECT_EQ(c.utf16 ? false : c.ours, libraryMatched);
    }
}

TEST_F(InfStoreTest, FindsEveryNumberAndRemovesEveryMarkedVersion) {
    // oem0..59 other drivers', ours at 60; two versions of ours at 61, 100;
    // a UTF-16 copy at 7 (replacing another driver's).
    for (int n = 0; n < 60; ++n) PutCopy("oem" + std::to_string(n) + ".inf", kTheirs);
    PutCopy("oem60.inf", kOurs);
    PutCopy("oem61.inf", kOurs + "; version 2\r\n");
    PutCopy("oem100.inf", kOurs + "; version 3\r\n", false);
    PutCopy("oem7.inf", Utf16(kOurs));

    const InfStoreScan scan = ScanInfStore();
    ASSERT_EQ(63u, scan.copies.size());
    EXPECT_EQ(L"oem0.inf", scan.copies[0].name);
    EXPECT_EQ(L"oem9.inf", scan.copies[9].name);  // numeric order
    EXPECT_EQ(L"oem10.inf", scan.copies[10].name);
    EXPECT_EQ(L"oem100.inf", scan.copies.back().name);
    EXPECT_EQ((std::vector<std::wstring>{L"oem7.inf", L"oem60.inf", L"oem61.inf", L"oem100.inf"}),
              Names(scan, CopyState::Marked));
    EXPECT_EQ(L"C:\\WINDOWS\\inf\\oem60.inf", Find(scan, L"oem60.inf")->path);
    EXPECT_TRUE(Find(scan, L"oem60.inf")->pnfTwin);
    EXPECT_FALSE(Find(scan, L"oem100.inf")->pnfTwin);

    const CleanupReport report = CleanupInfStore(false);
    EXPECT_TRUE(report.Clean());
    ASSERT_EQ(4u, report.results.size());
    for (const CleanupResult &result : report.results) {
        SCOPED_TRACE(Narrow(result.copy.name));
        EXPECT_EQ(CleanupOutcome::Removed, result.outcome);
        EXPECT_EQ(ERROR_SUCCESS, result.error);
        EXPECT_FALSE(result.pnfRemains);
        EXPECT_FALSE(FileExistsAt(Narrow(result.copy.path)));
    }
    std::vector<std::wstring> uninstalled;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call == Call::SetupUninstallOEMInfW) uninstalled.push_back(record.detail);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"oem7.inf 1", L"oem60.inf 1", L"oem61.inf 1", L"oem100.inf 1"}),
        uninstalled);  // by name, SUOI_FORCEDELETE
    EXPECT_EQ(0u, report.after.Count(CopyState::Marked));
    EXPECT_EQ(59u, report.after.copies.size());
    for (int n = 0; n < 60; ++n) {
        if (n == 7) continue;
        EXPECT_TRUE(FileExistsAt(InStore("oem" + std::to_string(n) + ".inf"))) << n;
        EXPECT_TRUE(FileExistsAt(InStore("oem" + std::to_string(n) + ".PNF"))) << n;
    }
    EXPECT_EQ(0, sim::OpenFileHandles());

    // Again: nothing left to do, and a success.
    const CleanupReport again = CleanupInfStore(false);
    EXPECT_TRUE(again.results.empty());
    EXPECT_TRUE(again.Clean());
}

TEST_F(InfStoreTest, DirectoriesAndLinksAreNeverOpenedFollowedOrRemoved) {
    // A marked file outside the store, reached by links named like copies.
    WriteFileAt("C:\\Users\\Test\\ours.inf", kOurs);
    fs::create_directories(sim::HostPath(InStore("oem5.inf")));
    WriteFileAt(InStore("oem5.inf") + "\\oem0.inf", kOurs);  // inside a subdirectory
    ASSERT_EQ(0, symlink(sim::HostPath("C:\\Users\\Test\\ours.inf").c_str(),
                         sim::HostPath(InStore("oem6.inf")).c_str()));
    ASSERT_EQ(0, symlink(sim::HostPath("C:\\Users\\Test").c_str(),
                         sim::HostPath(InStore("oem8.inf")).c_str()));
    PutCopy("oem9.inf", kOurs);
    PutCopy("oem11.inf", kOurs, false);
    fs::create_directories(sim::HostPath(InStore("oem11.PNF")));  // not a twin

    const InfStoreScan scan = ScanInfStore();
    EXPECT_EQ((std::vector<std::wstring>{L"oem5.inf", L"oem6.inf", L"oem8.inf"}),
              Names(scan, CopyState::NotAFile));
    EXPECT_EQ((std::vector<std::wstring>{L"oem9.inf", L"oem11.inf"}),
              Names(scan, CopyState::Marked));
    EXPECT_TRUE(Find(scan, L"oem9.inf")->pnfTwin);
    EXPECT_FALSE(Find(scan, L"oem11.inf")->pnfTwin);
    for (const sim::CallRecord &record : sim::CallLog()) {
        if (record.call == Call::CreateFileW) {
            EXPECT_TRUE(record.detail.find(L"C:\\WINDOWS\\inf\\oem9.inf|") == 0 ||
                        record.detail.find(L"C:\\WINDOWS\\inf\\oem11.inf|") == 0)
                << Narrow(record.detail);
        }
    }

    const auto before = Everything();
    const CleanupReport report = CleanupInfStore(false);
    EXPECT_TRUE(report.Clean());
    ASSERT_EQ(2u, report.results.size());
    EXPECT_EQ(CleanupOutcome::Removed, report.results[0].outcome);
    EXPECT_EQ(CleanupOutcome::Removed, report.results[1].outcome);
    auto after = Everything();
    EXPECT_EQ(3u, before.size() - after.size());  // oem9.inf, its twin, oem11.inf
    for (const auto &[path, bytes] : after) EXPECT_EQ(before.at(path), bytes) << path;
}

// One fault on oem2.inf of three marked copies: what is reported for it,
// and the other two are removed all the same.
TEST_F(InfStoreTest, AFaultOnOneCopyIsReportedAndTheOthersGoOn) {
    struct Case {
        const char *what;
        std::function<void()> before;   // before the listing
        std::function<void()> between;  // after it, before the clean-up
        CleanupOutcome outcome;
        DWORD error;
        bool stays;  // oem2.inf still there
        bool clean;  // no marked copy remains
        bool pnfRemains = false;
        DWORD pnfError = ERROR_SUCCESS;
    };
    const std::string oem2 = InStore("oem2.inf");
    const std::string pnf2 = InStore("oem2.PNF");
    const Case cases[] = {
        {"held open without sharing: cannot be read",
         [&] { sim::HoldFileOpen(oem2); },
         {},
         CleanupOutcome::Unreadable,
         ERROR_SHARING_VIOLATION,
         true,
         true,
         true},
        {"held open sharing reads only: cannot be removed",
         [&] { sim::HoldFileOpen(oem2, FILE_SHARE_READ); },
         {},
         CleanupOutcome::UninstallFailed,
         ERROR_SHARING_VIOLATION,
         true,
         false,
         true},
        {"read-only",
         [&] { sim::SetReadOnly(oem2); },
         {},
         CleanupOutcome::UninstallFailed,
         ERROR_ACCESS_DENIED,
         true,
         false,
         true},
        {"SetupUninstallOEMInfW fails",
         [] {
             sim::Script(Call::SetupUninstallOEMInfW, Answer::Win32(ERROR_INF_IN_USE_BY_DEVICES),
                         2);
         },
         {},
         CleanupOutcome::UninstallFailed,
         ERROR_INF_IN_USE_BY_DEVICES,
         true,
         false,
         true},
        {"vanishes after the listing",
         {},
         [&] { ASSERT_EQ(0, unlink(sim::HostPath(oem2).c_str())); },
         CleanupOutcome::Vanished,
         ERROR_SUCCESS,
         false,
         true,
         true},
        {"vanishes with its twin",
         {},
         [&] {
             ASSERT_EQ(0, unlink(sim::HostPath(oem2).c_str()));
             ASSERT_EQ(0, unlink(sim::HostPath(pnf2).c_str()));
         },
         CleanupOutcome::Vanished,
         ERROR_SUCCESS,
         false,
         true,
         false},
        {"replaced by another driver's INF",
         {},
         [&] { WriteFileAt(oem2, kTheirs); },
         CleanupOutcome::Changed,
         ERROR_SUCCESS,
         true,
         true,
         true},
        {"replaced by a directory",
         {},
         [&] {
             ASSERT_EQ(0, unlink(sim::HostPath(oem2).c_str()));
             fs::create_directory(sim::HostPath(oem2));
         },
         CleanupOutcome::Changed,
         ERROR_SUCCESS,
         true,
         true,
         true},
        {"locked after the listing",
         {},
         [&] { sim::HoldFileOpen(oem2); },
         CleanupOutcome::Unreadable,
         ERROR_SHARING_VIOLATION,
         true,
         true,
         true},
        {"its twin cannot be deleted",
         [&] { sim::HoldFileOpen(pnf2, FILE_SHARE_READ); },
         {},
         CleanupOutcome::Removed,
         ERROR_SUCCESS,
         false,
         true,
         true,
         ERROR_SHARING_VIOLATION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        for (const char *name : {"oem1.inf", "oem2.inf", "oem3.inf"}) PutCopy(name, kOurs);
        if (c.before) c.before();
        const InfStoreScan listing = ScanInfStore();
        if (c.between) c.between();

        const CleanupReport report = CleanupInfStore(listing, false);

        ASSERT_EQ(3u, report.results.size());
        const CleanupResult *result = ResultFor(report, L"oem2.inf");
        ASSERT_NE(nullptr, result);
        EXPECT_EQ(c.outcome, result->outcome) << Narrow(CleanupOutcomeName(result->outcome));
        EXPECT_EQ(c.error, result->error);
        EXPECT_EQ(c.pnfRemains, result->pnfRemains);
        EXPECT_EQ(c.pnfError, result->pnfError);
        EXPECT_EQ(c.stays, FileExistsAt(oem2));
        EXPECT_EQ(c.clean, report.Clean());
        for (const char *other : {"oem1", "oem3"}) {
            const CleanupResult *removed = ResultFor(report, W(std::string(other) + ".inf"));
            ASSERT_NE(nullptr, removed);
            EXPECT_EQ(CleanupOutcome::Removed, removed->outcome) << other;
            EXPECT_FALSE(FileExistsAt(InStore(std::string(other) + ".inf")));
            EXPECT_FALSE(FileExistsAt(InStore(std::string(other) + ".PNF")));
        }
        EXPECT_EQ(0, sim::OpenFileHandles());
    }
}

TEST_F(InfStoreTest, DryRunListsWhatWouldGoAndChangesNothing) {
    PutCopy("oem0.inf", kOurs);
    PutCopy("oem1.inf", Utf16(kOurs));
    PutCopy("oem2.inf", kTheirs);
    PutCopy("oem3.inf", kOurs);
    sim::HoldFileOpen(InStore("oem3.inf"));
    PutCopy("oem4.inf", kOurs);
    sim::SetReadOnly(InStore("oem4.inf"));
    const auto before = Everything();

    const CleanupReport report = CleanupInfStore(true);

    EXPECT_TRUE(report.dryRun);
    ASSERT_EQ(4u, report.results.size());
    EXPECT_EQ(CleanupOutcome::WouldRemove, ResultFor(report, L"oem0.inf")->outcome);
    EXPECT_EQ(CleanupOutcome::WouldRemove, ResultFor(report, L"oem1.inf")->outcome);
    EXPECT_EQ(CleanupOutcome::Unreadable, ResultFor(report, L"oem3.inf")->outcome);
    EXPECT_EQ(CleanupOutcome::WouldRemove, ResultFor(report, L"oem4.inf")->outcome);
    EXPECT_EQ(nullptr, ResultFor(report, L"oem2.inf"));
    EXPECT_FALSE(report.Clean());  // marked copies remain
    EXPECT_EQ(3u, report.after.Count(CopyState::Marked));
    EXPECT_EQ(before, Everything());
    EXPECT_EQ(0, sim::CallCount(Call::SetupUninstallOEMInfW));
    EXPECT_EQ(0, sim::CallCount(Call::DeleteFileW));
    EXPECT_EQ(0, sim::CallCount(Call::DeleteFileA));
}

TEST_F(InfStoreTest, AStoreThatCannotBeListedIsAnErrorNeverAClean) {
    struct Case {
        const char *what;
        Call call;
        DWORD error;
        size_t listed;      // copies listed before the failure
        bool ourCopyStays;  // a clean-up still removes what a partial listing holds
    };
    const Case cases[] = {
        {"Windows directory unknown", Call::GetSystemWindowsDirectoryW, ERROR_GEN_FAILURE, 0, true},
        {"listing refused", Call::FindFirstFileW, ERROR_ACCESS_DENIED, 0, true},
        {"listing cut short", Call::FindNextFileW, ERROR_NOT_ENOUGH_MEMORY, 1, false},
        {"head read fails", Call::ReadFile, ERROR_NOT_ENOUGH_MEMORY, 2, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        PutCopy("oem0.inf", kOurs);
        PutCopy("oem1.inf", kTheirs);
        sim::Script(c.call, Answer::Win32(c.error), 1);

        const InfStoreScan scan = ScanInfStore();
        EXPECT_EQ(c.listed, scan.copies.size());
        if (c.call == Call::ReadFile) {
            EXPECT_EQ(ERROR_SUCCESS, scan.error);
            EXPECT_EQ(CopyState::Unreadable, scan.copies[0].state);
            EXPECT_EQ(c.error, scan.copies[0].readError);
            EXPECT_EQ(CopyState::Unmarked, scan.copies[1].state);
        } else {
            EXPECT_EQ(c.error, scan.error);
            sim::Script(c.call, Answer::Win32(c.error), 0);
            EXPECT_FALSE(CleanupInfStore(false).Clean());
            EXPECT_EQ(c.ourCopyStays, FileExistsAt(InStore("oem0.inf")));
        }
        EXPECT_EQ(0, sim::OpenFileHandles());
    }

    // An empty store, and none at all: nothing to do, a success.
    FreshMachine();
    EXPECT_TRUE(CleanupInfStore(false).Clean());
    fs::remove_all(sim::HostPath(kStore));
    const InfStoreScan none = ScanInfStore();
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), none.error);
}

}  // namespace
