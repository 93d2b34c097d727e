// ndisfilterctl on Windows: the library is ndisfilter.dll and the machine is
// the real one. There is no simulated machine, so --sim-root is refused;
// --verbose reports the INF and .PNF files that appeared in or vanished from
// the INF store (component changes are left to the network settings).
#include "cli_platform.h"
#include "cli_run.h"

#include <algorithm>
#include <cstdio>

#include "ndisfilter/setup/product.h"

namespace ndisfilterctl {
namespace {

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

bool IsTerminal(Stream stream) {
    const HANDLE handle =
        GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): as declared in cli_platform.h
bool AppendLine(const std::wstring &path, const std::wstring &line, std::wstring &error) {
    // Shared for writing too: another run appending to the same log, or a
    // reader that allows writers, must not end this run's log.
    const HANDLE file =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"error " + std::to_wstring(GetLastError());
        return false;
    }
    const std::wstring text = line + L"\r\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            size, nullptr, nullptr);
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    const DWORD writeError = GetLastError();
    CloseHandle(file);
    if (!ok) {
        error = L"error " + std::to_wstring(writeError);
        return false;
    }
    return true;
}

std::wstring AbsolutePath(const std::wstring &path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return path;
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.assign(length, L'\0');  // the size needed, terminator included
    }
}

bool FileExists(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The resource is mapped as data, so the module's code never runs and its
// imports are not loaded. VS_VERSIONINFO: a header of three WORDs, the key
// L"VS_VERSION_INFO", padding to 32 bits, then VS_FIXEDFILEINFO.
std::optional<std::wstring> ModuleFileVersion(const std::wstring &path) {
    const HMODULE module = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return std::nullopt;
    std::optional<std::wstring> version;
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const auto *bytes = static_cast<const BYTE *>(loaded ? LockResource(loaded) : nullptr);
    const DWORD size = resource ? SizeofResource(module, resource) : 0;
    constexpr size_t kKeyBytes = sizeof L"VS_VERSION_INFO";
    constexpr size_t kFixedOffset = (3 * sizeof(WORD) + kKeyBytes + 3) & ~size_t{3};
    if (bytes && size >= kFixedOffset + sizeof(VS_FIXEDFILEINFO) &&
        memcmp(bytes + 3 * sizeof(WORD), L"VS_VERSION_INFO", kKeyBytes) == 0) {
        VS_FIXEDFILEINFO fixed;
        memcpy(&fixed, bytes + kFixedOffset, sizeof fixed);
        if (fixed.dwSignature == VS_FFI_SIGNATURE) {
            version = std::to_wstring(HIWORD(fixed.dwFileVersionMS)) + L"." +
                      std::to_wstring(LOWORD(fixed.dwFileVersionMS)) + L"." +
                      std::to_wstring(HIWORD(fixed.dwFileVersionLS)) + L"." +
                      std::to_wstring(LOWORD(fixed.dwFileVersionLS));
        }
    }
    FreeLibrary(module);
    return version;
}

bool ResolveInfArgument(const std::wstring &given, InfArgument &out, std::wstring &error) {
    out = InfArgument{};
    out.shown = out.source = out.forLibrary = AbsolutePath(given);
    // The setup services take paths of up to MAX_PATH - 1 characters.
    if (out.forLibrary.size() >= MAX_PATH) {
        error = L"the INF path is " + std::to_wstring(out.forLibrary.size()) +
                L" characters long; the platform allows at most " + std::to_wstring(MAX_PATH - 1);
        return false;
    }
    out.check = ndisfilter::tools::CheckInf(out.forLibrary.c_str());
    return true;
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

bool Machine::Open(const CliRequest & /*request*/, const InfArgument *inf,
                   std::wstring & /*error*/) {
    m_open = true;
    m_infPath = inf ? inf->forLibrary : std::wstring();
    m_root = WindowsDirectory();
    return true;
}

std::wstring Machine::DefaultInfPath() const {
    return ProgramDirectory() + ndisfilter::kDefaultInfPathSuffix;
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
