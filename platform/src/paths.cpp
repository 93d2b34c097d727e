// Windows paths on the host: made absolute against the process's current
// directory, then mapped onto the machine's root folder as
// "<root>/<drive letter>/<rest>". Windows file names are case-insensitive,
// so each part that already exists is found whatever its case.
#include "machine_state.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <wctype.h>

namespace sim {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool HasDrive(const std::wstring &path) {
    return path.size() >= 2 && path[1] == L':' && iswalpha(static_cast<wint_t>(path[0]));
}

std::vector<std::wstring> SplitParts(const std::wstring &text) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (wchar_t c : text) {
        if (IsSeparator(c)) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// Applies "." and ".." (never above the root).
void AppendParts(std::vector<std::wstring> &to, const std::vector<std::wstring> &parts) {
    for (const std::wstring &part : parts) {
        if (part == L".") continue;
        if (part == L"..") {
            if (!to.empty()) to.pop_back();
            continue;
        }
        to.push_back(part);
    }
}

bool Exists(const std::string &hostPath) {
    struct stat st;
    return lstat(hostPath.c_str(), &st) == 0;
}

// The entry of `folder` that names `part` in any letter case; the part as
// given when there is none.
std::string ResolvePart(const std::string &folder, const std::wstring &part) {
    const std::string asGiven = Narrow(part);
    if (Exists(folder + "/" + asGiven)) return asGiven;
    DIR *dir = opendir(folder.c_str());
    if (!dir) return asGiven;
    std::string found = asGiven;
    while (dirent *entry = readdir(dir)) {
        if (EqualNoCase(Widen(entry->d_name), part)) {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

std::wstring FullWindowsPathLocked(const std::wstring &path) {
    const std::wstring &cwd = TheMachine().currentDirectory;
    std::wstring prefix;  // "X:" or "\\server\share"
    std::vector<std::wstring> parts;

    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        std::vector<std::wstring> all = SplitParts(path);
        prefix = L"\\\\";
        for (size_t i = 0; i < all.size() && i < 2; ++i) prefix += (i ? L"\\" : L"") + all[i];
        if (all.size() > 2) AppendParts(parts, {all.begin() + 2, all.end()});
    } else if (HasDrive(path)) {
        prefix = path.substr(0, 2);
        const std::wstring rest = path.substr(2);
        if ((rest.empty() || !IsSeparator(rest[0])) && HasDrive(cwd) &&
            towupper(static_cast<wint_t>(cwd[0])) == towupper(static_cast<wint_t>(path[0])))
            AppendParts(parts, SplitParts(cwd.substr(2)));  // "X:rest": relative on that drive
        AppendParts(parts, SplitParts(rest));
    } else {
        prefix = HasDrive(cwd) ? cwd.substr(0, 2) : L"C:";
        if (path.empty() || !IsSeparator(path[0]))
            AppendParts(parts, SplitParts(cwd.substr(prefix.size())));
        AppendParts(parts, SplitParts(path));
    }

    std::wstring full = prefix;
    for (const std::wstring &part : parts) full += L"\\" + part;
    if (parts.empty() && HasDrive(prefix)) full += L"\\";
    return full;
}

std::string HostPathLocked(const std::wstring &windowsPath) {
    const std::wstring full = FullWindowsPathLocked(windowsPath);
    std::string host = TheMachine().root;
    std::vector<std::wstring> parts;
    if (HasDrive(full)) {
        const std::wstring letter(1, static_cast<wchar_t>(towupper(static_cast<wint_t>(full[0]))));
        // Appended in two steps: "/" + text trips GCC 12's -Wrestrict at -O3.
        const std::string drive = ResolvePart(host, letter);
        host += '/';
        host += drive;
        parts = SplitParts(full.substr(2));
    } else {
        host += "/UNC";
        parts = SplitParts(full);
    }
    for (const std::wstring &part : parts) {
        const std::string resolved = ResolvePart(host, part);
        host += '/';
        host += resolved;
    }
    return host;
}

bool MakeHostDirectories(const std::string &hostPath) {
    std::string path;
    size_t start = 0;
    while (start <= hostPath.size()) {
        size_t slash = hostPath.find('/', start);
        if (slash == std::string::npos) slash = hostPath.size();
        path = hostPath.substr(0, slash);
        if (!path.empty() && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
        start = slash + 1;
    }
    return true;
}

}  // namespace sim
