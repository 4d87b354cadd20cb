// Independent pieces of work done on several threads whose results are taken
// in their original order, as if they had been done one after the other.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace gd {

// Runs produce(i) for every i below `count` on up to `threads` threads and
// hands each result to consume(i, result) on the calling thread, in order of
// i. At most `threads` results wait to be taken, so that memory stays bounded
// by that many pieces of work. Once consume returns false no new piece is
// started; the call returns after the running ones ended, false then.
// produce must not throw.
template <class Result>
bool runInOrder(std::size_t count, unsigned threads,
                const std::function<Result(std::size_t)>& produce,
                const std::function<bool(std::size_t, Result&&)>& consume) {
    threads = std::max(1u, threads);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<Result>> done(count);
    std::size_t claimed = 0, taken = 0;
    bool stopped = false;
    const auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock,
                         [&] { return stopped || claimed == count || claimed < taken + threads; });
            if (stopped || claimed == count) return;
            const std::size_t index = claimed++;
            lock.unlock();
            Result result = produce(index);
            lock.lock();
            done[index].emplace(std::move(result));
            changed.notify_all();
        }
    };
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < std::min<std::size_t>(threads, count); ++i) workers.emplace_back(work);
    bool whole = true;
    for (std::size_t index = 0; index < count; ++index) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done[index].has_value(); });
        Result result = std::move(*done[index]);
        done[index].reset();
        lock.unlock();
        whole = consume(index, std::move(result));
        lock.lock();
        ++taken;
        if (!whole) stopped = true;
        changed.notify_all();
        if (!whole) break;
    }
    return whole;
}

}  // namespace gd
