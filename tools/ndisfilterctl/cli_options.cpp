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
    Force,
    NoCheck,
    Help,
    Version,
    Out,
    IncludeLog,
    Count
};

// What an option sets: a switch, a text, or (--timeout) a parsed value.
struct KnownOption {
    const wchar_t *name;
    Option option;
    bool takesValue;
    bool CliRequest::*flag;
    std::optional<std::wstring> CliRequest::*text;
};

static const KnownOption kOptions[] = {
    {L"--inf", Option::Inf, true, nullptr, &CliRequest::infPath},
    {L"--timeout", Option::Timeout, true, nullptr, nullptr},
    {L"--retry", Option::Retry, false, &CliRequest::retry, nullptr},
    {L"--library", Option::Library, true, nullptr, &CliRequest::libraryPath},
    {L"--sim-root", Option::SimRoot, true, nullptr, &CliRequest::simRoot},
    {L"--log", Option::Log, true, nullptr, &CliRequest::logPath},
    {L"--verbose", Option::Verbose, false, &CliRequest::verbose, nullptr},
    {L"-v", Option::Verbose, false, &CliRequest::verbose, nullptr},
    {L"--json", Option::Json, false, &CliRequest::json, nullptr},
    {L"--quiet", Option::Quiet, false, &CliRequest::quiet, nullptr},
    {L"-q", Option::Quiet, false, &CliRequest::quiet, nullptr},
    {L"--dry-run", Option::DryRun, false, &CliRequest::dryRun, nullptr},
    {L"--no-cleanup", Option::NoCleanup, false, &CliRequest::noCleanup, nullptr},
    {L"--force", Option::Force, false, &CliRequest::force, nullptr},
    {L"--no-check", Option::NoCheck, false, &CliRequest::noCheck, nullptr},
    {L"--help", Option::Help, false, nullptr, nullptr},
    {L"-h", Option::Help, false, nullptr, nullptr},
    {L"--version", Option::Version, false, nullptr, nullptr},
    {L"--out", Option::Out, true, nullptr, &CliRequest::outPath},
    {L"--include-log", Option::IncludeLog, true, nullptr, nullptr},
};

struct KnownCommand {
    const wchar_t *name;
    Action action;
};

static const KnownCommand kCommands[] = {
    {L"install", Action::Install}, {L"uninstall", Action::Uninstall}, {L"status", Action::Status},
    {L"query", Action::Status},    {L"cleanup", Action::Cleanup},     {L"check", Action::Check},
    {L"report", Action::Report},
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
    constexpr size_t kMostDigits = 10;  // 4294967295
    constexpr unsigned long long kBase = 10;
    if (EqualsIgnoringCase(text, L"infinite")) return INFINITE;
    if (text.empty() || text.size() > kMostDigits) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * kBase + static_cast<unsigned>(c - L'0');
    }
    if (value > std::numeric_limits<DWORD>::max()) return std::nullopt;
    return static_cast<DWORD>(value);
}

namespace {

// The value of an option that takes one ("--name=value" already split off,
// or the next argument); an error when there is none or it is empty.
std::optional<std::wstring> TakeValue(const std::vector<std::wstring> &args, size_t &i,
                                      const std::wstring &name,
                                      std::optional<std::wstring> &value) {
    if (!value) {
        // The next argument is the value unless it is another option:
        // "--sim-root --verbose" forgot the folder.
        if (i + 1 >= args.size() || args[i + 1].compare(0, 2, L"--") == 0)
            return L"option " + name + L" needs a value";
        value = args[++i];
    }
    if (value->empty()) return L"option " + name + L" needs a non-empty value";
    return std::nullopt;
}

// What one option asks for, set in the request; an error when its value is
// refused.
std::optional<std::wstring> Apply(const KnownOption &known,
                                  const std::optional<std::wstring> &value, CliRequest &request,
                                  std::vector<std::wstring> &warnings) {
    if (known.flag) request.*known.flag = true;
    if (known.text) request.*known.text = *value;
    if (known.option == Option::IncludeLog) request.includeLogs.push_back(*value);
    if (known.option != Option::Timeout) return std::nullopt;
    request.timeoutMs = ParseTimeout(*value);
    if (!request.timeoutMs)
        return L"time limit \"" + *value +
               L"\" is not a number of milliseconds from 0 to 4294967295 or \"infinite\"";
    if (*request.timeoutMs < kShortTimeoutWarningMs)
        warnings.push_back(L"a time limit under " + std::to_wstring(kShortTimeoutWarningMs) +
                           L" ms may end the worker while it holds a lock of the platform, "
                           L"leaving this process deadlocked");
    return std::nullopt;
}

// Options that do not go together, or belong to another command.
std::optional<std::wstring> RefusedCombination(const CliRequest &request) {
    const bool operation = request.action == Action::Install || request.action == Action::Uninstall;
    if (request.timeoutMs && request.retry) return L"--timeout and --retry cannot be combined";
    if ((request.timeoutMs || request.retry) && !operation)
        return std::wstring(request.retry ? L"--retry" : L"--timeout") +
               L" applies to install and uninstall only";
    if (request.infPath && request.action != Action::Install && request.action != Action::Check)
        return L"--inf applies to install and check only";
    if (request.noCheck && request.action != Action::Install)
        return L"--no-check applies to install only";
    if (request.dryRun && request.action != Action::Cleanup)
        return L"--dry-run applies to cleanup only";
    if (request.noCleanup && request.action != Action::Uninstall)
        return L"--no-cleanup applies to uninstall only";
    if (request.force && request.action != Action::Cleanup) return L"--force applies to cleanup only";
    if ((request.outPath || !request.includeLogs.empty()) && request.action != Action::Report)
        return std::wstring(request.outPath ? L"--out" : L"--include-log") +
               L" applies to report only";
    return std::nullopt;
}

}  // namespace

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
        if (known->option == Option::Help || known->option == Option::Version) {
            request.action = known->option == Option::Help ? Action::Help : Action::Version;
            return ParseResult{request, {}, {}};
        }
        if (known->option == Option::SimRoot && !simulatedMachine)
            return Refuse(L"--sim-root applies only to the simulated machine of the host build");

        bool &already = seen[static_cast<int>(known->option)];
        if (already && known->option != Option::IncludeLog)
            return Refuse(L"option " + name + L" given twice");
        already = true;

        std::optional<std::wstring> error;
        if (known->takesValue)
            error = TakeValue(args, i, name, value);
        else if (value)
            error = L"option " + name + L" takes no value";
        if (!error) error = Apply(*known, value, request, warnings);
        if (error) return Refuse(*error);
    }

    if (!haveCommand) return Refuse(L"no command given");
    if (const std::optional<std::wstring> error = RefusedCombination(request))
        return Refuse(*error);
    return ParseResult{request, {}, warnings};
}

}  // namespace ndisfilterctl
