// Command-line parsing for ndisfilterctl.
#include "cli_options.h"

#include <wctype.h>

#include <limits>

#include "cli_platform.h"

namespace ndisfilterctl {
namespace {

enum class Option {
    Inf,
    Timeout,
    Retry,
    Library,
    SimRoot,
    Log,
    Verbose,
    Json,
    Quiet,
    DryRun,
    NoCleanup,
    Help,
    Version,
    Count
};

struct KnownOption {
    const wchar_t *name;
    Option option;
    bool takesValue;
};

static const KnownOption kOptions[] = {
    {L"--inf", Option::Inf, true},
    {L"--timeout", Option::Timeout, true},
    {L"--retry", Option::Retry, false},
    {L"--library", Option::Library, true},
    {L"--sim-root", Option::SimRoot, true},
    {L"--log", Option::Log, true},
    {L"--verbose", Option::Verbose, false},
    {L"-v", Option::Verbose, false},
    {L"--json", Option::Json, false},
    {L"--quiet", Option::Quiet, false},
    {L"-q", Option::Quiet, false},
    {L"--dry-run", Option::DryRun, false},
    {L"--no-cleanup", Option::NoCleanup, false},
    {L"--help", Option::Help, false},
    {L"-h", Option::Help, false},
    {L"--version", Option::Version, false},
};

struct KnownCommand {
    const wchar_t *name;
    Action action;
};

static const KnownCommand kCommands[] = {
    {L"install", Action::Install}, {L"uninstall", Action::Uninstall}, {L"status", Action::Status},
    {L"query", Action::Status},    {L"cleanup", Action::Cleanup},
};

const KnownOption *FindOption(const std::wstring &name) {
    for (const KnownOption &known : kOptions)
        if (name == known.name) return &known;
    return nullptr;
}

bool EqualsIgnoringCase(const std::wstring &text, const wchar_t *word) {
    size_t i = 0;
    for (; i < text.size() && word[i] != L'\0'; ++i)
        if (towlower(static_cast<wint_t>(text[i])) != towlower(static_cast<wint_t>(word[i])))
            return false;
    return i == text.size() && word[i] == L'\0';
}

ParseResult Refuse(std::wstring error) { return ParseResult{std::nullopt, std::move(error), {}}; }

// The help switches Windows programs answer: /?, -? and /help, any case.
bool IsWindowsHelpSwitch(const std::wstring &arg) {
    return arg == L"/?" || arg == L"-?" || EqualsIgnoringCase(arg, L"/help");
}

}  // namespace

std::optional<DWORD> ParseTimeout(const std::wstring &text) {
    if (EqualsIgnoringCase(text, L"infinite")) return INFINITE;
    constexpr DWORD kLargest = std::numeric_limits<DWORD>::max();
    constexpr unsigned kBase = 10;
    if (text.empty() || text.size() > std::to_wstring(kLargest).size()) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * kBase + static_cast<unsigned>(c - L'0');
    }
    if (value > kLargest) return std::nullopt;
    return static_cast<DWORD>(value);
}

