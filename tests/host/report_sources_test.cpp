// What the hosts read after a failure and for a report: the device
// installation log's sections (each listed code's reason, the run's start,
// newest first, hangs, garbage, the bounds, a huge or missing file) and the
// network services listing's failure paths.
#include "sim_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include "tools/common/net_services.h"
#include "tools/common/setupapi_log.h"

using namespace ndisfilter::tools;
using sim::Answer;
using sim::Call;

namespace {

const SetupLogTime kRunStart{2026, 12, 9, 13, 46, 0, 0};
const SetupLogQuery kOurs{{L"DorvaneV.inf", L"oem7.inf", L"ZQ_DorvaneV"}, kRunStart};

std::string Section(const std::string &title, const std::string &start, const std::string &body,
                    const std::string &exit = "SUCCESS", bool ended = true) {
    std::string text =
        ">>>  [" + title + "]\r\n>>>  Section start 2026/12/09 " + start + "\r\n" + body;
    if (ended)
        text += "<<<  Section end 2026/12/09 " + start + "\r\n<<<  [Exit status: " + exit + "]\r\n";
    return text;
}
const std::string kTitle = "Device Install (DiInstallDriver) - C:\\drv\\DorvaneV.inf";
std::string Failed(const std::string &code) {
    return Section(kTitle, "13:46:01.100", "     ndv: Installing...\r\n", "FAILURE(" + code + ")");
}

struct Row {
    const char *name;
    std::string log;
    size_t sections;            // found
    std::optional<DWORD> code;  // of the newest failed one
    SetupLogCause cause;
    const wchar_t *reasonHas;  // in DescribeFailedSection
};

TEST(SetupLog, SectionsAndReasons) {
    using namespace std::string_literals;  // literals with their NUL bytes
    const std::string garbage = "\0\x01\xff\xfe>>>  [\x80\x81\n"s;
    const std::string utf16 = ">\0>\0>\0 \0 \0[\0D\0o\0r\0\n\0"s;
    std::string many;
    for (int i = 0; i < 20; ++i)
        many += Section("Install " + std::to_string(i) + " ZQ_DorvaneV", "13:50:00.000", "");
    const Row rows[] = {
        {"marked for deletion", Failed("0x80070430"), 1, 0x80070430, SetupLogCause::RestartFirst,
         L"0x80070430 ERROR_SERVICE_MARKED_FOR_DELETE"},
        {"netcfg needs a restart", Failed("0x8004a025"), 1, 0x8004A025, SetupLogCause::RestartFirst,
         L"NETCFG_E_NEED_REBOOT"},
        {"policy", Failed("0xe0000248"), 1, 0xE0000248, SetupLogCause::PolicyForbids,
         L"restrictions) (setupapi.dev.log: 0xE0000248 ERROR_DEVICE_INSTALL_BLOCKED in "
         L"[Device Install (DiInstallDriver) - C:\\drv\\DorvaneV.inf] started 2026/12/09 "
         L"13:46:01.100)"},
        {"store refused", Failed("0xe0000247"), 1, 0xE0000247, SetupLogCause::NotTrusted,
         L"ERROR_DRIVER_STORE_ADD_FAILED"},
        {"hash not in catalog", Failed("0xe000024b"), 1, 0xE000024B, SetupLogCause::NotTrusted,
         L"not signed"},
        {"filter limit", Failed("0x8004a029"), 1, 0x8004A029, SetupLogCause::FilterLimit,
         L"NETCFG_E_MAX_FILTER_LIMIT"},
        {"access denied", Failed("0x80070005"), 1, 0x80070005, SetupLogCause::AccessBlocked,
         L"security product"},
        {"handle refused", Failed("0x80070006"), 1, 0x80070006, SetupLogCause::AccessBlocked,
         L"E_HANDLE"},
        {"known code in an error line wins over the exit's",
         Section("SetupCopyOEMInf - oem7.INF", "13:47:00.000",
                 "!!!  sto: Failed to add. Error 0xe0000247: trust\r\n", "FAILURE(0xe0000203)"),
         1, 0xE0000247, SetupLogCause::NotTrusted, L"0xE0000247"},
        {"unknown code", Failed("0xe0000203"), 1, 0xE0000203, SetupLogCause::Unknown,
         L"setup failed (setupapi.dev.log: 0xE0000203 in"},
        {"before the run started", Section(kTitle, "13:45:59.999", "", "FAILURE(0xe0000248)"), 0,
         std::nullopt, SetupLogCause::Unknown, nullptr},
        {"another INF",
         Section("Device Install - C:\\x\\other.inf", "13:47:00.000", "", "FAILURE(0xe0000248)"), 0,
         std::nullopt, SetupLogCause::Unknown, nullptr},
        {"success", Section(kTitle, "13:47:00.000", "     inf: ZQ_DorvaneV\r\n"), 1, std::nullopt,
         SetupLogCause::Unknown, nullptr},
        {"newest first",
         Failed("0xe0000248") +
             Section("NetCfg - zq_dorvanev", "13:48:00.000", "", "FAILURE(0x8004a029)"),
         2, 0x8004A029, SetupLogCause::FilterLimit, L"filter"},
        {"a hang: never ended",
         Failed("0x80070005") + Section(kTitle, "13:49:00.000", "     ndv: waiting\r\n", "", false),
         2, std::nullopt, SetupLogCause::Unknown, L"never finished (a hung installation?)"},
        {"garbage, UTF-16 and broken lines between",
         garbage + "<<<  Section end 2026/12/09 13:40:00.000\r\n>>>  [unclosed\r\n" + utf16 +
             Failed("0xe0000248") + garbage + utf16,
         1, 0xE0000248, SetupLogCause::PolicyForbids, L"policy"},
        {"documented older form",
         ">>>  [Device Install - ROOT\\ZQ_DorvaneV]\r\n>>>  2026/12/09 13:47:00.000: Section "
         "start\r\n"
         "<<<  [2026/12/09 13:47:01.000: Section end]\r\n<<<  [Exit Status(0xE0000248)]\r\n",
         1, 0xE0000248, SetupLogCause::PolicyForbids, L"0xE0000248"},
        {"nested: only the inner one is ours",
         ">>>  [Outer]\r\n>>>  Section start 2026/12/09 13:47:00.000\r\n" + Failed("0x80070430") +
             "<<<  Section end 2026/12/09 13:47:02.000\r\n<<<  [Exit status: FAILURE(0x5)]\r\n",
         1, 0x80070430, SetupLogCause::RestartFirst, L"restart"},
        {"at most 8 sections", many, kSetupLogMaxSections, std::nullopt, SetupLogCause::Unknown,
         nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto sections = FindSetupLogSections(row.log, kOurs);
        ASSERT_EQ(sections.size(), row.sections);
        const SetupLogSection *failed = NewestFailedSection(sections);
        ASSERT_EQ(failed != nullptr, row.reasonHas != nullptr);
        if (!failed) continue;
        EXPECT_EQ(failed->code, row.code);
        EXPECT_EQ(failed->cause, row.cause);
        EXPECT_NE(DescribeFailedSection(*failed).find(row.reasonHas), std::wstring::npos)
            << ndisfilter::text::Narrow(DescribeFailedSection(*failed));
    }
    const auto newest = FindSetupLogSections(many, kOurs);
    EXPECT_EQ(newest.front().title, L"Install 19 ZQ_DorvaneV");
    EXPECT_EQ(newest.back().title, L"Install 12 ZQ_DorvaneV");
}

TEST(SetupLog, LinesKeptPerSectionAreBounded) {
    std::string body;
    for (int i = 0; i < 1000; ++i) body += "!!!  ndv: " + std::string(400, 'x') + " 0x80070005\r\n";
    const auto sections = FindSetupLogSections(Section(kTitle, "13:47:00.000", body), kOurs);
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].lines.size(), kSetupLogMaxLinesKept);
    EXPECT_EQ(sections[0].linesLeftOut, 1000 - kSetupLogMaxLinesKept);
    EXPECT_EQ(sections[0].errorLines.size(), kSetupLogMaxErrorLines);
    EXPECT_EQ(sections[0].lines[0].size(), kSetupLogMaxLineChars);
    EXPECT_EQ(sections[0].cause, SetupLogCause::AccessBlocked);  // a SUCCESS exit, a known error
}

