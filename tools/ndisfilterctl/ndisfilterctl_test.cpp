// ndisfilterctl on the host: the command line refuses what it must without
// touching anything, the program's exit codes carry the library's answer,
// and install/uninstall persist on the simulated machine between runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <netcfgx.h>
#include <objbase.h>
#include <sim/machine.h>

#include <atomic>
#include <regex>

#include <nlohmann/json.hpp>

#include "cli_log.h"
#include "cli_options.h"
#include "cli_platform.h"
#include "cli_progress.h"
#include "cli_run.h"
#include "commands/setup_log_reason.h"
#include "tools/common/diagnosis.h"
#include "tools/common/netcfg_query.h"
#include "tools/common/wide_text.h"

namespace fs = std::filesystem;
using namespace ndisfilterctl;
namespace diag = ndisfilter::tools;
using Json = nlohmann::json;

namespace {

constexpr const char *kProgram = NDISFILTERCTL_PROGRAM;
constexpr const wchar_t *kModule = L"" NDISFILTER_MODULE;
constexpr const char *kSampleInf = NDISFILTERCTL_SAMPLE_INF;
constexpr const char *kPlatformModule = WINPLATFORM_MODULE;

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ndisfilterctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Runs the built program in `dir` with stdout and stderr captured.
    ProgramRun Program(const std::vector<std::string> &args) {
        const fs::path outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
            std::vector<char *> argv{const_cast<char *>(kProgram)};
            for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(kProgram, argv.data());
            _exit(127);
        }
        ProgramRun run;
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
            run.exitCode = WEXITSTATUS(status);
        run.out = ReadFile(outFile);
        run.err = ReadFile(errFile);
        fs::remove(outFile);
        fs::remove(errFile);
        return run;
    }

    // What the folder holds, apart from the captured output.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        return names;
    }

    int Code(ExitStatus status) const { return PlatformExitCodes().CodeFor(status); }

    fs::path dir;
};

std::vector<std::wstring> Args(std::initializer_list<const wchar_t *> args) {
    return std::vector<std::wstring>(args.begin(), args.end());
}

TEST(CommandLine, RefusesEveryMalformedRequest) {
    const std::vector<std::vector<std::wstring>> bad = {
        {},
        Args({L"repair"}),
        Args({L"install", L"uninstall"}),
        Args({L"install", L"extra"}),
        Args({L"install", L"--force"}),
        Args({L"install", L"-x"}),
        Args({L"install", L"--timeout"}),
        Args({L"install", L"--timeout", L""}),
        Args({L"install", L"--timeout", L"-1"}),
        Args({L"install", L"--timeout", L"+5"}),
        Args({L"install", L"--timeout", L"0x10"}),
        Args({L"install", L"--timeout", L"12a"}),
        Args({L"install", L"--timeout", L"4294967296"}),
        Args({L"install", L"--timeout", L"99999999999999999999"}),
        Args({L"install", L"--timeout=infinity"}),
        Args({L"install", L"--timeout", L"100", L"--retry"}),
        Args({L"uninstall", L"--retry", L"--timeout=5"}),
        Args({L"install", L"--timeout", L"1", L"--timeout", L"2"}),
        Args({L"uninstall", L"--inf", L"a.inf"}),
        Args({L"install", L"--inf"}),
        Args({L"install", L"--inf="}),
        Args({L"install", L"--retry=yes"}),
        Args({L"install", L"--library", L"a", L"--library", L"b"}),
        Args({L"--verbose"}),
        Args({L"uninstall", L"-v", L"--verbose"}),
        // A value that is another option was forgotten, not given.
        Args({L"install", L"--sim-root", L"--verbose"}),
        Args({L"install", L"--inf", L"--retry"}),
        Args({L"install", L"--log", L"--json"}),
        Args({L"status", L"--retry"}),
        Args({L"status", L"--timeout", L"5000"}),
        Args({L"status", L"--inf", L"a.inf"}),
        Args({L"install", L"--dry-run"}),
        Args({L"uninstall", L"--dry-run"}),
        Args({L"cleanup", L"--no-cleanup"}),
        Args({L"install", L"--no-cleanup"}),
        Args({L"uninstall", L"--force"}),
        Args({L"cleanup", L"--force", L"--force"}),
        Args({L"install", L"--json", L"--json"}),
        Args({L"query", L"status"}),
    };
    for (const auto &args : bad) {
        const ParseResult parsed = ParseArguments(args, true);
        std::wstring joined;
        for (const auto &arg : args) joined += L" [" + arg + L"]";
        EXPECT_FALSE(parsed.request.has_value())
            << "accepted:" << std::string(joined.begin(), joined.end());
        EXPECT_FALSE(parsed.error.empty());
    }
    // The simulated machine's folder only exists where there is one.
    EXPECT_TRUE(ParseArguments(Args({L"install", L"--sim-root", L"d"}), true).request);
    EXPECT_FALSE(ParseArguments(Args({L"install", L"--sim-root", L"d"}), false).request);
}

TEST(CommandLine, TimeLimitsCoverTheWholeRangeAndHelpStopsParsing) {
    EXPECT_EQ(ParseTimeout(L"0"), 0u);
    EXPECT_EQ(ParseTimeout(L"4294967294"), 4294967294u);
    EXPECT_EQ(ParseTimeout(L"4294967295"), INFINITE);
    EXPECT_EQ(ParseTimeout(L"Infinite"), INFINITE);
    EXPECT_EQ(ParseTimeout(L"0000000001"), 1u);
    EXPECT_FALSE(ParseTimeout(L"00000000001"));  // eleven digits

    const ParseResult both =
        ParseArguments(Args({L"--timeout=250", L"-v", L"install", L"--inf=--odd-name.inf"}), false);
    ASSERT_TRUE(both.request);
    EXPECT_EQ(both.request->action, Action::Install);
    EXPECT_EQ(both.request->timeoutMs, 250u);
    EXPECT_TRUE(both.request->verbose);
    EXPECT_EQ(both.request->infPath,
              L"--odd-name.inf");  // a value after '=', even if it looks like an option
    // A limit under a second is taken, with a warning; one of a second is not.
    ASSERT_EQ(both.warnings.size(), 1u);
    EXPECT_NE(both.warnings[0].find(L"deadlocked"), std::wstring::npos);
    EXPECT_TRUE(ParseArguments(Args({L"install", L"--timeout", L"1000"}), false).warnings.empty());
    EXPECT_EQ(ParseArguments(Args({L"uninstall", L"--timeout=999"}), false).warnings.size(), 1u);

    // Every command and the options that go with it.
    const ParseResult query = ParseArguments(Args({L"query", L"--json", L"--log", L"a.log"}), true);
    ASSERT_TRUE(query.request);
    EXPECT_EQ(query.request->action, Action::Status);
    EXPECT_TRUE(query.request->json);
    EXPECT_EQ(query.request->logPath, L"a.log");
    const ParseResult cleanup = ParseArguments(Args({L"cleanup", L"--dry-run", L"-q"}), true);
    ASSERT_TRUE(cleanup.request);
    EXPECT_EQ(cleanup.request->action, Action::Cleanup);
    EXPECT_TRUE(cleanup.request->dryRun && cleanup.request->quiet);
    const ParseResult removal = ParseArguments(Args({L"--no-cleanup", L"uninstall"}), true);
    ASSERT_TRUE(removal.request);
    EXPECT_TRUE(removal.request->noCleanup);

    // The Windows help switches, any case, wherever they come.
    for (const wchar_t *help : {L"/?", L"-?", L"/help", L"/HELP"}) {
        const ParseResult parsed = ParseArguments(Args({L"install", help, L"--bogus"}), false);
        ASSERT_TRUE(parsed.request) << std::string(help, help + wcslen(help));
        EXPECT_EQ(parsed.request->action, Action::Help);
    }

    // --help answers at once; a mistake before it is still reported.
    const ParseResult help = ParseArguments(Args({L"install", L"--help", L"--bogus"}), true);
    ASSERT_TRUE(help.request);
    EXPECT_EQ(help.request->action, Action::Help);
    EXPECT_FALSE(ParseArguments(Args({L"--bogus", L"--help"}), true).request);
}