ParseResult ParseArguments(const std::vector<std::wstring> &args, bool simulatedMachine) {
    CliRequest request;
    bool haveCommand = false;
    bool seen[static_cast<int>(Option::Count)] = {};  // by option, whatever its spelling

    std::vector<std::wstring> warnings;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring &arg = args[i];
        if (IsWindowsHelpSwitch(arg)) {
            request.action = Action::Help;
            return ParseResult{request, {}, {}};
        }
        if (arg.size() < 2 || arg[0] != L'-') {
            if (haveCommand) return Refuse(L"unexpected argument \"" + arg + L"\"");
            const KnownCommand *command = nullptr;
            for (const KnownCommand &known : kCommands)
                if (arg == known.name) command = &known;
            if (!command) return Refuse(L"unknown command \"" + arg + L"\"");
            request.action = command->action;
            haveCommand = true;
            continue;
        }

        // --name=value or --name value
        std::wstring name = arg;
        std::optional<std::wstring> value;
        const size_t equals = arg.find(L'=');
        if (arg.compare(0, 2, L"--") == 0 && equals != std::wstring::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const KnownOption *known = FindOption(name);
        if (!known) return Refuse(L"unknown option \"" + name + L"\"");
        if (known->option == Option::Help) {
            request.action = Action::Help;
            return ParseResult{request, {}, {}};
        }
        if (known->option == Option::Version) {
            request.action = Action::Version;
            return ParseResult{request, {}, {}};
        }
        if (known->option == Option::SimRoot && !simulatedMachine)
            return Refuse(L"--sim-root applies only to the simulated machine of the host build");

        bool &already = seen[static_cast<int>(known->option)];
        if (already) return Refuse(L"option " + name + L" given twice");
        already = true;

        if (known->takesValue) {
            if (!value) {
                // The next argument is the value unless it is another
                // option: "--sim-root --verbose" forgot the folder.
                if (i + 1 >= args.size() || args[i + 1].compare(0, 2, L"--") == 0)
                    return Refuse(L"option " + name + L" needs a value");
                value = args[++i];
            }
            if (value->empty()) return Refuse(L"option " + name + L" needs a non-empty value");
        } else if (value) {
            return Refuse(L"option " + name + L" takes no value");
        }

        switch (known->option) {
            case Option::Inf:
                request.infPath = *value;
                break;
            case Option::Timeout:
                request.timeoutMs = ParseTimeout(*value);
                if (!request.timeoutMs)
                    return Refuse(L"time limit \"" + *value +
                                  L"\" is not a number of milliseconds from 0 to 4294967295 "
                                  L"or \"infinite\"");
                if (*request.timeoutMs < kShortTimeoutWarningMs)
                    warnings.push_back(L"a time limit under " +
                                       std::to_wstring(kShortTimeoutWarningMs) +
                                       L" ms may end the worker while it holds a lock of the "
                                       L"platform, leaving this process deadlocked");
                break;
            case Option::Retry:
                request.retry = true;
                break;
            case Option::Library:
                request.libraryPath = *value;
                break;
            case Option::SimRoot:
                request.simRoot = *value;
                break;
            case Option::Log:
                request.logPath = *value;
                break;
            case Option::Verbose:
                request.verbose = true;
                break;
            case Option::Json:
                request.json = true;
                break;
            case Option::Quiet:
                request.quiet = true;
                break;
            case Option::DryRun:
                request.dryRun = true;
                break;
            case Option::NoCleanup:
                request.noCleanup = true;
                break;
            case Option::Help:
            case Option::Version:
            case Option::Count:
                break;
        }
    }

    if (!haveCommand) return Refuse(L"no command given");
    const bool operation = request.action == Action::Install || request.action == Action::Uninstall;
    if (request.timeoutMs && request.retry)
        return Refuse(L"--timeout and --retry cannot be combined");
    if ((request.timeoutMs || request.retry) && !operation)
        return Refuse(std::wstring(request.retry ? L"--retry" : L"--timeout") +
                      L" applies to install and uninstall only");
    if (request.infPath && request.action != Action::Install)
        return Refuse(L"--inf applies to install only");
    if (request.dryRun && request.action != Action::Cleanup)
        return Refuse(L"--dry-run applies to cleanup only");
    if (request.noCleanup && request.action != Action::Uninstall)
        return Refuse(L"--no-cleanup applies to uninstall only");
    return ParseResult{request, {}, warnings};
}

