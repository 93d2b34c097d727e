// The purge of our installed INF copy: which names it tries, what counts as
// a match in a file's head as the runtime's text mode reads it, and how it
// removes it: through SetupUninstallOEMInfW, a plain delete only for what that
// leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <setupapi.h>

#include "setup/oem_inf_purge.h"
#include "sim/machine.h"
#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;

// A fresh machine on an emptied root folder, for one row of a table.
void FreshMachine() {
    const std::string root = sim::RootFolder();
    for (const auto &entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    sim::Reset(root);
}

const std::string kMarker = ndisfilter::kInfMarker;

std::string StoreName(const std::string &windowsDir, int n, const char *ext = "inf") {
    return windowsDir + "\\inf\\oem" + std::to_string(n) + "." + ext;
}

// The argument texts of every logged call of one kind, in order.
std::vector<std::wstring> Details(sim::Call call) {
    std::vector<std::wstring> details;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call == call) details.push_back(record.detail);
    return details;
}

// True when `detail` names exactly this Windows path (the log may add more
// arguments after it).
bool Names(const std::wstring &detail, const std::string &windowsPath) {
    const std::wstring path(windowsPath.begin(), windowsPath.end());
    if (detail.compare(0, path.size(), path) != 0) return false;
    return detail.size() == path.size() || !iswalnum(detail[path.size()]);
}

// A head whose marker starts at `position` of the text as read, padded
// with `crlfPairs` CR LF line ends (each read as one character) and
// followed by more text, so that the file is longer than the head.
std::string HeadWithMarkerAt(size_t position, size_t crlfPairs) {
    std::string bytes;
    for (size_t i = 0; i < crlfPairs; ++i) bytes += ";\r\n";  // 2 characters as read
    const size_t asRead = crlfPairs * 2;
    bytes += std::string(position - asRead, ';');
    return bytes + kMarker + "\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n" +
           std::string(300, ';');
}

class OemInfPurgeTest : public SimMachineTest {
protected:
    // An INF and its .PNF twin in the store under C:\WINDOWS.
    static void PutCopy(int n, const std::string &infBytes) {
        WriteFileAt(StoreName("C:\\WINDOWS", n), infBytes);
        WriteFileAt(StoreName("C:\\WINDOWS", n, "PNF"), "precompiled");
    }
};

TEST_F(OemInfPurgeTest, TriesOem0To49UnderTheWindowsDirectoryInRisingOrder) {
    struct Case {
        std::string windowsDir;  // as GetWindowsDirectoryA answers it
        std::string namesUnder;  // the directory every candidate name starts with
    };
    const Case cases[] = {
        {"C:\\WINDOWS", "C:\\WINDOWS"},
        {"C:\\WINDOWS\\", "C:\\WINDOWS"},  // no second backslash
        {"C:\\W%s%n%d", "C:\\W%s%n%d"},    // '%' stays text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.windowsDir);
        FreshMachine();
        sim::SetWindowsDirectory(c.windowsDir);
        // Not ours, present, and ours at 31: the scan opens every name up to
        // the match and removes exactly the match and its twin: the platform
        // by its store name, forced; a plain delete for a .PNF left behind.
        WriteFileAt(StoreName(c.namesUnder, 4), "; someone else's driver\r\n");
        WriteFileAt(StoreName(c.namesUnder, 31), "; " + kMarker + "\r\n");
        WriteFileAt(StoreName(c.namesUnder, 31, "PNF"), "precompiled");

        ndisfilter::PurgeOemInfCopies();

        const std::vector<std::wstring> opened = Details(sim::Call::FopenS);
        ASSERT_EQ(opened.size(), 32u);
        for (int n = 0; n < 32; ++n)
            EXPECT_TRUE(Names(opened[n], StoreName(c.namesUnder, n))) << "candidate " << n;
        EXPECT_EQ(Details(sim::Call::SetupUninstallOEMInfW),
                  std::vector<std::wstring>{L"oem31.inf 1"});
        const std::vector<std::wstring> deleted = Details(sim::Call::DeleteFileA);
        ASSERT_EQ(deleted.size(), 1u);
        EXPECT_TRUE(Names(deleted[0], StoreName(c.namesUnder, 31, "PNF")));
        EXPECT_FALSE(FileExistsAt(StoreName(c.namesUnder, 31)));
        EXPECT_FALSE(FileExistsAt(StoreName(c.namesUnder, 31, "PNF")));
        EXPECT_TRUE(FileExistsAt(StoreName(c.namesUnder, 4)));
    }

    // No match anywhere: all fifty names, 0 to 49, and nothing deleted.
    FreshMachine();
    PutCopy(50, "; " + kMarker + "\r\n");
    ndisfilter::PurgeOemInfCopies();
    const std::vector<std::wstring> opened = Details(sim::Call::FopenS);
    ASSERT_EQ(opened.size(), 50u);
    EXPECT_TRUE(Names(opened.front(), StoreName("C:\\WINDOWS", 0)));
    EXPECT_TRUE(Names(opened.back(), StoreName("C:\\WINDOWS", 49)));
    EXPECT_EQ(sim::CallCount(sim::Call::DeleteFileA), 0);
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 50)));
}

