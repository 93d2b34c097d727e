// report's files on Windows: paths as the operator typed them.
#include <windows.h>

#include <algorithm>

#include "cli_platform.h"
#include "report_file.h"

namespace ndisfilterctl {
namespace {

std::wstring ErrorText(DWORD error) { return L"error " + std::to_wstring(error); }

// The folder part of an absolute path ("C:\dir" for "C:\dir\file").
std::wstring FolderOf(const std::wstring &path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    ~OwnedHandle() { Close(); }
    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    BOOL Close() {
        const BOOL closed = Valid() ? CloseHandle(m_handle) : TRUE;
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

// Writes every byte and flushes them to the disk; false with the error.
bool WriteAll(const std::wstring &path, const std::string &bytes, DWORD &error) {
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        error = GetLastError();
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        constexpr size_t kChunk = 1u << 20;
        const DWORD want = static_cast<DWORD>(std::min(kChunk, bytes.size() - done));
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data() + done, want, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (written == 0) {  // success without progress: the last error says nothing here
            error = ERROR_WRITE_FAULT;
            return false;
        }
        done += written;
    }
    if (!FlushFileBuffers(file.Get()) || !file.Close()) {
        error = GetLastError();
        return false;
    }
    return true;
}

}  // namespace

std::optional<ndisfilter::tools::FileBytes> ReadOperatorFileEnd(const std::wstring &path,
                                                                 size_t maxBytes,
                                                                 std::wstring &error) {
    std::optional<ndisfilter::tools::FileBytes> bytes =
        ndisfilter::tools::ReadLastBytes(path, maxBytes);
    if (!bytes) error = ErrorText(GetLastError());
    return bytes;
}

std::wstring WhyNotNewFile(const std::wstring &path) {
    const std::wstring full = AbsolutePath(path);
    const DWORD folder = GetFileAttributesW(FolderOf(full).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY))
        return L"the folder \"" + FolderOf(full) + L"\" does not exist";
    if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES)
        return L"\"" + full + L"\" exists already; a report never replaces a file";
    return {};
}

bool CreateNewFile(const std::wstring &path, const std::string &bytes, std::wstring &error) {
    const std::wstring full = AbsolutePath(path);
    if (error = WhyNotNewFile(full); !error.empty()) return false;
    // GetTempFileNameW (its Microsoft page): creates an empty, uniquely
    // named file in the folder, so the move below stays on one volume.
    WCHAR temp[MAX_PATH];
    if (GetTempFileNameW(FolderOf(full).c_str(), L"ndf", 0, temp) == 0) {
        error = L"cannot create a file in \"" + FolderOf(full) + L"\" (" +
                ErrorText(GetLastError()) + L")";
        return false;
    }
    // MoveFileExW without MOVEFILE_REPLACE_EXISTING fails when the target
    // exists (ERROR_ALREADY_EXISTS): a file created meanwhile is kept.
    DWORD failure = ERROR_SUCCESS;
    if (!WriteAll(temp, bytes, failure) ||
        !MoveFileExW(temp, full.c_str(), MOVEFILE_WRITE_THROUGH)) {
        if (failure == ERROR_SUCCESS) failure = GetLastError();
        DeleteFileW(temp);
        error = L"cannot write \"" + full + L"\" (" + ErrorText(failure) + L")";
        return false;
    }
    return true;
}

}  // namespace ndisfilterctl
