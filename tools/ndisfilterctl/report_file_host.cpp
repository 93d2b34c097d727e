// report's files on the host build: host paths (the operator's own files,
// not the simulated machine's).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "report_file.h"
#include "tools/common/wide_text.h"

namespace ndisfilterctl {
namespace {

namespace fs = std::filesystem;
using ndisfilter::text::Narrow;
using ndisfilter::text::Widen;

std::wstring ErrnoText() { return Widen(std::strerror(errno)); }

struct Descriptor {
    int fd;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

bool WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return fsync(fd) == 0;
}

}  // namespace

std::optional<ndisfilter::tools::FileBytes> ReadOperatorFileEnd(const std::wstring &path,
                                                                 size_t maxBytes,
                                                                 std::wstring &error) {
    Descriptor file(open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) return error = ErrnoText(), std::nullopt;
    if (!S_ISREG(st.st_mode)) return error = L"not a file", std::nullopt;
    const auto size = static_cast<unsigned long long>(st.st_size);
    const unsigned long long start = size > maxBytes ? size - maxBytes : 0;
    ndisfilter::tools::FileBytes tail{std::string(static_cast<size_t>(size - start), '\0'),
                                      start == 0};
    const ssize_t got = pread(file.fd, tail.bytes.data(), tail.bytes.size(),
                              static_cast<off_t>(start));
    if (got < 0) return error = ErrnoText(), std::nullopt;
    tail.bytes.resize(static_cast<size_t>(got));
    return tail;
}

std::wstring WhyNotNewFile(const std::wstring &path) {
    std::error_code ec;
    const fs::path full = fs::absolute(fs::path(Narrow(path)), ec);
    if (!fs::is_directory(full.parent_path(), ec))
        return L"the folder \"" + Widen(full.parent_path().string()) + L"\" does not exist";
    if (fs::exists(fs::symlink_status(full, ec)))
        return L"\"" + Widen(full.string()) + L"\" exists already; a report never replaces a file";
    return {};
}

bool CreateNewFile(const std::wstring &path, const std::string &bytes, std::wstring &error) {
    if (error = WhyNotNewFile(path); !error.empty()) return false;
    std::error_code ec;
    const fs::path full = fs::absolute(fs::path(Narrow(path)), ec);
    std::string temp = (full.parent_path() / ".ndisfilterctl-report-XXXXXX").string();
    Descriptor file(mkstemp(temp.data()));
    if (file.fd < 0) {
        error = L"cannot create a file beside it: " + ErrnoText();
        return false;
    }
    // link() refuses an existing target (EEXIST): nothing is replaced.
    const bool done = WriteAll(file.fd, bytes) && link(temp.c_str(), full.c_str()) == 0;
    if (!done) error = L"cannot write \"" + Widen(full.string()) + L"\": " + ErrnoText();
    unlink(temp.c_str());
    return done;
}

}  // namespace ndisfilterctl
