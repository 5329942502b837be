#include "index/core/nested_tasks.hpp"

#include <algorithm>
#include <deque>
#include <cstddef>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/sync.hpp"

namespace tarnwick {
namespace {

struct NestedTask {
    std::shared_ptr<IndexAPI> engine;
    StoredIndexable child;
};

// Removals run before additions. The cycle check of an addition climbs the
// holder links of the engines above; an object that lost its last holder but
// whose removal is still queued would cut that climb short, and additions
// below the cut could then nest a cycle level after level. Additions queue
// only further additions, so once the removals are done no cut remains.
struct TaskQueues {
    std::deque<NestedTask> removals;
    std::deque<NestedTask> additions;
    bool running = false;

    bool empty() const noexcept { return removals.empty() && additions.empty(); }

    ~TaskQueues() {
        // Left over only if an earlier run failed. Once the interpreter is
        // gone, releasing the Python references they hold is no longer
        // possible: leave them.
        if (!empty() && !Py_IsInitialized()) {
            new std::deque<NestedTask>(std::move(removals));
            new std::deque<NestedTask>(std::move(additions));
        }
    }
};

thread_local TaskQueues queues;

struct RunningFlag {
    RunningFlag() { queues.running = true; }
    ~RunningFlag() { queues.running = false; }
};

void run_queued() {
    RunningFlag running;
    while (!queues.empty()) {
        if (!queues.removals.empty()) {
            NestedTask task = std::move(queues.removals.front());
            queues.removals.pop_front();
            task.engine->remove_nested_object(task.child);
            continue;
        }
        // Every queued addition into the engine of the first one goes in as
        // one batch (a batch of holders queues one task per child); the
        // others keep their order.
        // The tasks leave the queue only once their batch is in: after a
        // failure they wait for the next run, as a single task does.
        std::deque<NestedTask>& additions = queues.additions;
        const std::shared_ptr<IndexAPI> engine = additions.front().engine;
        const auto batch_end = std::stable_partition(additions.begin(), additions.end(),
                                                     [&engine](const NestedTask& t) { return t.engine == engine; });
        const size_t count = size_t(batch_end - additions.begin());
        if (count == 1) {
            NestedTask task = std::move(additions.front());
            additions.pop_front();
            task.engine->add_nested_object(task.child);
            continue;
        }
        std::vector<StoredIndexable> children;
        children.reserve(count);
        for (auto it = additions.begin(); it != batch_end; ++it) children.push_back(it->child);
        engine->add_nested_objects(children);
        additions.erase(additions.begin(), additions.begin() + std::ptrdiff_t(count));
    }
}

}  // namespace

void run_held_nested_additions() {
    if (queues.additions.empty() || queues.running) return;
    RunningFlag running;
    std::deque<NestedTask> left;
    std::deque<NestedTask>& additions = queues.additions;
    try {
        while (!additions.empty()) {
            const std::shared_ptr<IndexAPI> engine = additions.front().engine;
            const auto batch_end = std::stable_partition(
                additions.begin(), additions.end(), [&engine](const NestedTask& t) { return t.engine == engine; });
            const size_t count = size_t(batch_end - additions.begin());
            std::vector<StoredIndexable> children;
            children.reserve(count);
            for (auto it = additions.begin(); it != batch_end; ++it) children.push_back(it->child);
            std::vector<StoredIndexable> busy = engine->add_nested_objects(children, false);
            additions.erase(additions.begin(), additions.begin() + std::ptrdiff_t(count));
            for (StoredIndexable& child : busy) left.push_back(NestedTask{engine, std::move(child)});
        }
    } catch (...) {
        // The failed batch's tasks are still queued; the ones set aside go
        // back with them.
        for (NestedTask& task : left) additions.push_back(std::move(task));
        throw;
    }
    additions = std::move(left);
}

void defer_nested_add(std::shared_ptr<IndexAPI> engine, StoredIndexable child) {
    queues.additions.push_back(NestedTask{std::move(engine), std::move(child)});
}

void defer_nested_remove(std::shared_ptr<IndexAPI> engine, StoredIndexable child) {
    queues.removals.push_back(NestedTask{std::move(engine), std::move(child)});
}

void run_nested_tasks() {
    if (queues.empty() || queues.running || native_locks_held != 0) return;
    if (gil_held_here()) {
        without_gil([] {
            GateHold inside_gate;
            run_queued();
        });
    } else {
        run_queued();
    }
}

}  // namespace tarnwick