TEST_F(OemInfPurgeTest, AWindowsDirectoryThatDoesNotFitStopsBeforeAnyFile) {
    // The name pattern is <dir>\inf\oem%d.inf in 260 characters: a directory
    // of 245 characters leaves exactly room for it, one more does not.
    auto directoryOfLength = [](size_t length) {
        std::string dir = "C:";
        while (dir.size() < length)
            dir += "\\" + std::string(std::min<size_t>(60, length - dir.size() - 1), 'w');
        return dir;
    };
    for (size_t length : {245u, 246u, 259u, 300u}) {
        SCOPED_TRACE(length);
        FreshMachine();
        const std::string dir = directoryOfLength(length);
        ASSERT_EQ(dir.size(), length);
        sim::SetWindowsDirectory(dir);
        WriteFileAt(StoreName(dir, 0), "; " + kMarker + "\r\n");

        ndisfilter::PurgeOemInfCopies();

        const bool fits = length + 1 + 13 < MAX_PATH;
        EXPECT_EQ(sim::CallCount(sim::Call::FopenS), fits ? 1 : 0);
        EXPECT_EQ(FileExistsAt(StoreName(dir, 0)), !fits);
    }

    // GetWindowsDirectoryA failing: nothing opened, nothing deleted.
    FreshMachine();
    sim::SetWindowsDirectory(std::nullopt);
    PutCopy(0, "; " + kMarker + "\r\n");
    ndisfilter::PurgeOemInfCopies();
    EXPECT_EQ(sim::CallCount(sim::Call::FopenS), 0);
    EXPECT_EQ(sim::CallCount(sim::Call::DeleteFileA), 0);
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 0)));
}

