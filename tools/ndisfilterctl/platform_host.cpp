// ndisfilterctl on the Linux host: the library is ndisfilter.so, and the
// machine is the platform layer's simulated one, kept in a folder between
// runs. Exit codes keep the Windows meanings in eight bits.
#include "cli_platform.h"
#include "cli_run.h"
#include "host_text.h"

#include <sim/machine.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <system_error>

#include <strings.h>

namespace fs = std::filesystem;

namespace ndisfilterctl {
namespace {

static const ExitCodeTable kHostExitCodes = {{
    {ExitStatus::Success, 0, L"success"},
    {ExitStatus::RestartRequired, 3, L"success; a restart is required to finish"},
    {ExitStatus::Cancelled, 4, L"cancelled"},
    {ExitStatus::TimedOut, 5, L"timed out"},
    {ExitStatus::Failed, 1, L"failed"},
    {ExitStatus::BadUsage, 2, L"bad usage; nothing was done"},
}};

constexpr const char *kDefaultSimRoot = ".ndisfilter-sim";
// Where the simulated machine believes this program lives; the library's
// default INF is looked for beside it.
constexpr const wchar_t *kSimulatedProgramDirectory = L"C:\\Program Files\\ndisfilterctl";
constexpr const wchar_t *kSimulatedProgram = L"C:\\Program Files\\ndisfilterctl\\ndisfilterctl.exe";
// Where an --inf given as a host file is placed inside the simulated machine.
constexpr const wchar_t *kSimulatedMediaDirectory = L"C:\\Media";
constexpr const wchar_t *kDefaultInfName = L"DorvaneV.inf";

}  // namespace

std::string Narrow(const std::wstring &text) {
    std::string out;
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t c : text) {
        const size_t length = std::wcrtomb(buffer, c, &state);
        if (length == static_cast<size_t>(-1)) {
            out += '?';
            state = std::mbstate_t{};
        } else {
            out.append(buffer, length);
        }
    }
    return out;
}

bool Widen(const char *text, std::wstring &out) {
    std::mbstate_t state{};
    const size_t length = std::mbsrtowcs(nullptr, &text, 0, &state);
    if (length == static_cast<size_t>(-1)) return false;
    out.assign(length, L'\0');
    std::mbsrtowcs(out.data(), &text, length, &state);
    return true;
}

std::wstring Widen(const std::string &text) {
    std::wstring out;
    if (!Widen(text.c_str(), out)) out.assign(text.begin(), text.end());
    return out;
}

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

const ExitCodeTable &PlatformExitCodes() { return kHostExitCodes; }
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

void WriteText(Stream stream, const std::wstring &text) {
    std::FILE *file = stream == Stream::Out ? stdout : stderr;
    const std::string bytes = Narrow(text);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

bool Machine::Open(const CliRequest &request, std::wstring &error) {
    std::error_code ec;
    const fs::path root = fs::absolute(
        request.simRoot ? fs::path(Narrow(*request.simRoot)) : fs::path(kDefaultSimRoot), ec);
    if (ec) {
        error = L"cannot use the simulated machine folder: " + Widen(ec.message());
        return false;
    }
    sim::OpenMachine(root.string());
    m_open = true;
    m_root = Widen(root.string());

    sim::SetExecutablePath(std::wstring(kSimulatedProgram));
    const std::wstring simulatedDefaultInf =
        std::wstring(kSimulatedProgramDirectory) + L"\\" + kDefaultInfName;
    if (!Mirror(fs::path(Narrow(ProgramDirectory())) / Narrow(kDefaultInfName), simulatedDefaultInf,
                error))
        return false;

    m_infPath.clear();
    if (request.infPath) {
        if (IsSimulatedPath(*request.infPath)) {
            m_infPath = *request.infPath;
        } else {
            const fs::path source(Narrow(*request.infPath));
            const std::wstring name = Widen(source.filename().string());
            if (name.empty()) {
                error = L"--inf " + *request.infPath + L" names no file";
                return false;
            }
            m_infPath = std::wstring(kSimulatedMediaDirectory) + L"\\" + name;
            if (!Mirror(source, m_infPath, error)) return false;
        }
    }
    return true;
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
