// --log FILE: timestamped lines appended to a file. A log that cannot be
// written is reported once, on standard error, and never changes the run.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace ndisfilterctl {

// "2026-12-08T22:42:34.123Z"
std::wstring UtcTimestamp(std::chrono::system_clock::time_point when);

class RunLog {
public:
    explicit RunLog(std::optional<std::wstring> path) : m_path(std::move(path)) {}

    // Appends "<timestamp> <text>" (one line). Does nothing without a path
    // or after a failure.
    void Line(const std::wstring &text);
    bool Failed() const { return m_failed; }

private:
    std::optional<std::wstring> m_path;
    bool m_failed = false;
};

}  // namespace ndisfilterctl
