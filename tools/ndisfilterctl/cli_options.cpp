// Command-line parsing for ndisfilterctl.
#include "cli_options.h"

#include <wctype.h>

#include "cli_platform.h"

namespace ndisfilterctl {
namespace {

enum class Option { Inf, Timeout, Retry, Library, SimRoot, Verbose, Help, Version, Count };

struct KnownOption {
    const wchar_t *name;
    Option option;
    bool takesValue;
};

static const KnownOption kOptions[] = {
    {L"--inf", Option::Inf, true},          {L"--timeout", Option::Timeout, true},
    {L"--retry", Option::Retry, false},     {L"--library", Option::Library, true},
    {L"--sim-root", Option::SimRoot, true}, {L"--verbose", Option::Verbose, false},
    {L"-v", Option::Verbose, false},        {L"--help", Option::Help, false},
    {L"-h", Option::Help, false},           {L"--version", Option::Version, false},
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

ParseResult Refuse(std::wstring error) { return ParseResult{std::nullopt, std::move(error)}; }

}  // namespace

std::optional<DWORD> ParseTimeout(const std::wstring &text) {
    if (EqualsIgnoringCase(text, L"infinite")) return INFINITE;
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<DWORD>(value);
}

ParseResult ParseArguments(const std::vector<std::wstring> &args, bool simulatedMachine) {
    CliRequest request;
    bool haveCommand = false;
    bool seen[static_cast<int>(Option::Count)] = {};  // by option, whatever its spelling

    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring &arg = args[i];
        if (arg.size() < 2 || arg[0] != L'-') {
            if (haveCommand) return Refuse(L"unexpected argument \"" + arg + L"\"");
            if (arg == L"install")
                request.action = Action::Install;
            else if (arg == L"uninstall")
                request.action = Action::Uninstall;
            else
                return Refuse(L"unknown command \"" + arg + L"\"");
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
            return ParseResult{request, {}};
        }
        if (known->option == Option::Version) {
            request.action = Action::Version;
            return ParseResult{request, {}};
        }
        if (known->option == Option::SimRoot && !simulatedMachine)
            return Refuse(L"--sim-root applies only to the simulated machine of the host build");

        bool &already = seen[static_cast<int>(known->option)];
        if (already) return Refuse(L"option " + name + L" given twice");
        already = true;

        if (known->takesValue) {
            if (!value) {
                if (i + 1 >= args.size()) return Refuse(L"option " + name + L" needs a value");
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
            case Option::Verbose:
                request.verbose = true;
                break;
            case Option::Help:
            case Option::Version:
            case Option::Count:
                break;
        }
    }

    if (!haveCommand) return Refuse(L"no command given");
    if (request.timeoutMs && request.retry)
        return Refuse(L"--timeout and --retry cannot be combined");
    if (request.infPath && request.action != Action::Install)
        return Refuse(L"--inf applies to install only");
    return ParseResult{request, {}};
}

std::wstring UsageText(const ExitCodeTable &codes, bool simulatedMachine) {
    std::wstring text =
        L"usage: ndisfilterctl install [--inf PATH] [--timeout MS | --retry] [options]\n"
        L"       ndisfilterctl uninstall [--timeout MS | --retry] [options]\n"
        L"       ndisfilterctl --help | --version\n"
        L"\n"
        L"Installs or removes the network filter component ZQ_DorvaneV through the\n"
        L"ndisfilter library.\n"
        L"\n"
        L"  --inf PATH       INF to install (default: DorvaneV.inf beside the program)\n"
        L"  --timeout MS     run on a worker abandoned after MS milliseconds\n"
        L"                   (0 to 4294967295; 4294967295 or \"infinite\": no limit)\n"
        L"  --retry          two-minute limit, with one more attempt after a timeout\n"
        L"  --library PATH   library to load (default: the one beside the program)\n";
    if (simulatedMachine) {
        text +=
            L"  --sim-root DIR   folder of the simulated machine (default: .ndisfilter-sim)\n"
            L"  --verbose, -v    report what changed on the simulated machine\n";
    } else {
        text += L"  --verbose, -v    report INF files added to or deleted from the INF store\n";
    }
    text +=
        L"  --help, -h       show this text\n"
        L"  --version        show the program's version\n"
        L"\n"
        L"Exit codes:\n";
    for (const ExitCodeTable::Entry &entry : codes.entries) {
        std::wstring code = std::to_wstring(entry.code);
        text += L"  " + code + std::wstring(code.size() < 6 ? 6 - code.size() : 1, L' ') +
                entry.meaning + L"\n";
    }
    return text;
}

int ExitCodeTable::CodeFor(ExitStatus status) const {
    return entries[static_cast<int>(status)].code;
}

}  // namespace ndisfilterctl
