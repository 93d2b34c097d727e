// ndisfilterctl on Windows: the library is ndisfilter.dll and the machine is
// the real one. There is no simulated machine, so --sim-root is refused;
// --verbose reports the INF and .PNF files that appeared in or vanished from
// the INF store (component changes are left to the network settings).
#include "cli_platform.h"
#include "cli_run.h"

#include <algorithm>
#include <cstdio>

namespace ndisfilterctl {
namespace {

// The installer conventions deployment tools understand.
static const ExitCodeTable kWindowsExitCodes = {{
    {ExitStatus::Success, 0, L"success"},
    {ExitStatus::RestartRequired, 3010, L"success; a restart is required to finish"},
    {ExitStatus::Cancelled, 1223, L"cancelled"},
    {ExitStatus::TimedOut, 1460, L"timed out"},
    {ExitStatus::Failed, 1603, L"failed"},
    {ExitStatus::BadUsage, 87, L"bad usage; nothing was done"},
}};

bool IsStoreFileName(const wchar_t *name) {
    // Every INF and precompiled INF: the platform names its copies
    // oem<N>.inf, but a copy may also keep its own name.
    const wchar_t *dot = wcsrchr(name, L'.');
    return dot && (_wcsicmp(dot, L".inf") == 0 || _wcsicmp(dot, L".pnf") == 0);
}

std::wstring WindowsDirectory() {
    std::wstring directory(MAX_PATH, L'\0');
    UINT length = GetWindowsDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    if (length >= directory.size()) {
        directory.assign(length, L'\0');
        length = GetWindowsDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    }
    if (length == 0 || length >= directory.size()) return {};
    directory.resize(length);
    return directory;
}

}  // namespace

const ExitCodeTable &PlatformExitCodes() { return kWindowsExitCodes; }
bool HasSimulatedMachine() { return false; }
const wchar_t *LibraryFileName() { return L"ndisfilter.dll"; }

std::wstring ProgramDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return L".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // truncated: try a larger buffer
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring JoinPath(const std::wstring &directory, const wchar_t *name) {
    return directory + L"\\" + name;
}

void WriteText(Stream stream, const std::wstring &text) {
    const HANDLE handle =
        GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected: UTF-8, with the line ends of the platform.
    std::wstring crlf;
    for (wchar_t c : text) {
        if (c == L'\n') crlf += L'\r';
        crlf += c;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, crlf.data(), static_cast<int>(crlf.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, crlf.data(), static_cast<int>(crlf.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool Machine::Open(const CliRequest &request, std::wstring & /*error*/) {
    m_open = true;
    m_infPath = request.infPath ? *request.infPath : std::wstring();
    m_root = WindowsDirectory();
    return true;
}

Machine::~Machine() = default;

MachineSnapshot Machine::Snapshot() const {
    MachineSnapshot snapshot;  // components not tracked here
    if (m_root.empty()) return snapshot;
    const std::wstring store = m_root + (m_root.back() == L'\\' ? L"inf\\" : L"\\inf\\");
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((store + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return snapshot;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            IsStoreFileName(found.cFileName))
            snapshot.storeFiles.push_back(store + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    // oem0.inf before oem0.PNF: by name, whatever the letter case.
    std::sort(snapshot.storeFiles.begin(), snapshot.storeFiles.end(),
              [](const std::wstring &a, const std::wstring &b) {
                  return _wcsicmp(a.c_str(), b.c_str()) < 0;
              });
    return snapshot;
}

std::wstring Machine::Description() const { return L"this machine's INF store"; }

}  // namespace ndisfilterctl