TEST_F(TempDirTest, BadUsageChangesNothingAndPrintsUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"install", "--timeout", "4294967296", "--sim-root", "sim"},
        {"install", "--timeout", "abc", "--sim-root", "sim"},
        {"uninstall", "--timeout", "5", "--retry", "--sim-root", "sim"},
        {"uninstall", "--inf", "x.inf", "--sim-root", "sim"},
        {"install", "--library", "/nonexistent/ndisfilter.so", "--unknown"},
    };
    for (const auto &args : bad) {
        const ProgramRun run = Program(args);
        EXPECT_EQ(run.exitCode, Code(ExitStatus::BadUsage)) << run.err;
        EXPECT_EQ(run.out, "");
        // One line of reason, one pointing at the help; not the whole usage.
        EXPECT_EQ(run.err.rfind("ndisfilterctl: ", 0), 0u) << run.err;
        const size_t firstEnd = run.err.find('\n');
        ASSERT_NE(firstEnd, std::string::npos) << run.err;
        EXPECT_EQ(run.err.substr(firstEnd + 1), "run 'ndisfilterctl --help' for usage\n");
        EXPECT_TRUE(Entries().empty()) << "bad usage left " << Entries().front();
    }
    // The folder option without its folder creates nothing named after the
    // next option.
    ProgramRun forgot = Program({"status", "--sim-root", "--verbose"});
    EXPECT_EQ(forgot.exitCode, Code(ExitStatus::BadUsage));
    EXPECT_EQ(forgot.err.rfind("ndisfilterctl: option --sim-root needs a value\n", 0), 0u)
        << forgot.err;
    EXPECT_TRUE(Entries().empty());
    for (const char *help : {"/?", "-?", "/help"}) {
        const ProgramRun run = Program({help});
        EXPECT_EQ(run.exitCode, 0) << help;
        EXPECT_EQ(run.out.rfind("usage: ndisfilterctl install", 0), 0u) << help;
    }

    // --help and --version answer on stdout, touch nothing, and the exit
    // codes listed are the ones the program uses.
    const ProgramRun help = Program({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    const ExitCodeTable &codes = PlatformExitCodes();
    EXPECT_EQ(&codes, &ExitCodesFor(true));
    for (int i = 0; i < kExitStatusCount; ++i) {
        const ExitCodeTable::Entry &entry = codes.entries[i];
        EXPECT_EQ(static_cast<int>(entry.status), i) << "table out of order at " << i;
        EXPECT_GE(entry.code, 0);
        EXPECT_LE(entry.code, 255);
        for (int j = 0; j < i; ++j) EXPECT_NE(codes.entries[j].code, entry.code);
        EXPECT_NE(help.out.find("\n  " + std::to_string(entry.code) + " "), std::string::npos)
            << "code " << entry.code << " missing from --help";
        // The Windows build: the same meanings, codes of its own, distinct.
        const ExitCodeTable::Entry &windows = ExitCodesFor(false).entries[i];
        EXPECT_EQ(windows.status, entry.status);
        EXPECT_EQ(std::wstring(windows.meaning), entry.meaning);
        for (int j = 0; j < i; ++j) EXPECT_NE(ExitCodesFor(false).entries[j].code, windows.code);
    }
    EXPECT_EQ(ExitCodesFor(false).CodeFor(ExitStatus::Failed), 1603);
    EXPECT_EQ(ExitCodesFor(false).CodeFor(ExitStatus::RestartRequired), 3010);
    EXPECT_EQ(ExitCodesFor(false).CodeFor(ExitStatus::LockHeld), 1618);  // fleet tools retry it
    const ProgramRun version = Program({"--version", "--sim-root", "sim"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("ndisfilterctl ", 0), 0u);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(TempDirTest, InstallAndUninstallPersistOnTheSimulatedMachine) {
    const std::string sample = ReadFile(kSampleInf);
    ASSERT_FALSE(sample.empty());

    // Default INF and default machine folder (.ndisfilter-sim here).
    ProgramRun run = Program({"install"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "install: succeeded; flags: none\n");
    const fs::path root = dir / ".ndisfilter-sim";
    ASSERT_TRUE(fs::is_directory(root));

    sim::OpenMachine(root.string());
    EXPECT_TRUE(sim::ComponentInstalled(L"ZQ_DorvaneV"));
    EXPECT_EQ(ReadFile(sim::HostPath(std::string("C:\\WINDOWS\\inf\\oem0.inf"))), sample);
    EXPECT_TRUE(fs::exists(sim::HostPath(std::string("C:\\WINDOWS\\inf\\oem0.PNF"))));

    // A second process sees the first one's work, and reports what it undoes.
    run = Program({"uninstall", "--verbose"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("uninstall: succeeded; flags: none; INF copies removed by the "
                            "library: oem0.inf; by the clean-up: none\n",
                            0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("  component ZQ_DorvaneV removed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  C:\\WINDOWS\\inf\\oem0.inf deleted\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  C:\\WINDOWS\\inf\\oem0.PNF deleted\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("added"), std::string::npos) << run.out;

    sim::OpenMachine(root.string());
    EXPECT_FALSE(sim::ComponentInstalled(L"ZQ_DorvaneV"));
    EXPECT_FALSE(fs::exists(sim::HostPath(std::string("C:\\WINDOWS\\inf\\oem0.inf"))));

    // Nothing left to remove: the library's failure, the reason, and a
    // machine unchanged.
    run = Program({"uninstall", "-v", "--no-cleanup"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out,
              "uninstall: failed; flags: none; INF copies removed by the library: none\n"
              "reason: ZQ_DorvaneV is not installed\n"
              "changes on the simulated machine " +
                  root.string() + ":\n  none\n");
}

TEST_F(TempDirTest, InstallsAHostInfUnderALimitAndRemovesWithRetry) {
    const std::string root = (dir / "machine").string();
    ProgramRun run = Program(
        {"install", "--inf", kSampleInf, "--timeout", "60000", "--verbose", "--sim-root", root});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("install with a 60000 ms limit: succeeded; flags: none\n", 0), 0u);
    EXPECT_NE(run.out.find("  component ZQ_DorvaneV added\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  C:\\WINDOWS\\inf\\oem0.inf added\n"), std::string::npos) << run.out;

    // The copy named on the command line is the one installed.
    sim::OpenMachine(root);
    EXPECT_EQ(ReadFile(sim::HostPath(std::string("C:\\WINDOWS\\inf\\oem0.inf"))),
              ReadFile(kSampleInf));
    EXPECT_TRUE(fs::exists(sim::HostPath(std::string("C:\\Media\\DorvaneV.inf"))));

    run = Program({"uninstall", "--retry", "--sim-root", root});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out,
              "uninstall with retry: succeeded; flags: none; INF copies removed by the library: "
              "oem0.inf; by the clean-up: none\n");

    // A missing INF: refused before the library runs, not a usage error, and
    // no earlier copy of that name stands in for it.
    const fs::path gone = dir / "DorvaneV.inf";
    run = Program({"install", "--inf", gone.string(), "--sim-root", root});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out,
              "install: not run\nreason: the INF \"" + gone.string() + "\" does not exist\n");
    sim::OpenMachine(root);
    EXPECT_FALSE(sim::ComponentInstalled(L"ZQ_DorvaneV"));
}

TEST_F(TempDirTest, LibraryThatCannotServeFailsBeforeTheMachineIsTouched) {
    ProgramRun run = Program({"install", "--library", (dir / "missing.so").string()});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("cannot load the library"), std::string::npos) << run.err;

    // Loadable, but not a component library.
    run = Program({"uninstall", "--library", kPlatformModule});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_NE(run.err.find("does not export DllGetClassObject"), std::string::npos) << run.err;
    EXPECT_TRUE(Entries().empty());
}

// The library's flags travel through the real module's interface table to
// the exit status and the result line.
class OutcomeTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        sim::Reset(dir.string());
        std::ofstream(sim::HostPath(std::string("C:\\Users\\Test\\DorvaneV.inf")))
            << ReadFile(kSampleInf);
    }
    Operation Install(std::optional<DWORD> limit = std::nullopt) {
        Operation op;
        op.action = Action::Install;
        op.infPath = L"C:\\Users\\Test\\DorvaneV.inf";
        op.timeoutMs = limit;
        return op;
    }
};

TEST_F(OutcomeTest, FlagsBecomeExitStatusesAndWords) {
    sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(NETCFG_S_REBOOT), 0);
    Outcome outcome = RunOperation(kModule, Install());
    ASSERT_TRUE(outcome.ran) << std::string(outcome.error.begin(), outcome.error.end());
    EXPECT_EQ(StatusOf(outcome), ExitStatus::RestartRequired);
    EXPECT_EQ(ResultLine(Install(), outcome), L"install: succeeded; flags: restart required");
    EXPECT_EQ(PlatformExitCodes().CodeFor(StatusOf(outcome)), 3);

    Operation removal;
    removal.action = Action::Uninstall;
    removal.retry = true;
    outcome = RunOperation(kModule, removal);
    EXPECT_EQ(StatusOf(outcome), ExitStatus::RestartRequired);
    EXPECT_EQ(ResultLine(removal, outcome),
              L"uninstall with retry: succeeded; flags: restart required");
    sim::ClearScripts();

    sim::Script(sim::Call::SetupCopyOEMInfW, sim::Answer::Win32(ERROR_CANCELLED), 0);
    outcome = RunOperation(kModule, Install(INFINITE));
    EXPECT_EQ(StatusOf(outcome), ExitStatus::Cancelled);
    EXPECT_EQ(ResultLine(Install(INFINITE), outcome),
              L"install with no time limit: failed; flags: cancelled");
    EXPECT_EQ(PlatformExitCodes().CodeFor(StatusOf(outcome)), 4);
    EXPECT_FALSE(sim::ComponentInstalled(L"ZQ_DorvaneV"));
    EXPECT_EQ(sim::LiveReferences(), 0);
    sim::ClearScripts();

    // A hung platform call: the limit passes, the worker is abandoned.
    sim::Script(sim::Call::NetCfgInitialize, sim::Answer::Hang(), 0);
    outcome = RunOperation(kModule, Install(200));
    EXPECT_EQ(StatusOf(outcome), ExitStatus::TimedOut);
    EXPECT_EQ(ResultLine(Install(200), outcome),
              L"install with a 200 ms limit: failed; flags: timed out");
    EXPECT_EQ(PlatformExitCodes().CodeFor(StatusOf(outcome)), 5);
    EXPECT_EQ(sim::ThreadsTerminated(), 1);
}

TEST(Changes, ReportsComponentsCaseInsensitivelyAndStoreFilesBothWays) {
    MachineSnapshot before, after;
    before.componentsKnown = after.componentsKnown = true;
    before.components = {L"zq_dorvanev", L"MS_TCPIP"};
    after.components = {L"ZQ_DorvaneV", L"ms_other"};
    before.storeFiles = {L"C:\\WINDOWS\\inf\\oem0.inf", L"C:\\WINDOWS\\inf\\oem0.PNF"};
    after.storeFiles = {L"C:\\WINDOWS\\inf\\oem0.PNF", L"C:\\WINDOWS\\inf\\oem1.inf"};
    EXPECT_EQ(DescribeChanges(before, after),
              (std::vector<std::wstring>{L"component ms_other added", L"component MS_TCPIP removed",
                                         L"C:\\WINDOWS\\inf\\oem1.inf added",
                                         L"C:\\WINDOWS\\inf\\oem0.inf deleted"}));
    // Where components are not tracked, only the store is compared.
    after.componentsKnown = false;
    EXPECT_EQ(DescribeChanges(before, after).size(), 2u);
    EXPECT_TRUE(DescribeChanges(after, after).empty());
}

// Each reason the facts support, most specific first, and the words a user
// reads for it.
TEST(Reasons, TheMostSpecificCauseWins) {
    using Kind = diag::FailureKind;
    using State = diag::InfCheck::State;
    diag::FailureFacts all;  // every cause at once
    all.process.elevated = false;
    all.process.wow64 = true;
    all.process.systemArchitecture = L"x64";
    all.inf = diag::InfCheck{State::Missing, ERROR_FILE_NOT_FOUND};
    all.lockHeld = true;
    all.lockHolder = L"Other Setup";
    all.installed = true;
    struct Case {
        diag::Operation op;
        void (*strip)(diag::FailureFacts &);  // removes the causes before it
        Kind kind;
        const wchar_t *words;
    };
    const Case cases[] = {
        {diag::Operation::Install, [](diag::FailureFacts &) {}, Kind::NotElevated,
         L"run from an elevated prompt"},
        {diag::Operation::Install, [](diag::FailureFacts &f) { f.process.elevated = true; },
         Kind::Wow64, L"use the build that matches the operating system"},
        {diag::Operation::Install,
         [](diag::FailureFacts &f) { f.process.elevated = true, f.process.wow64 = false; },
         Kind::InfMissing, L"the INF \"C:\\media\\x.inf\" does not exist"},
        {diag::Operation::Install,
         [](diag::FailureFacts &f) {
             f.process.elevated = true, f.process.wow64 = false;
             f.inf = diag::InfCheck{State::Unreadable, ERROR_SHARING_VIOLATION};
         },
         Kind::InfUnreadable, L"cannot be read (error 32)"},
        {diag::Operation::Install, [](diag::FailureFacts &f) { f.process = {}, f.inf.reset(); },
         Kind::LockHeld, L"held by \"Other Setup\""},
        // The INF is an install matter: uninstall looks past it.
        {diag::Operation::Uninstall,
         [](diag::FailureFacts &f) { f.process.elevated = true, f.process.wow64 = false; },
         Kind::LockHeld, L"write lock is held"},
        {diag::Operation::Install,
         [](diag::FailureFacts &f) {
             f.process = {}, f.inf = diag::InfCheck{}, f.lockHeld = false;
         },
         Kind::AlreadyInstalled, L"ZQ_DorvaneV is already installed"},
        {diag::Operation::Uninstall,
         [](diag::FailureFacts &f) { f.process = {}, f.lockHeld = false; }, Kind::Unknown,
         L"setupapi.dev.log"},
        {diag::Operation::Uninstall,
         [](diag::FailureFacts &f) { f.process = {}, f.lockHeld.reset(), f.installed = false; },
         Kind::NotInstalled, L"ZQ_DorvaneV is not installed"},
        {diag::Operation::Install,
         [](diag::FailureFacts &f) {
             f.process = {}, f.inf.reset(), f.lockHeld.reset(), f.installed.reset();
         },
         Kind::Unknown, L"%WINDIR%\\inf\\setupapi.dev.log"},
    };
    for (const Case &c : cases) {
        diag::FailureFacts facts = all;
        c.strip(facts);
        const diag::FailureReason reason = diag::ChooseReason(c.op, L"C:\\media\\x.inf", facts);
        EXPECT_EQ(reason.kind, c.kind) << diag::FailureKindName(c.kind);
        EXPECT_NE(reason.text.find(c.words), std::wstring::npos)
            << diag::FailureKindName(c.kind) << ": "
            << std::string(reason.text.begin(), reason.text.end());
        EXPECT_EQ(reason.text.find(L'\n'), std::wstring::npos);
    }
}

// The checks read the simulated machine's own state, release what they take
// and leave the calling thread's component runtime as they found it.
class DiagnosisTest : public OutcomeTest {};

TEST_F(DiagnosisTest, ChecksReadTheMachineAndReleaseEverything) {
    const wchar_t *inf = L"C:\\Users\\Test\\DorvaneV.inf";
    EXPECT_EQ(diag::CheckInf(inf).state, diag::InfCheck::State::Readable);
    const diag::InfCheck missing = diag::CheckInf(L"C:\\Users\\Test\\none.inf");
    EXPECT_EQ(missing.state, diag::InfCheck::State::Missing);
    EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(diag::CheckInf(L"C:\\Nowhere\\x.inf").error,
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(diag::CheckInf(L"C:\\Users").state, diag::InfCheck::State::Unreadable);
    sim::Script(sim::Call::CreateFileW, sim::Answer::Win32(ERROR_SHARING_VIOLATION), 0);
    const diag::InfCheck locked = diag::CheckInf(inf);
    EXPECT_EQ(locked.state, diag::InfCheck::State::Unreadable);
    EXPECT_EQ(locked.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    sim::ClearScripts();

    sim::SetElevated(false);
    sim::SetWow64(true);
    diag::ProcessFacts process = diag::QueryProcessFacts();
    EXPECT_EQ(process.elevated, false);
    EXPECT_EQ(process.wow64, true);
    EXPECT_EQ(process.programArchitecture, L"x86");
    EXPECT_EQ(process.systemArchitecture, L"x64");
    sim::SetElevated(true);
    sim::SetWow64(false);
    process = diag::QueryProcessFacts();
    EXPECT_EQ(process.elevated, true);
    EXPECT_EQ(process.programArchitecture, L"x64");
    sim::Script(sim::Call::GetTokenInformation, sim::Answer::Win32(ERROR_ACCESS_DENIED), 0);
    EXPECT_FALSE(diag::QueryProcessFacts().elevated.has_value());
    sim::ClearScripts();
    EXPECT_EQ(sim::OpenFileHandles(), 0);  // files and the token closed
    EXPECT_EQ(sim::OpenTokenHandles(), 0);

    sim::HoldWriteLock(L"Other Setup");
    sim::AddInstalledComponent(L"zq_dorvanev", GUID{});
    diag::NetCfgQuery query = diag::QueryNetCfg(L"ZQ_DorvaneV");
    EXPECT_EQ(query.installed, true);
    EXPECT_EQ(query.lockHeld, true);
    EXPECT_EQ(query.lockHolder, L"Other Setup");
    EXPECT_EQ(sim::RuntimeInitCount(), 0);
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_EQ(sim::OutstandingTaskMemBlocks(), 0);
    // On a thread that already has the runtime, it stays initialised once.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    sim::ReleaseHeldWriteLock();
    query = diag::QueryNetCfg(L"ZQ_Other");
    EXPECT_EQ(query.installed, false);
    EXPECT_EQ(query.lockHeld, false);
    EXPECT_EQ(sim::RuntimeInitCount(), 1);
    CoUninitialize();
    // A failing step: unknown, named, and still nothing left behind.
    sim::Script(sim::Call::NetCfgInitialize, sim::Answer::Hr(E_ACCESSDENIED), 0);
    query = diag::QueryNetCfg(L"ZQ_DorvaneV");
    EXPECT_FALSE(query.installed.has_value());
    EXPECT_EQ(query.failedStep, L"INetCfg::Initialize");
    EXPECT_EQ(query.failure, E_ACCESSDENIED);
    EXPECT_EQ(diag::DescribeQueryFailure(query), L"INetCfg::Initialize failed (0x80070005)");
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_EQ(sim::RuntimeInitCount(), 0);
    // A service that does not answer: the read is left behind, said as such.
    sim::Script(sim::Call::NetCfgInitialize, sim::Answer::Hang(), 0);
    query = diag::QueryNetCfgWithin(L"ZQ_DorvaneV", 50);
    EXPECT_FALSE(query.installed.has_value());
    EXPECT_FALSE(query.answered);
    EXPECT_EQ(diag::DescribeQueryFailure(query), L"no answer within 50 ms");
    EXPECT_TRUE(sim::WaitForHungThreads(1, 5000));
    sim::ReleaseHangs();  // the reader then ends by itself and releases all
    for (int i = 0; i < 500 && sim::LiveReferences() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sim::LiveReferences(), 0);
}

// After the library answered FALSE, the diagnosis names what the machine
// shows: each case is a real failure of the real module.
TEST_F(DiagnosisTest, LibraryFailuresGetTheirCause) {
    const wchar_t *inf = L"C:\\Users\\Test\\DorvaneV.inf";
    // Another client holds the lock and keeps it.
    sim::HoldWriteLock(L"Other Setup");
    sim::Script(sim::Call::LockAcquireWriteLock, sim::Answer::Hr(S_FALSE), 0);
    EXPECT_FALSE(RunOperation(kModule, Install()).result);
    diag::FailureReason reason = diag::DiagnoseFailure(diag::Operation::Install, inf);
    EXPECT_EQ(reason.kind, diag::FailureKind::LockHeld);
    EXPECT_NE(reason.text.find(L"\"Other Setup\""), std::wstring::npos);
    sim::ReleaseHeldWriteLock();
    sim::ClearScripts();

    // Installed already, and the class installer refuses again.
    ASSERT_TRUE(RunOperation(kModule, Install()).result);
    sim::Script(sim::Call::ClassSetupInstall, sim::Answer::Hr(E_FAIL), 0);
    EXPECT_FALSE(RunOperation(kModule, Install()).result);
    EXPECT_EQ(diag::DiagnoseFailure(diag::Operation::Install, inf).kind,
              diag::FailureKind::AlreadyInstalled);
    sim::ClearScripts();

    // Apply fails for no cause the CLI can see.
    sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(E_FAIL), 0);
    Operation removal;
    removal.action = Action::Uninstall;
    EXPECT_FALSE(RunOperation(kModule, removal).result);
    reason = diag::DiagnoseFailure(diag::Operation::Uninstall, nullptr);
    EXPECT_EQ(reason.kind, diag::FailureKind::Unknown);
    sim::ClearScripts();

    // The default INF beside a program that has none.
    ASSERT_TRUE(RunOperation(kModule, removal).result);
    Operation byDefault = Install();
    byDefault.infPath = nullptr;
    EXPECT_FALSE(RunOperation(kModule, byDefault).result);
    reason =
        diag::DiagnoseFailure(diag::Operation::Install, L"C:\\Program Files\\Host\\DorvaneV.inf");
    EXPECT_EQ(reason.kind, diag::FailureKind::InfMissing);
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_EQ(sim::OpenFileHandles(), 0);
    EXPECT_EQ(sim::OpenTokenHandles(), 0);
}

// After a failing Apply, the setup log's newest section of ours from this
// run names the code (by the INF's name, or by its published copy's when the
// run knew of one); an older section, or a specific fact, does not.
TEST_F(DiagnosisTest, TheSetupLogExplainsWhatTheFactsLeaveUnknown) {
    const std::string log = sim::HostPath(std::string("C:\\WINDOWS\\inf\\setupapi.dev.log"));
    const auto section = [](const diag::SetupLogTime &start, const char *code,
                            const char *inf = "C:\\m\\DorvaneV.inf") {
        const std::string time = ndisfilter::text::Narrow(diag::FormatSetupLogTime(start));
        return std::string(">>>  [Device Install (DiInstallDriver) - ") + inf +
               "]\n>>>  Section start " + time + "\n!!!  ndv: Error " + code +
               ": failed\n<<<  Section end " + time + "\n<<<  [Exit status: FAILURE(" + code +
               ")]\n";
    };
    const diag::SetupLogTime since = diag::SetupLogTimeNow();
    fs::create_directories(fs::path(log).parent_path());
    std::ofstream(log) << section({2020, 1, 1, 0, 0, 0, 0}, "0xe0000247");
    sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(E_FAIL), 0);
    EXPECT_FALSE(RunOperation(kModule, Install()).result);
    const wchar_t *inf = L"C:\\Users\\Test\\DorvaneV.inf";
    const auto diagnose = [&](std::vector<std::wstring> published = {}) {
        return WithSetupLog({diag::DiagnoseFailure(diag::Operation::Install, inf), {}, {}}, inf,
                            since, published);
    };
    EXPECT_FALSE(diagnose().setupLog) << "a section from before the run";
    std::ofstream(log, std::ios::app) << section(diag::SetupLogTimeNow(), "0x80070430");
    const Reason reason = diagnose();
    ASSERT_TRUE(reason.setupLog);
    EXPECT_EQ(reason.setupLog->section.code, 0x80070430u);
    EXPECT_NE(reason.setupLog->reason.find(L"0x80070430 ERROR_SERVICE_MARKED_FOR_DELETE"),
              std::wstring::npos);
    std::ofstream(log, std::ios::app)
        << section(diag::SetupLogTimeNow(), "0x8004a029", "C:\\WINDOWS\\INF\\oem7.inf");
    EXPECT_EQ(diagnose().setupLog->section.code, 0x80070430u) << "another package's copy";
    EXPECT_EQ(diagnose({L"OEM7.INF"}).setupLog->section.code, 0x8004a029u) << "our copy";
    sim::HoldWriteLock(L"Other Setup");
    EXPECT_FALSE(diagnose().setupLog) << "the lock's holder is the more specific reason";
    sim::ReleaseHeldWriteLock();
    sim::ClearScripts();
}

// The machine as a script or a user finds it between runs: status and its
// exit codes, the reason lines of the program, the JSON object, the log.
class MachineStateTest : public TempDirTest {
protected:
    std::string Root() const { return (dir / "machine").string(); }
    // Changes the saved machine between runs.
    template <typename Change>
    void Edit(Change change) {
        ASSERT_TRUE(sim::OpenMachine(Root()));
        change();
        sim::SaveMachine();
    }
    ProgramRun Ctl(std::vector<std::string> args) {
        args.push_back("--sim-root");
        args.push_back(Root());
        return Program(args);
    }
    static Json Parse(const ProgramRun &run) {
        Json doc = Json::parse(run.out, nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << run.out;
        if (!doc.is_discarded()) {
            EXPECT_EQ(doc["exitCode"], run.exitCode) << run.out;
        }
        return doc;
    }
};

TEST_F(MachineStateTest, StatusTellsInstalledNotInstalledAndUnknownApart) {
    ProgramRun run = Ctl({"status"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::NotInstalled)) << run.err;
    EXPECT_EQ(run.out.rfind("component ZQ_DorvaneV: not installed\nwrite lock: free\n", 0), 0u)
        << run.out;
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    Edit([] { sim::HoldWriteLock(L"Other Setup"); });
    run = Ctl({"query"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("component ZQ_DorvaneV: installed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("write lock: held by \"Other Setup\"\n"), std::string::npos);
    Json doc = Parse(Ctl({"status", "--json"}));
    EXPECT_EQ(doc["command"], "status");
    EXPECT_EQ(doc["outcome"], "installed");
    EXPECT_EQ(doc["component"]["installedAfter"], true);
    EXPECT_EQ(doc["lock"]["held"], true);
    EXPECT_EQ(doc["lock"]["holder"], "Other Setup");
    EXPECT_EQ(doc["library"]["found"], true);
    EXPECT_EQ(doc["process"]["elevated"], true);

    // A machine file this program did not write is refused and kept as it is.
    const fs::path state = dir / "machine" / "machine.txt";
    std::ofstream(state, std::ios::app) << "frobnicated\tyes\n";
    const std::string damaged = ReadFile(state);
    run = Ctl({"status"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::StateUnknown));
    EXPECT_NE(run.err.find("unknown entry \"frobnicated\""), std::string::npos) << run.err;
    run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_NE(run.err.find("the simulated machine is refused"), std::string::npos) << run.err;
    std::ofstream(state, std::ios::trunc) << "garbage";
    run = Ctl({"install", "--json"});
    EXPECT_EQ(Parse(run)["outcome"], "failed");
    EXPECT_EQ(ReadFile(state), "garbage");
    (void)damaged;
}

TEST_F(MachineStateTest, ReasonLinesNameTheCauseTheMachineShows) {
    ProgramRun run;
    // Not elevated; then a 32-bit program under WOW64. The simulated
    // library itself ignores both, so they are tried on a failing removal.
    Edit([] { sim::SetElevated(false); });
    run = Ctl({"uninstall", "--no-cleanup"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_NE(run.out.find("\nreason: the process is not elevated: run from an elevated prompt"),
              std::string::npos)
        << run.out;
    Edit([] { sim::SetElevated(true), sim::SetWow64(true); });
    run = Ctl({"uninstall", "--no-cleanup", "--json"});
    Json doc = Parse(run);
    EXPECT_EQ(doc["reason"]["kind"], "wow64");
    EXPECT_EQ(doc["outcome"], "failed");
    EXPECT_EQ(doc["flags"]["timedOut"], false);
    Edit([] { sim::SetWow64(false); });

    // An INF that cannot be read: refused before the library runs.
    fs::create_directories(dir / "folder.inf");
    run = Ctl({"install", "--inf", "folder.inf"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out, "install: not run\nreason: the INF \"" + (dir / "folder.inf").string() +
                           "\" cannot be read (error 5)\n");
    // A relative path is the operator's current directory's file.
    fs::copy_file(kSampleInf, dir / "Relative.inf");
    run = Ctl({"install", "--inf", "Relative.inf", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_TRUE(sim::OpenMachine(Root()));
    EXPECT_EQ(ReadFile(sim::HostPath(std::string("C:\\Media\\Relative.inf"))),
              ReadFile(kSampleInf));

    // Not installed: the library's own answer without the clean-up.
    ASSERT_EQ(Ctl({"uninstall"}).exitCode, 0);
    doc = Parse(Ctl({"uninstall", "--no-cleanup", "--json"}));
    EXPECT_EQ(doc["reason"]["kind"], "not-installed");
    EXPECT_EQ(doc["component"]["installedBefore"], false);

    // The pre-flight checks: every one is listed; what the simulated machine
    // lacks (registry, trust provider) is unread, never ok.
    run = Ctl({"check"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 13) << run.out;
    EXPECT_NE(run.out.find("could not be read: not on the simulated machine"), std::string::npos);
    // Not elevated blocks: `check` says so, `install` is refused before the
    // library runs, and --no-check goes on (the simulated library ignores it).
    Edit([] { sim::SetElevated(false); });
    run = Ctl({"check", "--inf", "Relative.inf"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out.rfind("blocked  elevation: the process is not elevated; to do: run from an "
                            "elevated prompt (Run as administrator)\n",
                            0),
              0u)
        << run.out;
    doc = Parse(Ctl({"install", "--json"}));
    EXPECT_EQ(doc["reason"]["kind"], "preflight-elevation");
    EXPECT_EQ(doc["preflight"]["summary"]["blocked"], 1);
    EXPECT_EQ(doc["component"]["installedAfter"], nullptr);
    run = Ctl({"install", "--no-check"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err.find("check: "), std::string::npos) << run.err;
    // WOW64 blocks too; a missing INF is named in the check's JSON.
    Edit([] { sim::SetElevated(true), sim::SetWow64(true); });
    doc = Parse(Ctl({"check", "--json", "--inf", "gone.inf"}));
    EXPECT_EQ(doc["outcome"], "blocked");
    EXPECT_EQ(doc["checks"][1]["verdict"], "blocked");
    EXPECT_EQ(doc["checks"][2]["fact"], "the INF \"C:\\Media\\gone.inf\" does not exist");
}

TEST_F(MachineStateTest, JsonAndLogTellTheSameRun) {
    const fs::path log = dir / "run.log";
    ProgramRun run = Ctl({"install", "--json", "--log", log.string(), "--timeout", "60000"});
    Json doc = Parse(run);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(doc["command"], "install");
    EXPECT_EQ(doc["operation"], "install with a 60000 ms limit");
    EXPECT_EQ(doc["outcome"], "succeeded");
    EXPECT_EQ(doc["component"]["installedBefore"], false);
    EXPECT_EQ(doc["component"]["installedAfter"], true);
    EXPECT_TRUE(doc["reason"].is_null());
    EXPECT_EQ(run.err, "");

    // Appended, one timestamped line each, from the start to the exit code.
    run = Ctl({"uninstall", "--log", log.string()});
    const std::string text = ReadFile(log);
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z [^\n]+\n)");
    std::vector<std::string> lines;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        lines.push_back(it->str().substr(25));
    size_t total = 0;
    for (const auto &l : lines) total += l.size() + 25;
    EXPECT_EQ(total, text.size()) << text;
    ASSERT_GE(lines.size(), 10u) << text;
    EXPECT_EQ(lines[0].rfind("ndisfilterctl ", 0), 0u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "exit code 0\n"), 2) << text;
    EXPECT_NE(text.find("install with a 60000 ms limit returned TRUE"), std::string::npos) << text;
    EXPECT_NE(text.find("library: " + std::string(NDISFILTER_MODULE)), std::string::npos);

    // A log that cannot be written: one warning, and the same outcome.
    run = Ctl({"status", "--log", (dir / "no" / "such" / "dir.log").string()});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::NotInstalled));
    EXPECT_EQ(run.err.rfind("ndisfilterctl: warning: cannot write the log ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

    // A library that cannot be loaded still answers in JSON, with the error.
    doc = Parse(Ctl({"uninstall", "--json", "--library", (dir / "none.so").string()}));
    EXPECT_EQ(doc["outcome"], "failed");
    EXPECT_NE(doc["error"].get<std::string>().find("cannot load the library"), std::string::npos);
    EXPECT_EQ(doc["library"]["found"], false);
}

// report: one JSON document on stdout or in a new file; never over an
// existing file, never into a missing folder, nothing half-written left.
TEST_F(MachineStateTest, ReportIsOneJsonDocumentInANewFileOnly) {
    const fs::path existing = dir / "old.json", msiLog = dir / "msi.log";
    std::ofstream(existing) << "kept";
    std::u16string wide = u"\uFEFFMSI (s) Note: 1: 1708\r\nProduct: ZQ -- failed.\r\n";
    std::ofstream(msiLog, std::ios::binary)
        .write(reinterpret_cast<const char *>(wide.data()),
               static_cast<std::streamsize>(wide.size() * sizeof(char16_t)));
    const std::vector<std::string> files = Entries();
    const struct {
        std::string out;
        std::string error;
    } refused[] = {
        {existing.string(), "\"" + existing.string() + "\" exists already"},
        {(dir / "none" / "r.json").string(), "the folder \"" + (dir / "none").string()},
    };
    for (const auto &row : refused) {
        const ProgramRun run = Ctl({"report", "--out", row.out});
        EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed)) << row.out;
        EXPECT_EQ(run.err.rfind("report: " + row.error, 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(Entries(), files);
    }
    EXPECT_EQ(ReadFile(existing), "kept");
    EXPECT_EQ(Ctl({"status", "--out", "x"}).exitCode, Code(ExitStatus::BadUsage));

    ProgramRun run = Ctl({"report", "--out", "r.json", "--include-log", msiLog.string(),
                          "--include-log", (dir / "gone.log").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("report: written to " + (dir / "r.json").string(), 0), 0u) << run.out;
    EXPECT_EQ(Entries().size(), files.size() + 2) << "the report and the machine, nothing else";
    const Json doc = Json::parse(ReadFile(dir / "r.json"), nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_EQ(doc["status"]["outcome"], "not-installed");
    EXPECT_EQ(doc["includedLogs"][0]["encoding"], "utf-16le");
    EXPECT_EQ(doc["includedLogs"][0]["text"], "MSI (s) Note: 1: 1708\r\nProduct: ZQ -- failed.\r\n");
    EXPECT_FALSE(doc["includedLogs"][1]["error"].is_null());
    run = Ctl({"report"});
    EXPECT_EQ(Json::parse(run.out, nullptr, false)["report"], "ndisfilterctl support report");
}

TEST(Progress, ReportsWhileTheCallRunsAndNeverAfter) {
    ProgressStyle style;
    style.quietPeriod = style.interval = style.tick = std::chrono::milliseconds(0);
    for (bool inPlace : {false, true}) {
        style.inPlace = inPlace;
        std::atomic<int> shown{0};
        int finished = 0;
        std::atomic<bool> returned{false};
        RunWithProgress(
            [&] {
                // Ends only once a report was seen: the reports come from
                // another thread while this one runs.
                while (shown.load() < 2) std::this_thread::yield();
            },
            L"install", L"5000 ms", style,
            [&](const std::wstring &text, bool place) {
                EXPECT_FALSE(returned.load());
                EXPECT_EQ(place, inPlace);
                EXPECT_EQ(text.rfind(L"install: ", 0), 0u);
                ++shown;
            },
            [&] { ++finished; });
        returned = true;
        const int count = shown.load();
        EXPECT_GE(count, 2);
        EXPECT_EQ(finished, inPlace ? 1 : 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(shown.load(), count);  // nothing after the return
    }
    // Turned off: not a word, however long it takes.
    style.enabled = false;
    int shown = 0;
    RunWithProgress([] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }, L"x", L"y",
                    style, [&](const std::wstring &, bool) { ++shown; }, [] {});
    EXPECT_EQ(shown, 0);

    EXPECT_EQ(ProgressText(L"install with retry", std::chrono::milliseconds(12999), L"360 s"),
              L"install with retry: 12 s elapsed (worst case 360 s)");
    Operation op;
    op.retry = true;
    EXPECT_EQ(WorstCase(op), L"360 s, three attempts of 120 s");
    op.action = Action::Uninstall;  // tried once more, not undone and redone
    EXPECT_EQ(WorstCase(op), L"240 s, two attempts of 120 s");
    op.retry = false;
    op.timeoutMs = 1500;
    EXPECT_EQ(WorstCase(op), L"1500 ms");
    op.timeoutMs = INFINITE;
    EXPECT_EQ(WorstCase(op), L"no time limit");
}

TEST(Log, TimestampsAreUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{}), L"1970-01-01T00:00:00.000Z");
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{milliseconds(951782400123)}),
              L"2000-02-29T00:00:00.123Z");
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{milliseconds(4102444799999)}),
              L"2099-12-31T23:59:59.999Z");
}

// No marked copy is left behind, wherever the platform put it and however
// many there are; another driver's INF is never touched.
class InfStoreTest : public MachineStateTest {
protected:
    fs::path Store(const std::string &name) { return sim::HostPath("C:\\WINDOWS\\inf\\" + name); }
    std::vector<std::string> Names(const Json &list) {
        std::vector<std::string> names;
        for (const Json &item : list)
            names.push_back(item.is_string() ? item.get<std::string>()
                                             : item["name"].get<std::string>());
        return names;
    }
    using Strings = std::vector<std::string>;
};

TEST_F(InfStoreTest, UninstallLeavesNoMarkedCopyBehind) {
    // oem0..oem59 are taken by other drivers: the install becomes oem60,
    // past the library's purge.
    ASSERT_TRUE(sim::OpenMachine(Root()));
    for (int n = 0; n < 60; ++n)
        std::ofstream(Store("oem" + std::to_string(n) + ".inf"))
            << "; driver " << n << "\n[Version]\nSignature=\"$Windows NT$\"\n";
    sim::SaveMachine();
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    ASSERT_TRUE(fs::exists(Store("oem60.inf")));
    ProgramRun run = Ctl({"status"});
    EXPECT_NE(
        run.out.find("INF store C:\\WINDOWS\\inf: 1 marked copy\n  oem60.inf; .PNF present\n"),
        std::string::npos)
        << run.out;
    Json doc = Parse(Ctl({"uninstall", "--json"}));
    EXPECT_EQ(doc["outcome"], "succeeded");
    EXPECT_EQ(Names(doc["removedByLibrary"]), Strings{});
    EXPECT_EQ(Names(doc["removedByCleanup"]), Strings{"oem60.inf"});
    EXPECT_EQ(Names(doc["infStore"]["before"]), Strings{"oem60.inf"});
    EXPECT_TRUE(doc["infStore"]["after"].empty());
    EXPECT_FALSE(fs::exists(Store("oem60.inf")));
    EXPECT_FALSE(fs::exists(Store("oem60.PNF")));
    for (int n = 0; n < 60; ++n) EXPECT_TRUE(fs::exists(Store("oem" + std::to_string(n) + ".inf")));

    // Two versions installed one over the other: the library takes the
    // first, the clean-up the second. --no-cleanup leaves the second.
    const std::string sample = ReadFile(kSampleInf);
    std::ofstream(dir / "v2.inf") << sample << "; version 2\n";
    for (int n = 0; n < 60; ++n) fs::remove(Store("oem" + std::to_string(n) + ".inf"));
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    ASSERT_EQ(Ctl({"install", "-q", "--inf", "v2.inf"}).exitCode, 0);
    ASSERT_TRUE(fs::exists(Store("oem1.inf")));
    run = Ctl({"uninstall", "--no-cleanup"});
    EXPECT_EQ(run.out,
              "uninstall: succeeded; flags: none; INF copies removed by the library: oem0.inf\n");
    EXPECT_TRUE(fs::exists(Store("oem1.inf")));
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);  // oem0 again
    run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "uninstall: succeeded; flags: none; INF copies removed by the library: "
              "oem0.inf; by the clean-up: oem1.inf\n");
    EXPECT_FALSE(fs::exists(Store("oem1.inf")));

    // A copy the clean-up cannot delete (read-only): every path that runs the
    // clean-up fails, and names what remains.
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    ASSERT_EQ(Ctl({"install", "-q", "--inf", "v2.inf"}).exitCode, 0);
    Edit([] { sim::SetReadOnly("C:\\WINDOWS\\inf\\oem1.inf"); });
    const std::string remain = "reason: marked INF copies remain in the INF store: oem1.inf\n";
    run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_NE(run.out.find("uninstall: failed; flags: none; INF copies removed by the library: "
                           "oem0.inf; by the clean-up: none\n" +
                           remain),
              std::string::npos)
        << run.out;
    for (const char *command : {"uninstall", "cleanup"}) {
        run = Ctl({command});
        EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed)) << command;
        EXPECT_NE(run.out.find(std::string(command) + ": failed; "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n" + remain), std::string::npos) << run.out;
        doc = Parse(Ctl({command, "--json"}));
        EXPECT_EQ(doc["outcome"], "failed") << command;
        EXPECT_EQ(doc["reason"]["kind"], "inf-copies-remain") << command;
        EXPECT_EQ(doc["exitCode"], Code(ExitStatus::Failed)) << command;
    }
    EXPECT_TRUE(fs::exists(Store("oem1.inf")));
}

// A removal that fails while the component stays installed takes none of
// its INF copies: neither the library's purge nor the clean-up runs.
TEST_F(InfStoreTest, FailedUninstallKeepsEveryMarkedCopy) {
    std::ofstream(dir / "v2.inf") << ReadFile(kSampleInf) << "; version 2\n";
    struct Row {
        const char *what;
        void (*fault)();
        ExitStatus exit;
        const char *kind;
    };
    const Row rows[] = {
        {"the write lock held", [] { sim::HoldWriteLock(L"Other Setup"); }, ExitStatus::LockHeld,
         "lock-held"},
        {"Apply failing", [] { sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(E_FAIL), 0); },
         ExitStatus::Failed, "unknown"},
    };
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    ASSERT_EQ(Ctl({"install", "-q", "--inf", "v2.inf"}).exitCode, 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Edit(row.fault);
        Json doc = Parse(Ctl({"uninstall", "--json"}));
        EXPECT_EQ(doc["exitCode"], Code(row.exit));
        EXPECT_EQ(doc["reason"]["kind"], row.kind);
        EXPECT_EQ(doc["component"]["installedAfter"], true);
        EXPECT_EQ(Names(doc["removedByLibrary"]), Strings{});
        EXPECT_TRUE(doc["cleanup"].is_null()) << doc.dump();
        EXPECT_EQ(Names(doc["infStore"]["after"]), (Strings{"oem0.inf", "oem1.inf"}));
        EXPECT_TRUE(fs::exists(Store("oem0.inf")) && fs::exists(Store("oem1.inf")));
        Edit([] { sim::ReleaseHeldWriteLock(), sim::ClearScripts(); });
    }
    ProgramRun run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_FALSE(fs::exists(Store("oem0.inf")) || fs::exists(Store("oem1.inf")));
}

// cleanup takes the INF of an installed component (or one whose state is
// unknown) only with --force; --dry-run lists whatever the state.
TEST_F(InfStoreTest, CleanupRefusesWhileTheComponentMayBeInstalled) {
    const std::string copies = "1 marked copy left in C:\\WINDOWS\\inf\n";
    struct Row {
        const char *what;
        void (*state)();
        std::vector<std::string> args;
        ExitStatus exit;
        std::string out;  // the text's start
        bool copyStays;
    };
    const Row rows[] = {
        {"installed", [] {}, {"cleanup"}, ExitStatus::Failed,
         "cleanup: refused; " + copies +
             "reason: ZQ_DorvaneV is installed: uninstall it first (--force removes the copies "
             "anyway)\n",
         true},
        {"state unknown",
         [] { sim::Script(sim::Call::NetCfgInitialize, sim::Answer::Hr(E_ACCESSDENIED), 0); },
         {"cleanup"}, ExitStatus::Failed,
         "cleanup: refused; " + copies +
             "reason: whether ZQ_DorvaneV is installed could not be read (INetCfg::Initialize "
             "failed (0x80070005)): uninstall it first",
         true},
        {"dry run", [] {}, {"cleanup", "--dry-run"}, ExitStatus::Success,
         "oem0.inf: would be removed\ncleanup --dry-run: 1 marked copy would be removed", true},
        {"forced", [] {}, {"cleanup", "--force"}, ExitStatus::Success,
         "oem0.inf: removed\ncleanup: succeeded; 1 removed, 0 marked copies remain\n", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
        Edit(row.state);
        const ProgramRun run = Ctl(row.args);
        EXPECT_EQ(run.exitCode, Code(row.exit));
        EXPECT_EQ(run.out.rfind(row.out, 0), 0u) << run.out;
        EXPECT_EQ(fs::exists(Store("oem0.inf")), row.copyStays);
        Edit([] { sim::ClearScripts(); });
        EXPECT_EQ(Ctl({"uninstall", "--no-cleanup"}).exitCode, 0);
    }
    ASSERT_EQ(Ctl({"install", "-q"}).exitCode, 0);
    Json doc = Parse(Ctl({"cleanup", "--json"}));
    EXPECT_EQ(doc["outcome"], "refused");
    EXPECT_EQ(doc["component"]["installedBefore"], true);
}

TEST_F(InfStoreTest, CleanupRemovesExactlyTheMarkedCopies) {
    ASSERT_TRUE(sim::OpenMachine(Root()));
    const std::string sample = ReadFile(kSampleInf);
    std::ofstream(Store("oem3.inf")) << sample;
    std::ofstream(Store("oem3.PNF")) << "pnf";
    std::ofstream(Store("oem7.inf")) << "; another driver\n[Version]\n";
    // Saved as UTF-16 with a byte-order mark: the library cannot read it as ours.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("; DorvaneV.INF, saved as UTF-16\r\n[Version]\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    std::ofstream(Store("oem12.inf"), std::ios::binary) << utf16;
    std::ofstream(Store("DorvaneV.inf")) << sample;  // not an oem<N>.inf name: not ours to touch
    sim::SaveMachine();

    ProgramRun run = Ctl({"cleanup", "--dry-run"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "oem3.inf: would be removed\noem12.inf: would be removed\n"
              "cleanup --dry-run: 2 marked copies would be removed from C:\\WINDOWS\\inf\n");
    EXPECT_TRUE(fs::exists(Store("oem3.inf")));

    Json doc = Parse(Ctl({"cleanup", "--json"}));
    EXPECT_EQ(doc["outcome"], "succeeded");
    EXPECT_EQ(Names(doc["cleanup"]), (Strings{"oem3.inf", "oem12.inf"}));
    EXPECT_TRUE(doc["infStore"]["after"].empty());
    EXPECT_FALSE(fs::exists(Store("oem3.inf")));
    EXPECT_FALSE(fs::exists(Store("oem3.PNF")));
    EXPECT_FALSE(fs::exists(Store("oem12.inf")));
    EXPECT_TRUE(fs::exists(Store("oem7.inf")));
    EXPECT_TRUE(fs::exists(Store("DorvaneV.inf")));
    run = Ctl({"cleanup"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "cleanup: succeeded; 0 removed, 0 marked copies remain\n");
}

TEST_F(InfStoreTest, UninstallOfWhatIsNotThereSucceedsAndSaysSo) {
    ASSERT_TRUE(sim::OpenMachine(Root()));
    std::ofstream(Store("oem5.inf")) << ReadFile(kSampleInf);  // a leftover
    sim::SaveMachine();
    ProgramRun run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "uninstall: not installed; nothing to remove; INF copies removed by the "
              "clean-up: oem5.inf\n");
    EXPECT_FALSE(fs::exists(Store("oem5.inf")));
    Json doc = Parse(Ctl({"uninstall", "--json", "--retry"}));
    EXPECT_EQ(doc["outcome"], "not-installed");
    EXPECT_EQ(doc["exitCode"], 0);
    EXPECT_EQ(doc["component"]["installedBefore"], false);
    EXPECT_TRUE(doc["removedByCleanup"].empty());
    EXPECT_TRUE(doc["flags"].is_null());  // the library was not called

    // The library's own purge runs when the component was not installed (the
    // removal then fails), and is reported.
    std::ofstream(Store("oem5.inf")) << ReadFile(kSampleInf);
    run = Ctl({"uninstall", "--no-cleanup"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out,
              "uninstall: failed; flags: none; INF copies removed by the library: oem5.inf\n"
              "reason: ZQ_DorvaneV is not installed\n");
    // A store that cannot be listed is named as the reason, not as copies left.
    Edit([] { sim::SetWindowsDirectory(std::nullopt); });
    run = Ctl({"uninstall"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_NE(run.out.find("\nreason: the INF store could not be listed (error "),
              std::string::npos)
        << run.out;
}

}  // namespace
