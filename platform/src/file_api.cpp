// File services over the machine's real folder: listing a folder
// (FindFirstFileW / FindNextFileW / FindClose), attributes, reading a file
// through a handle, deleting one, and the system's Windows directory; plus
// the test controls for files held open by another process and read-only
// files.
//
// Host links stand for reparse points: a listing and GetFileAttributesW
// report them with FILE_ATTRIBUTE_REPARSE_POINT, as Windows does for a
// symbolic link or junction.
#include "machine_state.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace sim;

namespace {

struct FoundEntry {
    std::wstring name;
    DWORD attributes;
    uint64_t size;
};

// What a file or listing handle stands for: an open file (what it read as
// when opened, and how far it was read) or an open listing (the matches as
// found when it was opened).
struct FileObject {
    enum class Kind { File, Listing } kind;
    uint64_t generation;
    std::string content;
    size_t position = 0;
    std::vector<FoundEntry> entries;
    size_t next = 0;
};

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    swprintf(text, 16, L"%x", value);
    return text;
}

std::string Key(const std::wstring &fullPath) { return Narrow(LowerCase(fullPath)); }

// Attributes of a host entry, without following a link; nullopt when it
// does not exist.
std::optional<DWORD> AttributesLocked(const std::string &hostPath, const std::wstring &fullPath) {
    struct stat st;
    if (lstat(hostPath.c_str(), &st) != 0) return std::nullopt;
    DWORD attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;
        if (stat(hostPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISDIR(st.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    const Machine &m = TheMachine();
    auto control = m.fileControls.find(Key(fullPath));
    if (control != m.fileControls.end() && control->second.readOnly)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// Not found: the file, or (when its folder is missing) the path.
DWORD NotFoundError(const std::string &hostPath) {
    const std::string folder = hostPath.substr(0, hostPath.rfind('/'));
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_PATH_NOT_FOUND;
}

// '*' any run, '?' any one character; letter case ignored.
bool Matches(const wchar_t *pattern, const wchar_t *name) {
    const wchar_t *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' || (*pattern && towupper(static_cast<wint_t>(*pattern)) ==
                                                        towupper(static_cast<wint_t>(*name)))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    return *pattern == L'\0';
}

std::wstring UpperCase(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
    return text;
}

void Fill(const FoundEntry &entry, LPWIN32_FIND_DATAW data) {
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    wmemcpy(data->cFileName, entry.name.c_str(), entry.name.size() + 1);
}

FileObject *ObjectOfLocked(HANDLE handle, FileObject::Kind kind) {
    Machine &m = TheMachine();
    if (!m.fileHandles.count(handle)) return nullptr;
    auto *object = static_cast<FileObject *>(handle);
    return object->kind == kind ? object : nullptr;
}

HANDLE NewHandleLocked(FileObject *object) {
    TheMachine().fileHandles.insert(object);
    return object;
}

// Opens an existing file, folder or link for reading as CreateFileW does
// (the link itself with FILE_FLAG_OPEN_REPARSE_POINT, a folder only with
// FILE_FLAG_BACKUP_SEMANTICS); sets the last error.
HANDLE OpenFileLocked(const std::wstring &full, const std::string &host, DWORD flags) {
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return Fail(NotFoundError(host), INVALID_HANDLE_VALUE);
    const DWORD blocked = FileControlErrorLocked(full, false);
    if (blocked != ERROR_SUCCESS) return Fail(blocked, INVALID_HANDLE_VALUE);
    auto *file = new FileObject{FileObject::Kind::File, TheMachine().generation, {}, 0, {}, 0};
    const bool link = S_ISLNK(st.st_mode);
    if (link && (flags & FILE_FLAG_OPEN_REPARSE_POINT))
        return NewHandleLocked(file);  // the link itself: no data of its own
    struct stat target;
    DWORD error = ERROR_SUCCESS;
    if (stat(host.c_str(), &target) != 0) {
        error = ERROR_FILE_NOT_FOUND;  // a link to nothing
    } else if (S_ISDIR(target.st_mode)) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) error = ERROR_ACCESS_DENIED;
    } else {
        std::ifstream in(host, std::ios::binary);
        std::ostringstream bytes;
        if (!in || !(bytes << in.rdbuf())) {
            if (target.st_size != 0) error = ERROR_ACCESS_DENIED;
        } else {
            file->content = bytes.str();
        }
    }
    if (error != ERROR_SUCCESS) {
        delete file;
        return Fail(error, INVALID_HANDLE_VALUE);
    }
    SetLastErrorQuiet(ERROR_SUCCESS);
    return NewHandleLocked(file);
}

}  // namespace

