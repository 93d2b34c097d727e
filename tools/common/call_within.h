// A read of the platform that may hang (a network configuration service
// that does not answer), run on a thread of its own and waited for in
// bounded time. Header-only, both builds.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace ndisfilter::tools {

// `work()`'s result, or nullopt when it did not end within `timeoutMs`; the
// thread is then left to end by itself and its result dropped. The calling
// thread's component runtime is not touched.
template <typename Result, typename Work>
std::optional<Result> CallWithin(Work work, DWORD timeoutMs) {
    // Shared with the thread, which may outlive this call.
    struct Shared {
        std::mutex mutex;
        std::condition_variable ended;
        std::optional<Result> answer;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work)]() mutable {
        Result answer = work();
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->answer = std::move(answer);
        shared->ended.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return shared->answer.has_value(); }))
        return std::nullopt;
    return std::move(shared->answer);
}

// "no answer within 5000 ms": a read waited for in vain.
inline std::wstring NoAnswerWithin(DWORD timeoutMs) {
    return L"no answer within " + std::to_wstring(timeoutMs) + L" ms";
}

// A read of the network configuration, whose record says its failed step,
// HRESULT and whether it answered, run as CallWithin runs it; when it did
// not end in time, a record that says so (failedStep "no answer within N
// ms", HRESULT_FROM_WIN32(ERROR_TIMEOUT), answered false).
template <typename Record, typename Read>
Record ReadWithin(Read read, DWORD timeoutMs) {
    std::optional<Record> answer = CallWithin<Record>(std::move(read), timeoutMs);
    if (answer) return std::move(*answer);
    Record unanswered;
    unanswered.failedStep = NoAnswerWithin(timeoutMs);
    unanswered.failure = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    unanswered.answered = false;
    return unanswered;
}

}  // namespace ndisfilter::tools