std::wstring UsageText(const ExitCodeTable &codes, bool simulatedMachine) {
    std::wstring text =
        L"usage: ndisfilterctl install [--inf PATH] [--timeout MS | --retry] [options]\n"
        L"       ndisfilterctl uninstall [--timeout MS | --retry] [--no-cleanup] [options]\n"
        L"       ndisfilterctl status [options]          (also: query)\n"
        L"       ndisfilterctl cleanup [--dry-run] [options]\n"
        L"       ndisfilterctl --help | /? | --version\n"
        L"\n"
        L"Installs, removes or reports the network filter component ZQ_DorvaneV through\n"
        L"the ndisfilter library, and removes every copy of its INF from the INF store.\n"
        L"\n"
        L"  --inf PATH       INF to install (default: DorvaneV.inf beside the program)\n"
        L"  --timeout MS     run on a worker abandoned after MS milliseconds\n"
        L"                   (0 to 4294967295; 4294967295 or \"infinite\": no limit)\n"
        L"  --retry          two-minute limit, with one more attempt after a timeout\n"
        L"  --no-cleanup     uninstall: only the library's removal, no INF store clean-up\n"
        L"  --dry-run        cleanup: list the copies that would go, change nothing\n"
        L"  --library PATH   library to load (default: the one beside the program)\n"
        L"  --json           one JSON object on standard output instead of text\n"
        L"  --log FILE       append timestamped lines (UTC) about the run to FILE\n"
        L"  --quiet, -q      no progress report on standard error\n";
    if (simulatedMachine) {
        text +=
            L"  --sim-root DIR   folder of the simulated machine (default: .ndisfilter-sim)\n"
            L"  --verbose, -v    report what changed on the simulated machine\n";
    } else {
        text += L"  --verbose, -v    report INF files added to or deleted from the INF store\n";
    }
    text +=
        L"  --help, -h, /?   show this text\n"
        L"  --version        show the program's version\n"
        L"\n"
        L"Exit codes:\n";
    for (const ExitCodeTable::Entry &entry : codes.entries) {
        std::wstring code = std::to_wstring(entry.code);
        constexpr size_t kCodeColumn = 6;  // the codes' column, then their meanings
        text += L"  " + code +
                std::wstring(code.size() < kCodeColumn ? kCodeColumn - code.size() : 1, L' ') +
                entry.meaning + L"\n";
    }
    return text;
}

namespace {

// What each exit status means, and its code in each build: Windows follows
// the installer conventions deployment tools understand; the host keeps the
// same meanings in eight bits.
struct ExitCodeRow {
    ExitStatus status;
    int windowsCode;
    int hostCode;
    const wchar_t *meaning;
};

constexpr ExitCodeRow kExitCodeRows[kExitStatusCount] = {
    {ExitStatus::Success, 0, 0, L"success (status: the component is installed)"},
    {ExitStatus::RestartRequired, 3010, 3, L"success; a restart is required to finish"},
    {ExitStatus::Cancelled, 1223, 4, L"cancelled"},
    {ExitStatus::TimedOut, 1460, 5, L"timed out"},
    {ExitStatus::Failed, 1603, 1, L"failed (cleanup: a marked INF copy remains)"},
    {ExitStatus::BadUsage, 87, 2, L"bad usage; nothing was done"},
    {ExitStatus::NotInstalled, 1605, 6, L"status: the component is not installed"},
    {ExitStatus::StateUnknown, 1627, 7, L"status: whether it is installed could not be found out"},
};

ExitCodeTable MakeTable(bool windows) {
    ExitCodeTable table{};
    for (int i = 0; i < kExitStatusCount; ++i) {
        const ExitCodeRow &row = kExitCodeRows[i];
        table.entries[i] = {row.status, windows ? row.windowsCode : row.hostCode, row.meaning};
    }
    return table;
}

}  // namespace

const ExitCodeTable &ExitCodesFor(bool simulatedMachine) {
    static const ExitCodeTable windows = MakeTable(true);
    static const ExitCodeTable host = MakeTable(false);
    return simulatedMachine ? host : windows;
}

const ExitCodeTable &PlatformExitCodes() { return ExitCodesFor(HasSimulatedMachine()); }

int ExitCodeTable::CodeFor(ExitStatus status) const {
    return entries[static_cast<int>(status)].code;
}

}  // namespace ndisfilterctl
