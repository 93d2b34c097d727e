// Progress while a library call runs.
#include "cli_progress.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ndisfilterctl {

std::wstring ProgressText(const std::wstring &what, std::chrono::milliseconds elapsed,
                          const std::wstring &worstCase) {
    const long long seconds = elapsed.count() / 1000;
    return what + L": " + std::to_wstring(seconds) + L" s elapsed (worst case " + worstCase + L")";
}

void RunWithProgress(const std::function<void()> &call, const std::wstring &what,
                     const std::wstring &worstCase, const ProgressStyle &style,
                     const std::function<void(const std::wstring &text, bool inPlace)> &show,
                     const std::function<void()> &finish) {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;

    std::thread worker([&] {
        call();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        ended.notify_all();
    });

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    bool shown = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        Clock::time_point next = start + style.quietPeriod;
        if (!style.enabled) ended.wait(lock, [&] { return done; });
        while (!ended.wait_until(lock, next, [&] { return done; })) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            lock.unlock();
            show(ProgressText(what, elapsed, worstCase), style.inPlace);
            shown = true;
            lock.lock();
            next += style.inPlace ? style.tick : style.interval;
        }
    }
    worker.join();
    if (shown && style.inPlace) finish();
}

}  // namespace ndisfilterctl
