// ndisfilterctl on the Linux host: the library is ndisfilter.so, and the
// machine is the platform layer's simulated one, kept in a folder between
// runs. Exit codes keep the Windows meanings in eight bits.
#include "cli_platform.h"
#include "cli_run.h"
#include "tools/common/wide_text.h"

#include <sim/machine.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <system_error>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ndisfilter/setup/product.h"

namespace fs = std::filesystem;
using ndisfilter::text::Narrow;
using ndisfilter::text::Widen;

namespace ndisfilterctl {
namespace {

constexpr const char *kDefaultSimRoot = ".ndisfilter-sim";
// Where the simulated machine believes this program lives; the library's
// default INF is looked for beside it.
constexpr const wchar_t *kSimulatedProgramDirectory = L"C:\\Program Files\\ndisfilterctl";
constexpr const wchar_t *kSimulatedProgram = L"C:\\Program Files\\ndisfilterctl\\ndisfilterctl.exe";
// Where an --inf given as a host file is placed inside the simulated machine.
constexpr const wchar_t *kSimulatedMediaDirectory = L"C:\\Media";

}  // namespace

namespace {

// "X:" followed by a separator or nothing: a path inside the simulated machine.
bool IsSimulatedPath(const std::wstring &path) {
    return path.size() >= 2 && path[1] == L':' &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

// Makes `windowsPath` inside the simulated machine a copy of the host file
// `source`, or absent when the source is missing, so that the library meets
// the same file the operator named.
bool Mirror(const fs::path &source, const std::wstring &windowsPath, std::wstring &error) {
    const fs::path target = sim::HostPath(windowsPath);
    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
        fs::remove(target, ec);
        return true;
    }
    fs::create_directories(target.parent_path(), ec);
    if (!ec) fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = L"cannot place " + Widen(source.string()) + L" in the simulated machine: " +
                Widen(ec.message());
        return false;
    }
    return true;
}

bool IsStoreFileName(const std::string &name) {
    // Every INF and precompiled INF, whatever the letter case.
    const size_t dot = name.rfind('.');
    return dot != std::string::npos && (strcasecmp(name.c_str() + dot, ".inf") == 0 ||
                                        strcasecmp(name.c_str() + dot, ".pnf") == 0);
}

}  // namespace

bool HasSimulatedMachine() { return true; }
const wchar_t *LibraryFileName() { return L"ndisfilter.so"; }

std::wstring ProgramDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::wstring(L".") : Widen(self.parent_path().string());
}

std::wstring JoinPath(const std::wstring &directory, const wchar_t *name) {
    return directory + L"/" + name;
}

bool IsTerminal(Stream stream) { return isatty(stream == Stream::Out ? 1 : 2) == 1; }

bool AppendLine(const std::wstring &path, const std::wstring &line, std::wstring &error) {
    std::FILE *file = std::fopen(Narrow(path).c_str(), "ab");
    if (!file) {
        error = Widen(std::strerror(errno));
        return false;
    }
    const std::string bytes = Narrow(line) + "\n";
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = L"write failed";
        return false;
    }
    return true;
}

std::wstring AbsolutePath(const std::wstring &path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(fs::path(Narrow(path)), ec);
    return ec ? path : Widen(absolute.lexically_normal().string());
}

bool FileExists(const std::wstring &path) {
    std::error_code ec;
    return fs::is_regular_file(fs::path(Narrow(path)), ec);
}

// A shared object has no version resource.
std::optional<std::wstring> ModuleFileVersion(const std::wstring & /*path*/) {
    return std::nullopt;
}

bool ResolveInfArgument(const std::wstring &given, InfArgument &out, std::wstring &error) {
    using ndisfilter::tools::InfCheck;
    out = InfArgument{};
    if (IsSimulatedPath(given)) {
        // Inside the simulated machine: checked there once it is open.
        out.shown = out.source = out.forLibrary = given;
        return true;
    }
    out.shown = out.source = AbsolutePath(given);
    const std::wstring name = Widen(fs::path(Narrow(out.shown)).filename().string());
    if (name.empty()) {
        error = L"--inf " + given + L" names no file";
        return false;
    }
    out.forLibrary = std::wstring(kSimulatedMediaDirectory) + L"\\" + name;
    if (out.forLibrary.size() >= MAX_PATH) {
        error = L"the INF path " + out.forLibrary + L" is " +
                std::to_wstring(out.forLibrary.size()) +
                L" characters long; the platform allows at most " + std::to_wstring(MAX_PATH - 1);
        return false;
    }
    InfCheck check;
    struct stat st {};
    if (::stat(Narrow(out.source).c_str(), &st) != 0) {
        check.state = InfCheck::State::Missing;
        check.error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    } else if (S_ISDIR(st.st_mode) || ::access(Narrow(out.source).c_str(), R_OK) != 0) {
        check.state = InfCheck::State::Unreadable;
        check.error = ERROR_ACCESS_DENIED;
    }
    out.check = check;
    return true;
}

void WriteText(Stream stream, const std::wstring &text) {
    std::FILE *file = stream == Stream::Out ? stdout : stderr;
    const std::string bytes = Narrow(text);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

bool Machine::Open(const CliRequest &request, const InfArgument *inf, std::wstring &error) {
    std::error_code ec;
    const fs::path root = fs::absolute(
        request.simRoot ? fs::path(Narrow(*request.simRoot)) : fs::path(kDefaultSimRoot), ec);
    if (ec) {
        error = L"cannot use the simulated machine folder: " + Widen(ec.message());
        return false;
    }
    std::string refused;
    m_root = Widen(root.string());
    if (!sim::OpenMachine(root.string(), &refused)) {
        error = L"the simulated machine is refused: " + Widen(refused);
        return false;
    }
    m_open = true;

    sim::SetExecutablePath(std::wstring(kSimulatedProgram));
    if (!Mirror(fs::path(Narrow(ProgramDirectory())) / Narrow(ndisfilter::kInfFileName),
                DefaultInfPath(), error))
        return false;

    m_infPath.clear();
    if (inf) {
        m_infPath = inf->forLibrary;
        if (inf->source != inf->forLibrary &&
            !Mirror(fs::path(Narrow(inf->source)), inf->forLibrary, error))
            return false;
    }
    return true;
}

std::wstring Machine::DefaultInfPath() const {
    return std::wstring(kSimulatedProgramDirectory) + ndisfilter::kDefaultInfPathSuffix;
}

Machine::~Machine() {
    if (m_open) sim::SaveMachine();
}

MachineSnapshot Machine::Snapshot() const {
    MachineSnapshot snapshot;
    snapshot.componentsKnown = true;
    snapshot.components = sim::InstalledComponents();

    char windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return snapshot;
    std::string store = windows;
    if (store.back() != '\\') store += '\\';
    store += "inf";

    std::error_code ec;
    for (fs::directory_iterator it(sim::HostPath(store), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsStoreFileName(name)) snapshot.storeFiles.push_back(Widen(store + "\\" + name));
    }
    // oem0.inf before oem0.PNF: by name, whatever the letter case.
    std::sort(snapshot.storeFiles.begin(), snapshot.storeFiles.end(),
              [](const std::wstring &a, const std::wstring &b) {
                  return wcscasecmp(a.c_str(), b.c_str()) < 0;
              });
    return snapshot;
}

std::wstring Machine::Description() const { return L"the simulated machine " + m_root; }

}  // namespace ndisfilterctl