namespace sim {

DWORD FileControlErrorLocked(const std::wstring &fullPath, bool forDelete) {
    const Machine &m = TheMachine();
    auto control = m.fileControls.find(Key(fullPath));
    if (control == m.fileControls.end()) return ERROR_SUCCESS;
    const FileControl &c = control->second;
    const DWORD needed = forDelete ? FILE_SHARE_DELETE : FILE_SHARE_READ;
    if (c.held && !(c.heldShare & needed)) return ERROR_SHARING_VIOLATION;
    if (forDelete && c.readOnly) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

DWORD DeleteWindowsFileLocked(const std::wstring &fullPath) {
    Machine &m = TheMachine();
    auto scripted = m.failDeletes.find(Key(fullPath));
    if (scripted != m.failDeletes.end()) return scripted->second;
    const std::string host = HostPathLocked(fullPath);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return NotFoundError(host);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    const DWORD blocked = FileControlErrorLocked(fullPath, true);
    if (blocked != ERROR_SUCCESS) return blocked;
    if (::unlink(host.c_str()) != 0)
        return errno == ENOENT    ? ERROR_FILE_NOT_FOUND
               : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                  : ERROR_ACCESS_DENIED;
    m.fileControls.erase(Key(fullPath));
    return ERROR_SUCCESS;
}

bool CloseFileHandleLocked(HANDLE handle) {
    Machine &m = TheMachine();
    if (!m.fileHandles.erase(handle)) return false;
    delete static_cast<FileObject *>(handle);
    return true;
}

void HoldFileOpen(const std::string &windowsPath, DWORD share) {
    LockedMachine m;
    FileControl &c = m->fileControls[Key(FullWindowsPathLocked(Widen(windowsPath)))];
    c.held = true;
    c.heldShare = share;
}

void ReleaseHeldFile(const std::string &windowsPath) {
    LockedMachine m;
    auto control = m->fileControls.find(Key(FullWindowsPathLocked(Widen(windowsPath))));
    if (control != m->fileControls.end()) control->second.held = false;
}

void SetReadOnly(const std::string &windowsPath, bool readOnly) {
    LockedMachine m;
    m->fileControls[Key(FullWindowsPathLocked(Widen(windowsPath)))].readOnly = readOnly;
}

int OpenFileHandles() {
    LockedMachine m;
    return static_cast<int>(std::count_if(
        m->fileHandles.begin(), m->fileHandles.end(),
        [&](void *h) { return static_cast<FileObject *>(h)->generation == m->generation; }));
}

}  // namespace sim

extern "C" UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR buffer, UINT capacity) {
    wchar_t detail[16];
    swprintf(detail, 16, L"%u", capacity);
    if (EnterFails(Call::GetSystemWindowsDirectoryW, detail)) return 0;
    LockedMachine m;
    // The simulated machine has no per-user Windows directory: the system's
    // is the one GetWindowsDirectoryA answers.
    if (!m->windowsDirectory) return Fail<UINT>(ERROR_GEN_FAILURE, 0);
    const std::wstring dir = Widen(*m->windowsDirectory);
    if (!buffer || capacity < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
    wmemcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

extern "C" HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (EnterFails(Call::FindFirstFileW, PathText(pattern))) return INVALID_HANDLE_VALUE;
    if (!pattern || !*pattern || !data) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    LockedMachine m;
    const std::wstring given = pattern;
    const size_t slash = given.find_last_of(L"\\/");
    const std::wstring namePattern = slash == std::wstring::npos ? given : given.substr(slash + 1);
    const std::wstring folder =
        FullWindowsPathLocked(slash == std::wstring::npos ? L"." : given.substr(0, slash + 1));
    const std::string hostFolder = HostPathLocked(folder);
    struct stat st;
    if (stat(hostFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto *listing = new FileObject{FileObject::Kind::Listing, m->generation, {}, 0, {}, 0};
    if (DIR *dir = opendir(hostFolder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            const std::wstring name = Widen(entry->d_name);
            if (name.size() >= MAX_PATH || namePattern.empty() ||
                !Matches(namePattern.c_str(), name.c_str()))
                continue;
            const std::string host = hostFolder + "/" + entry->d_name;
            const std::wstring full = folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
            const std::optional<DWORD> attributes = AttributesLocked(host, full);
            if (!attributes) continue;
            struct stat entryStat;
            const uint64_t size = lstat(host.c_str(), &entryStat) == 0 && S_ISREG(entryStat.st_mode)
                                      ? static_cast<uint64_t>(entryStat.st_size)
                                      : 0;
            listing->entries.push_back({name, *attributes, size});
        }
        closedir(dir);
    }
    if (listing->entries.empty()) {
        delete listing;
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    std::sort(listing->entries.begin(), listing->entries.end(),
              [](const FoundEntry &a, const FoundEntry &b) {
                  return UpperCase(a.name) < UpperCase(b.name);
              });
    Fill(listing->entries[0], data);
    listing->next = 1;
    SetLastErrorQuiet(ERROR_SUCCESS);
    return NewHandleLocked(listing);
}

extern "C" BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    if (EnterFails(Call::FindNextFileW, L"")) return FALSE;
    LockedMachine m;
    FileObject *listing = ObjectOfLocked(find, FileObject::Kind::Listing);
    if (!listing || !data)
        return Fail(listing ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, FALSE);
    if (listing->next >= listing->entries.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
    Fill(listing->entries[listing->next++], data);
    return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE find) {
    const std::optional<Answer> answer = Enter(Call::FindClose, L"");
    LockedMachine m;
    if (!ObjectOfLocked(find, FileObject::Kind::Listing)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    CloseFileHandleLocked(find);  // a scripted failure still closes it
    return answer ? Fail(answer->win32Error, FALSE) : TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
    return OnWindowsPath(
        Call::GetFileAttributesW, PathText(path), path, ERROR_PATH_NOT_FOUND,
        INVALID_FILE_ATTRIBUTES, [](Machine &, const std::wstring &full, const std::string &host) {
            const std::optional<DWORD> attributes = AttributesLocked(host, full);
            return attributes ? *attributes : Fail(NotFoundError(host), INVALID_FILE_ATTRIBUTES);
        });
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    const std::wstring detail = PathText(path) + L"|" + Hex(access) + L" " + Hex(share) + L" " +
                                Hex(disposition) + L" " + Hex(flags);
    return OnWindowsPath(Call::CreateFileW, detail, path, ERROR_PATH_NOT_FOUND,
                         INVALID_HANDLE_VALUE,
                         [&](Machine &, const std::wstring &full, const std::string &host) {
                             if ((access & ~GENERIC_READ) != 0 || disposition != OPEN_EXISTING)
                                 return Fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
                             return OpenFileLocked(full, host, flags);
                         });
}

extern "C" BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                LPOVERLAPPED overlapped) {
    wchar_t detail[16];
    swprintf(detail, 16, L"%u", bytesToRead);
    const bool scriptedFailure = EnterFails(Call::ReadFile, detail);
    if (bytesRead) *bytesRead = 0;
    if (scriptedFailure) return FALSE;
    LockedMachine m;
    FileObject *file = ObjectOfLocked(handle, FileObject::Kind::File);
    if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (overlapped || !bytesRead || (!buffer && bytesToRead))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    const size_t n = std::min<size_t>(bytesToRead, file->content.size() - file->position);
    if (n) memcpy(buffer, file->content.data() + file->position, n);
    file->position += n;
    *bytesRead = static_cast<DWORD>(n);
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR path) {
    return OnWindowsPath(Call::DeleteFileW, PathText(path), path, ERROR_PATH_NOT_FOUND, FALSE,
                         [](Machine &, const std::wstring &full, const std::string &) {
                             const DWORD error = DeleteWindowsFileLocked(full);
                             return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
                         });
}
