// What one run of ndisfilterctl found and did, as a plain value per command:
// the commands (commands/) fill one in, the views (views/) render a finished
// one as text or JSON. Nothing here acts or prints.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_platform.h"
#include "tools/common/diagnosis.h"
#include "tools/common/inf_store.h"
#include "tools/common/netcfg_query.h"
#include "tools/common/preflight.h"
#include "tools/common/setupapi_log.h"

namespace ndisfilterctl {

namespace diag = ndisfilter::tools;
namespace store = ndisfilter::infstore;

// One library operation as asked for.
struct Operation {
    Action action = Action::Install;  // Install or Uninstall
    LPCWSTR infPath = nullptr;        // install only; null: the library's default
    std::optional<DWORD> timeoutMs;
    bool retry = false;
};

// The library's answer to it.
struct Outcome {
    bool ran = false;    // the library was loaded and the operation called
    std::wstring error;  // why not, when !ran
    BOOL result = FALSE;
    BOOL restartRequired = FALSE;
    BOOL cancelled = FALSE;
    BOOL timedOut = FALSE;
};

// The library a run looked for, without loading it.
struct LibraryFacts {
    std::wstring path;  // absolute
    bool found = false;
    std::optional<std::wstring> version;  // from its version resource
};

// The INF store as the run first found it and as it left it.
struct StoreListing {
    store::InfStoreScan before;
    store::InfStoreScan after;
};

// Whether the component was installed before and after the run (absent:
// not known).
struct ComponentStates {
    std::optional<bool> before;
    std::optional<bool> after;
};

// A clean-up that could not make sure that no marked copy remains.
struct CopiesRemain {
    std::optional<store::InfStoreScan> unlisted;  // the listing that failed, if one did
    std::vector<std::wstring> remaining;          // else the marked copies left
};

// What this program refuses to do before it changes anything.
struct Refusal {
    enum class Kind {
        ComponentInstalled,     // cleanup: the copies are the installed component's INF
        ComponentStateUnknown,  // cleanup: whether they are could not be read
        EmulatedProgram,        // install: the driver would be built for the wrong machine
    } kind = Kind::ComponentInstalled;
    std::wstring whyUnknown;  // ComponentStateUnknown: the failed read
    std::wstring program;     // EmulatedProgram: the program's architecture
    std::wstring machine;     // EmulatedProgram: the machine's
};

// Why a run failed: the shared diagnosis's reason, copies a clean-up left, a
// refusal of this program's own, or the pre-flight check that refused an
// install.
struct Reason {
    diag::FailureReason diagnosis;  // when the others are absent
    std::optional<CopiesRemain> copiesRemain;
    std::optional<Refusal> refusal = std::nullopt;
    std::optional<diag::Check> blockedBy = std::nullopt;
    // The setup log's failed section, for a diagnosis that was Unknown
    // (commands/setup_log_reason.h); its line replaces the diagnosis's text.
    std::optional<diag::SetupLogFailure> setupLog = std::nullopt;
};

// How every run ends.
struct RunEnd {
    ExitStatus exit = ExitStatus::Failed;
    int exitCode = 0;                   // `exit` in this build's codes, set as the run ends
    std::optional<std::wstring> error;  // what kept the run from its work
    std::optional<Reason> reason;
};

// --- status -------------------------------------------------------------------

struct StatusFacts {
    diag::NetCfgQuery query;  // the component and the write lock
    store::InfStoreScan store;
    diag::ProcessFacts process;
    std::wstring nativeMachine;  // ReadNativeMachine: arm64 where an x64 program is emulated
};

struct StatusRecord {
    RunEnd end;
    LibraryFacts library;
    std::optional<StatusFacts> found;  // absent: the machine could not be opened
};

// --- install, uninstall ---------------------------------------------------------

// How far the run got.
enum class OperationStage {
    RefusedUsage,  // --inf cannot be used at all: bad usage
    RefusedInf,    // --inf missing or unreadable: not run
    RefusedMachine,  // install: a program emulated on another architecture: not run
    RefusedByCheck,  // a pre-flight check blocked: not run
    NotLoaded,     // the library or the machine could not be opened
    NotInstalled,  // uninstall of what is not there: only the clean-up ran
    Called,        // the library was called
};

// What --verbose compares.
struct MachineChanges {
    std::wstring machine;  // Machine::Description
    MachineSnapshot before;
    MachineSnapshot after;
};

struct OperationRecord {
    RunEnd end;
    Operation operation;  // infPath is not kept
    OperationStage stage = OperationStage::Called;
    std::optional<std::wstring> inf;  // --inf as the operator knows it
    std::optional<LibraryFacts> library;
    ComponentStates component;
    std::optional<StoreListing> infStore;
    // The pre-flight checks; absent with --no-check or when the run ended before them.
    std::optional<diag::PreflightResult> preflight;
    Outcome outcome;  // the library's answer; NotLoaded: the error
    // Uninstall: the marked copies the library's purge took.
    std::optional<std::vector<std::wstring>> removedByLibrary;
    std::optional<store::CleanupReport> cleanup;  // the clean-up after a removal
    std::optional<MachineChanges> changes;        // --verbose
};

// --- cleanup --------------------------------------------------------------------

struct CleanupRecord {
    RunEnd end;
    bool dryRun = false;
    // Read unless --dry-run: the clean-up refuses unless it is known to be
    // not installed, or --force is given.
    ComponentStates component;
    bool refused = false;  // then report holds the listing alone, nothing removed
    std::optional<store::CleanupReport> report;  // absent: the machine could not be opened
};

// --- check -----------------------------------------------------------------------

struct CheckRecord {
    RunEnd end;
    std::optional<std::wstring> inf;               // the INF checked, as the operator knows it
    std::optional<diag::PreflightResult> result;  // absent: the machine could not be opened
};

// --- Facts read off the parts, for commands and views alike ----------------------

std::vector<std::wstring> MarkedNames(const store::InfStoreScan &scan);
std::vector<std::wstring> RemovedNames(const store::CleanupReport &report);
// The names added and removed between two lists; ignoreCase for component
// ids and store names, which the platform compares without case.
struct NameChanges {
    std::vector<std::wstring> added;
    std::vector<std::wstring> removed;
};
NameChanges CompareNames(const std::vector<std::wstring> &before,
                         const std::vector<std::wstring> &after, bool ignoreCase);
// Whether the clean-up after the removal left a marked copy (or could not
// tell): the run then fails, whatever the library answered.
bool CleanupFailed(const OperationRecord &record);
// The exit status of a failure the reason explains: another program holding
// the write lock is worth a retry (1618), anything else is a failure.
ExitStatus FailureStatus(const std::optional<Reason> &reason);

}  // namespace ndisfilterctl
