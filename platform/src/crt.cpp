// The Windows C runtime's fopen_s and _wsplitpath_s.
//
// fopen_s opens the real file behind a Windows path. Text-mode reading ("r"
// without "b") is what the Windows runtime gives: CR LF pairs arrive as one
// LF, a lone CR stays, and the file ends at the first 0x1A byte. The stream
// is a real FILE over the translated bytes (fopencookie), so fread and
// fclose work and fclose frees everything.
#include "machine_state.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace sim;

namespace {

struct TextStream {
    std::string bytes;
    size_t position = 0;
};

ssize_t TextStreamRead(void *cookie, char *buffer, size_t size) {
    auto *stream = static_cast<TextStream *>(cookie);
    const size_t n = std::min(size, stream->bytes.size() - stream->position);
    memcpy(buffer, stream->bytes.data() + stream->position, n);
    stream->position += n;
    return static_cast<ssize_t>(n);
}

int TextStreamClose(void *cookie) {
    delete static_cast<TextStream *>(cookie);
    return 0;
}

std::string TranslateText(const std::string &raw) {
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\x1a') break;
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text += c;
    }
    return text;
}

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
            return ENOMEM;
        default:
            return EINVAL;
    }
}

}  // namespace

extern "C" errno_t fopen_s(FILE **file, const char *name, const char *mode) {
    const std::optional<Answer> answer =
        Enter(Call::FopenS, PathText(name) + L"|" + Widen(mode ? mode : "(null)"));
    if (!file) return EINVAL;
    *file = nullptr;
    if (!name || !mode || !*mode) return EINVAL;
    if (answer) return ErrnoOf(answer->win32Error);

    std::string host;
    {
        LockedMachine m;
        const std::wstring full = FullWindowsPathLocked(Widen(name));
        // Held open by another process without sharing reads.
        if (FileControlErrorLocked(full, false) != ERROR_SUCCESS) return EACCES;
        host = HostPathLocked(full);
    }
    const bool binary = strchr(mode, 'b') != nullptr;
    const bool readOnly = mode[0] == 'r' && !strchr(mode, '+');
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EACCES;

    if (readOnly && !binary) {
        errno = 0;
        std::ifstream in(host, std::ios::binary);
        if (!in) return errno ? errno : ENOENT;
        std::ostringstream raw;
        raw << in.rdbuf();
        auto *stream = new TextStream{TranslateText(raw.str()), 0};
        cookie_io_functions_t io = {TextStreamRead, nullptr, nullptr, TextStreamClose};
        *file = fopencookie(stream, "r", io);
        if (!*file) {
            delete stream;
            return ENOMEM;
        }
        return 0;
    }

    // Other modes: the host's own stdio, without the Windows-only letters.
    std::string hostMode;
    for (const char *c = mode; *c && *c != ','; ++c)
        if (strchr("rwab+", *c)) hostMode += *c;
    errno = 0;
    *file = fopen(host.c_str(), hostMode.c_str());
    return *file ? 0 : (errno ? errno : EINVAL);
}

extern "C" errno_t _wsplitpath_s(const wchar_t *path, wchar_t *drive, size_t driveCapacity,
                                 wchar_t *dir, size_t dirCapacity, wchar_t *fname,
                                 size_t fnameCapacity, wchar_t *ext, size_t extCapacity) {
    const std::optional<Answer> answer = Enter(Call::SplitPath, PathText(path));

    struct Part {
        wchar_t *buffer;
        size_t capacity;
        const wchar_t *begin = nullptr;
        size_t length = 0;
    } parts[] = {
        {drive, driveCapacity}, {dir, dirCapacity}, {fname, fnameCapacity}, {ext, extCapacity}};

    // Every failure leaves each supplied buffer empty.
    auto fail = [&](errno_t code) {
        for (Part &part : parts)
            if (part.buffer && part.capacity > 0) part.buffer[0] = L'\0';
        errno = code;
        return code;
    };
    if (!path) return fail(EINVAL);
    for (const Part &part : parts)
        if ((part.buffer == nullptr) != (part.capacity == 0)) return fail(EINVAL);
    if (answer) return fail(EINVAL);

    const wchar_t *p = path;
    if (p[0] != L'\0' && p[1] == L':') {
        parts[0].begin = p;
        parts[0].length = 2;
        p += 2;
    }
    const wchar_t *lastSlash = nullptr;
    const wchar_t *lastDot = nullptr;
    for (const wchar_t *c = p; *c; ++c) {
        if (*c == L'\\' || *c == L'/') {
            lastSlash = c;
            lastDot = nullptr;
        } else if (*c == L'.') {
            lastDot = c;
        }
    }
    const wchar_t *name = lastSlash ? lastSlash + 1 : p;
    const wchar_t *end = p + wcslen(p);
    parts[1] = {dir, dirCapacity, p, static_cast<size_t>(name - p)};
    const wchar_t *nameEnd = lastDot ? lastDot : end;
    parts[2] = {fname, fnameCapacity, name, static_cast<size_t>(nameEnd - name)};
    parts[3] = {ext, extCapacity, nameEnd, static_cast<size_t>(end - nameEnd)};

    for (const Part &part : parts)
        if (part.buffer && part.length + 1 > part.capacity) return fail(ERANGE);
    for (Part &part : parts) {
        if (!part.buffer) continue;
        if (part.length) wmemcpy(part.buffer, part.begin, part.length);
        part.buffer[part.length] = L'\0';
    }
    return 0;
}
