// Runs jobs on threads of their own for the structures' thread tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace tarnwick::testing {

// A job still running after the limit is taken for a deadlock: the test binary
// ends with a failure instead of hanging. A job's exception is rethrown here.
inline void run_bounded(std::vector<std::function<void()>> jobs,
                        std::chrono::seconds limit = std::chrono::seconds(120)) {
    std::vector<std::thread> threads;
    std::vector<std::future<void>> done;
    for (auto& job : jobs) {
        std::packaged_task<void()> task(std::move(job));
        done.push_back(task.get_future());
        threads.emplace_back(std::move(task));
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (auto& f : done) {
        if (f.wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr, "threads still running after %llds: deadlock\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
        }
    }
    for (auto& t : threads) t.join();
    for (auto& f : done) f.get();
}

}  // namespace tarnwick::testing
