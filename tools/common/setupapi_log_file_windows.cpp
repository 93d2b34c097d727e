// The device installation log's bytes and the local time, on Windows.
#include <windows.h>

#include <algorithm>

#include "setupapi_log.h"

namespace ndisfilter::tools {
namespace {

struct FileHandle {
    HANDLE handle;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    explicit FileHandle(HANDLE opened) : handle(opened) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
};

}  // namespace

SetupLogTime SetupLogTimeNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds};
}

std::optional<FileBytes> ReadLastBytes(const std::wstring &path, size_t maxBytes) {
    // The platform keeps the log open and appends to it: share read and
    // write, and delete so that we never stand in the way of its rotation.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return std::nullopt;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.handle, &size) || size.QuadPart < 0) return std::nullopt;
    const auto total = static_cast<unsigned long long>(size.QuadPart);
    const unsigned long long start = total > maxBytes ? total - maxBytes : 0;
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(start);
    if (!SetFilePointerEx(file.handle, offset, nullptr, FILE_BEGIN)) return std::nullopt;
    FileBytes tail{std::string(static_cast<size_t>(total - start), '\0'), start == 0};
    size_t filled = 0;
    while (filled < tail.bytes.size()) {
        DWORD read = 0;
        const auto ask = static_cast<DWORD>(std::min<size_t>(tail.bytes.size() - filled, 1u << 20));
        if (!ReadFile(file.handle, tail.bytes.data() + filled, ask, &read, nullptr))
            return std::nullopt;
        if (read == 0) break;  // the file was cut meanwhile
        filled += read;
    }
    tail.bytes.resize(filled);
    return tail;
}

}  // namespace ndisfilter::tools
