#include "index/core/nested_tasks.hpp"

#include <deque>
#include <utility>

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
        const bool removal = !queues.removals.empty();
        std::deque<NestedTask>& from = removal ? queues.removals : queues.additions;
        NestedTask task = std::move(from.front());
        from.pop_front();
        if (removal) {
            task.engine->remove_nested_object(task.child);
        } else {
            task.engine->add_nested_object(task.child);
        }
    }
}

}  // namespace

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
