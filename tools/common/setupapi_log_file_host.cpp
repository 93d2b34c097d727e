// The device installation log's bytes and the local time, in the host
// build: the file behind the simulated machine's Windows path, read with
// the host's own calls (the simulated CreateFileW reads a whole file when
// it opens it, and the log's tail must be read without that).
#include <windows.h>

#include <fcntl.h>
#include <sim/machine.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "setupapi_log.h"

namespace ndisfilter::tools {
namespace {

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
    explicit FileDescriptor(int opened) : fd(opened) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
};

}  // namespace

SetupLogTime SetupLogTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    constexpr int kTmYearBase = 1900;
    constexpr long kNanosecondsPerMs = 1000000;
    return {local.tm_year + kTmYearBase,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(now.tv_nsec / kNanosecondsPerMs)};
}

std::optional<FileBytes> ReadLastBytes(const std::wstring &path, size_t maxBytes) {
    FileDescriptor file(open(sim::HostPath(path).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const auto total = static_cast<unsigned long long>(st.st_size);
    const unsigned long long start = total > maxBytes ? total - maxBytes : 0;
    FileBytes tail{std::string(static_cast<size_t>(total - start), '\0'), start == 0};
    size_t filled = 0;
    while (filled < tail.bytes.size()) {
        const ssize_t read = pread(file.fd, tail.bytes.data() + filled, tail.bytes.size() - filled,
                                   static_cast<off_t>(start + filled));
        if (read < 0) return std::nullopt;
        if (read == 0) break;  // the file was cut meanwhile
        filled += static_cast<size_t>(read);
    }
    tail.bytes.resize(filled);
    return tail;
}

}  // namespace ndisfilter::tools
