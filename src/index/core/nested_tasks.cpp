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

// Additions come in batches: a bulk writer queues every child it linked as
// one entry, an assignment one child.
struct NestedBatch {
    std::shared_ptr<IndexAPI> engine;
    std::vector<StoredIndexable> children;
};

// The children of every queued addition into the engine of the first one,
// in queue order; those entries move to the front, the others keep their
// order. `count` receives the number of entries taken.
std::vector<StoredIndexable> children_of_first_engine(std::deque<NestedBatch>& additions, size_t& count) {
    const std::shared_ptr<IndexAPI>& engine = additions.front().engine;
    const auto batch_end = std::stable_partition(additions.begin(), additions.end(),
                                                 [&engine](const NestedBatch& b) { return b.engine == engine; });
    count = size_t(batch_end - additions.begin());
    if (count == 1) return additions.front().children;
    size_t total = 0;
    for (auto it = additions.begin(); it != batch_end; ++it) total += it->children.size();
    std::vector<StoredIndexable> children;
    children.reserve(total);
    for (auto it = additions.begin(); it != batch_end; ++it)
        children.insert(children.end(), it->children.begin(), it->children.end());
    return children;
}

// Removals run before additions. The cycle check of an addition climbs the
// holder links of the engines above; an object that lost its last holder but
// whose removal is still queued would cut that climb short, and additions
// below the cut could then nest a cycle level after level. Additions queue
// only further additions, so once the removals are done no cut remains.
struct TaskQueues {
    std::deque<NestedTask> removals;
    std::deque<NestedBatch> additions;
    bool running = false;

    bool empty() const noexcept { return removals.empty() && additions.empty(); }

    ~TaskQueues() {
        // Left over only if an earlier run failed. Once the interpreter is
        // gone, releasing the Python references they hold is no longer
        // possible: leave them.
        if (!empty() && !Py_IsInitialized()) {
            new std::deque<NestedTask>(std::move(removals));
            new std::deque<NestedBatch>(std::move(additions));
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
        // one batch; the others keep their order. The entries leave the
        // queue only once their batch is in: after a failure they wait for
        // the next run, as a single one does.
        std::deque<NestedBatch>& additions = queues.additions;
        const std::shared_ptr<IndexAPI> engine = additions.front().engine;
        size_t count = 0;
        std::vector<StoredIndexable> children = children_of_first_engine(additions, count);
        if (count == 1 && children.size() == 1) {
            additions.pop_front();
            engine->add_nested_object(children.front());
            continue;
        }
        engine->add_nested_objects(children);
        additions.erase(additions.begin(), additions.begin() + std::ptrdiff_t(count));
    }
}

}  // namespace

void run_held_nested_additions() {
    if (queues.additions.empty() || queues.running) return;
    RunningFlag running;
    std::deque<NestedBatch> left;
    std::deque<NestedBatch>& additions = queues.additions;
    try {
        while (!additions.empty()) {
            const std::shared_ptr<IndexAPI> engine = additions.front().engine;
            size_t count = 0;
            std::vector<StoredIndexable> children = children_of_first_engine(additions, count);
            std::vector<StoredIndexable> busy = engine->add_nested_objects(children, false);
            additions.erase(additions.begin(), additions.begin() + std::ptrdiff_t(count));
            if (!busy.empty()) left.push_back(NestedBatch{engine, std::move(busy)});
        }
    } catch (...) {
        // The failed batch's entries are still queued; the ones set aside go
        // back with them.
        for (NestedBatch& batch : left) additions.push_back(std::move(batch));
        throw;
    }
    additions = std::move(left);
}

void defer_nested_add(std::shared_ptr<IndexAPI> engine, StoredIndexable child) {
    std::vector<StoredIndexable> one;
    one.push_back(std::move(child));
    queues.additions.push_back(NestedBatch{std::move(engine), std::move(one)});
}

void defer_nested_adds(std::shared_ptr<IndexAPI> engine, std::vector<StoredIndexable> children) {
    if (children.empty()) return;
    queues.additions.push_back(NestedBatch{std::move(engine), std::move(children)});
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
