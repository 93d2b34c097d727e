// ndisfilterctl's usage text and its exit codes: what each outcome means and
// its code in each build.
#include "cli_options.h"
#include "cli_platform.h"

namespace ndisfilterctl {

std::wstring UsageText(const ExitCodeTable &codes, bool simulatedMachine) {
    std::wstring text =
        L"usage: ndisfilterctl install [--inf PATH] [--timeout MS | --retry] [--no-check] [options]\n"
        L"       ndisfilterctl uninstall [--timeout MS | --retry] [--no-cleanup] [options]\n"
        L"       ndisfilterctl status [options]          (also: query)\n"
        L"       ndisfilterctl cleanup [--dry-run] [--force] [options]\n"
        L"       ndisfilterctl check [--inf PATH] [options]   (reads only)\n"
        L"       ndisfilterctl report [--out FILE] [--include-log FILE]... [options]\n"
        L"       ndisfilterctl --help | /? | --version\n"
        L"\n"
        L"Installs, removes or reports the network filter component ZQ_DorvaneV through\n"
        L"the ndisfilter library, and removes every copy of its INF from the INF store.\n"
        L"\n"
        L"  --inf PATH       INF to install or check (default: DorvaneV.inf beside the program)\n"
        L"  --no-check       install: skip the checks that refuse what is certain to fail\n"
        L"  --timeout MS     run on a worker abandoned after MS milliseconds\n"
        L"                   (0 to 4294967295; 4294967295 or \"infinite\": no limit)\n"
        L"  --retry          two-minute limit, with one more attempt after a timeout\n"
        L"  --no-cleanup     uninstall: only the library's removal, no INF store clean-up\n"
        L"  --dry-run        cleanup: list the copies that would go, change nothing\n"
        L"  --force          cleanup: remove them even while the component is installed\n"
        L"  --out FILE       report: create FILE (never overwritten) instead of stdout\n"
        L"  --include-log F  report: add the end of an ndisfilterctl or msiexec log\n"
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
    constexpr size_t kCodeColumn = 6;  // the meanings line up after the codes
    for (const ExitCodeTable::Entry &entry : codes.entries) {
        std::wstring code = std::to_wstring(entry.code);
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
    {ExitStatus::Failed, 1603, 1,
     L"failed (cleanup: a marked INF copy remains, or the component is installed)"},
    {ExitStatus::BadUsage, 87, 2, L"bad usage; nothing was done"},
    {ExitStatus::NotInstalled, 1605, 6, L"status: the component is not installed"},
    {ExitStatus::StateUnknown, 1627, 7, L"status: whether it is installed could not be found out"},
    // ERROR_INSTALL_ALREADY_RUNNING: deployment tools retry it by themselves.
    {ExitStatus::LockHeld, 1618, 8,
     L"failed: another program holds the network configuration's write lock; retry later"},
    {ExitStatus::RestartFirst, 350, 9, L"check, install: restart first (a removal waits for it)"},
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
