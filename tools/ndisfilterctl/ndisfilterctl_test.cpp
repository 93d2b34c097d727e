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
#include <sim/machine.h>

#include "cli_options.h"
#include "cli_platform.h"
#include "cli_run.h"

namespace fs = std::filesystem;
using namespace ndisfilterctl;

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

    const ParseResult both = ParseArguments(
        Args({L"--timeout=250", L"-v", L"install", L"--inf", L"--odd-name.inf"}), false);
    ASSERT_TRUE(both.request);
    EXPECT_EQ(both.request->action, Action::Install);
    EXPECT_EQ(both.request->timeoutMs, 250u);
    EXPECT_TRUE(both.request->verbose);
    EXPECT_EQ(both.request->infPath,
              L"--odd-name.inf");  // a value, even if it looks like an option

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
        EXPECT_EQ(run.err.rfind("ndisfilterctl: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("usage: ndisfilterctl install"), std::string::npos);
        EXPECT_TRUE(Entries().empty()) << "bad usage left " << Entries().front();
    }

    // --help and --version answer on stdout, touch nothing, and the exit
    // codes listed are the ones the program uses.
    const ProgramRun help = Program({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    const ExitCodeTable &codes = PlatformExitCodes();
    for (int i = 0; i < kExitStatusCount; ++i) {
        const ExitCodeTable::Entry &entry = codes.entries[i];
        EXPECT_EQ(static_cast<int>(entry.status), i) << "table out of order at " << i;
        EXPECT_GE(entry.code, 0);
        EXPECT_LE(entry.code, 255);
        for (int j = 0; j < i; ++j) EXPECT_NE(codes.entries[j].code, entry.code);
        EXPECT_NE(help.out.find("\n  " + std::to_string(entry.code) + " "), std::string::npos)
            << "code " << entry.code << " missing from --help";
    }
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
    EXPECT_EQ(run.out.rfind("uninstall: succeeded; flags: none\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("  component ZQ_DorvaneV removed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  C:\\WINDOWS\\inf\\oem0.inf deleted\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  C:\\WINDOWS\\inf\\oem0.PNF deleted\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("added"), std::string::npos) << run.out;

    sim::OpenMachine(root.string());
    EXPECT_FALSE(sim::ComponentInstalled(L"ZQ_DorvaneV"));
    EXPECT_FALSE(fs::exists(sim::HostPath(std::string("C:\\WINDOWS\\inf\\oem0.inf"))));

    // Nothing left to remove: a failure, and a machine unchanged.
    run = Program({"uninstall", "-v"});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out, "uninstall: failed; flags: none\nchanges on the simulated machine " +
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
    EXPECT_EQ(run.out, "uninstall with retry: succeeded; flags: none\n");

    // A missing INF: the library's failure, not a usage error, and no
    // earlier copy of that name stands in for it.
    const fs::path gone = dir / "DorvaneV.inf";
    run = Program({"install", "--inf", gone.string(), "--sim-root", root});
    EXPECT_EQ(run.exitCode, Code(ExitStatus::Failed));
    EXPECT_EQ(run.out, "install: failed; flags: none\n");
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

}  // namespace