class SetupLogFile : public SimMachineTest {};

TEST_F(SetupLogFile, HugeLogOnlyItsTailIsRead) {
    EXPECT_EQ(SetupLogPath(), L"C:\\WINDOWS\\inf\\setupapi.dev.log");
    WriteFileAt(SetupLogPath(), Failed("0x80070430"));  // 300 MB before the newest section
    const std::string tail = "\n" + Failed("0xe0000248");
    const int fd = open(sim::HostPath(SetupLogPath()).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), 300 << 20), static_cast<ssize_t>(tail.size()));
    close(fd);
    const auto failure = SetupLogFailureSince(kOurs);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->section.cause, SetupLogCause::PolicyForbids);
    EXPECT_EQ(ReadSetupLogSections(kOurs)->size(), 1u);  // the first section is out of reach
    EXPECT_LE(ReadFileTail(SetupLogPath(), kSetupLogTailBytes)->size(), kSetupLogTailBytes);
}

TEST_F(SetupLogFile, UnreadableLogLeavesNothing) {
    EXPECT_FALSE(ReadSetupLogSections(kOurs));  // no file
    EXPECT_FALSE(SetupLogFailureSince(kOurs));
    WriteFileAt(SetupLogPath(), Section(kTitle, "13:47:00.000", ""));
    EXPECT_FALSE(SetupLogFailureSince(kOurs));  // readable, nothing failed
    sim::SetWindowsDirectory(std::nullopt);
    EXPECT_EQ(SetupLogPath(), L"");
    EXPECT_FALSE(ReadSetupLogSections(kOurs));
}

class NetServices : public SimMachineTest {};

// The simulated configuration lists nothing (its EnumComponents answers
// E_NOTIMPL): the listing says which step failed and releases what it took.
TEST_F(NetServices, FailedStepsReleaseEverything) {
    const NetServiceListing listing = ListNetServices();
    EXPECT_TRUE(listing.services.empty());
    EXPECT_EQ(DescribeListingFailure(listing), L"INetCfg::EnumComponents failed (0x80004001)");
    sim::Script(Call::NetCfgInitialize, Answer::Hr(E_ACCESSDENIED), 0);
    EXPECT_EQ(DescribeListingFailure(ListNetServices()),
              L"INetCfg::Initialize failed (0x80070005)");
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_EQ(sim::RuntimeInitCount(), 0);
    EXPECT_EQ(sim::CallCount(Call::LockAcquireWriteLock), 0);

    sim::ClearScripts();
    sim::Script(Call::NetCfgInitialize, Answer::Hang(), 0);
    const NetServiceListing hung = ListNetServicesWithin(200);
    EXPECT_FALSE(hung.answered);
    EXPECT_EQ(DescribeListingFailure(hung), L"no answer within 200 ms");
}

}  // namespace