TEST_F(OemInfPurgeTest, MarkerCountsOnlyWithinTheFirst255CharactersAsTextModeReadsThem) {
    struct Case {
        const char *what;
        std::string bytes;
        bool matches;
    };
    const std::string utf16 = [] {
        std::string text = "\xFF\xFE";  // UTF-16LE with its byte order mark
        for (char c : "; " + kMarker + "\r\n") text += std::string{c, '\0'};
        return text;
    }();
    const Case cases[] = {
        {"at 243, plain", HeadWithMarkerAt(243, 0), true},
        {"at 244, plain", HeadWithMarkerAt(244, 0), false},
        // 40 CR LF pairs: 40 bytes further into the file than as read.
        {"at 243 as read after CR LF", HeadWithMarkerAt(243, 40), true},
        {"at 244 as read after CR LF", HeadWithMarkerAt(244, 40), false},
        {"at 0", kMarker + "\r\n", true},
        {"0x1A before it", "; end\x1A; " + kMarker + "\r\n", false},
        {"0x1A after it", "; " + kMarker + "\x1A; more\r\n", true},
        {"zero byte before it", std::string("; x\0; ", 6) + kMarker + "\r\n", false},
        {"lower case", "; dorvanev.inf\r\n", false},
        {"upper case", "; DORVANEV.INF\r\n", false},
        {"UTF-16", utf16, false},
        {"empty file", "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        PutCopy(3, c.bytes);

        ndisfilter::PurgeOemInfCopies();

        EXPECT_EQ(FileExistsAt(StoreName("C:\\WINDOWS", 3)), !c.matches);
        EXPECT_EQ(FileExistsAt(StoreName("C:\\WINDOWS", 3, "PNF")), !c.matches);
        EXPECT_EQ(sim::CallCount(sim::Call::FopenS), c.matches ? 4 : 50);
    }
}

TEST_F(OemInfPurgeTest, RemovesOnlyTheFirstMatchAndItsTwinEvenWhenTheInfStays) {
    for (int n = 0; n < 7; ++n)
        PutCopy(n, "; another vendor's driver " + std::to_string(n) + "\r\n");
    PutCopy(7, "; " + kMarker + "\r\n");
    PutCopy(12, "; " + kMarker + "\r\n");

    ndisfilter::PurgeOemInfCopies();

    EXPECT_FALSE(FileExistsAt(StoreName("C:\\WINDOWS", 7)));
    EXPECT_FALSE(FileExistsAt(StoreName("C:\\WINDOWS", 7, "PNF")));
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 12)));
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 12, "PNF")));
    for (int n = 0; n < 7; ++n) {
        EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", n))) << n;
        EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", n, "PNF"))) << n;
    }
    EXPECT_EQ(sim::CallCount(sim::Call::FopenS), 8);

    // The next purge finds oem12; neither the platform nor a plain delete
    // can remove the .inf, its twin goes all the same, and the scan stops
    // there.
    PutCopy(20, "; " + kMarker + "\r\n");
    sim::FailDelete(StoreName("C:\\WINDOWS", 12));
    ndisfilter::PurgeOemInfCopies();
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 12)));
    EXPECT_FALSE(FileExistsAt(StoreName("C:\\WINDOWS", 12, "PNF")));
    EXPECT_TRUE(FileExistsAt(StoreName("C:\\WINDOWS", 20)));
    std::vector<std::wstring> deleted = Details(sim::Call::DeleteFileA);
    ASSERT_EQ(deleted.size(), 3u);
    EXPECT_TRUE(Names(deleted[1], StoreName("C:\\WINDOWS", 12)));
    EXPECT_TRUE(Names(deleted[2], StoreName("C:\\WINDOWS", 12, "PNF")));

    // On a fresh machine the platform refuses oem20 (one it did not publish,
    // say): a plain delete removes the copy, then its twin.
    FreshMachine();
    PutCopy(20, "; " + kMarker + "\r\n");
    sim::Script(sim::Call::SetupUninstallOEMInfW,
                sim::Answer::Win32(ERROR_NOT_AN_INSTALLED_OEM_INF));
    ndisfilter::PurgeOemInfCopies();
    EXPECT_FALSE(FileExistsAt(StoreName("C:\\WINDOWS", 20)));
    EXPECT_FALSE(FileExistsAt(StoreName("C:\\WINDOWS", 20, "PNF")));
    EXPECT_EQ(Details(sim::Call::SetupUninstallOEMInfW),
              std::vector<std::wstring>{L"oem20.inf 1"});
    deleted = Details(sim::Call::DeleteFileA);
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_TRUE(Names(deleted[0], StoreName("C:\\WINDOWS", 20)));
    EXPECT_TRUE(Names(deleted[1], StoreName("C:\\WINDOWS", 20, "PNF")));
}

}  // namespace
