#include "engine_support.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>

#include "index/core/nested_tasks.hpp"
#include "index/core/query/query_expr.hpp"
#include "index/core/structures/string_interner.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/pyref.hpp"

namespace tarnwick::testing {
namespace {

PyValue scalar(CastValue primitive) { return PyValue(PyHandle(), std::move(primitive)); }

void write_map(const TestObject& object, uint32_t attribute, PyValue value) {
    const IndexableRecord& record = *object.record;
    std::optional<PyValue> old;
    {
        // Maps are written with the GIL held; the GIL holder must not block
        // on the map's mutex.
        GilAcquire gil;
        lock_releasing_gil(record.attribute_map().lock());
        MutexGuard map(record.attribute_map().lock(), std::adopt_lock);
        old = record.attribute_map().get().exchange(attribute, std::move(value));
        // The instance reads through its copy of the map's word.
        if (object.python) refresh_attribute_cache(object.python.get());
    }
}

}  // namespace

PyValue int_value(int64_t v) { return scalar(CastValue::from_int(v)); }
PyValue float_value(double v) { return scalar(CastValue::from_float(v)); }
PyValue str_value(std::string_view text) { return scalar(CastValue::from_str(ShortStr(text))); }
PyValue bool_value(bool v) { return scalar(CastValue::from_bool(v)); }
PyValue temporal_value(TemporalKind kind, int64_t days) {
    return scalar(CastValue::from_temporal(TemporalValue{kind, days, 0}));
}
PyValue native_list_value() { return scalar(CastValue::from_iterable(IterableValue{ContainerKind::List, PyHandle()})); }

uint32_t attribute_id(std::string_view name) { return INTERNER().intern(name); }

PyValue TestObject::as_value() const {
    GilAcquire gil;
    return PyValue::from_py(python.get());
}

TestObject native_object() { return TestObject{IndexableRecord::make_default(), PyHandle()}; }

TestObject python_object() {
    GilAcquire gil;
    PyObject* obj = indexable_wrap(indexable_type(), IndexableRecord::make_default());
    if (!obj) {
        PyErr_Print();
        std::abort();
    }
    return TestObject{indexable_record(obj), PyHandle::steal(obj)};
}

void assign(const TestObject& object, uint32_t attribute, const PyValue& value) {
    const IndexableRecord& record = *object.record;
    {
        MutexGuard metas(record.index_metas().lock());
        const bool private_name = is_private_attribute(attribute);
        {
            const IndexMetaVec engines = record.index_metas().get();
            for (const IndexMeta& meta : engines) {
                std::shared_ptr<IndexAPI> engine = meta.lock();
                if (!engine || (private_name && !engine->indexes_private(record.id, attribute))) continue;
                MutexGuard map(record.attribute_map().lock());
                engine->replace_index(record.id, attribute, record.attribute_map().get().get(attribute), &value);
            }
        }
        write_map(object, attribute, value);
    }
    run_nested_tasks();
}

void set_plain(const TestObject& object, uint32_t attribute, PyValue value) {
    write_map(object, attribute, std::move(value));
}

Bitmap match(const QueryMap& map, const PyValue& value) { return ops::eq(map, value); }

QueryMap* map_of(const IndexAPI& engine, uint32_t attribute) {
    ReadGuard g(engine.query_maps->lock());
    return IndexAPI::map_at(engine.query_maps->get(), attribute);
}

Bitmap match(const IndexAPI& engine, uint32_t attribute, const PyValue& value) {
    // Installed maps stay put while the engine lives, so the map may be read
    // after the table's lock is released.
    QueryMap* map = map_of(engine, attribute);
    return map ? match(*map, value) : Bitmap();
}

Bitmap bitmap_of(const std::vector<uint32_t>& ids) {
    Bitmap out;
    out.add_many(ids);
    return out;
}

void run_threads(size_t n, const std::function<void(size_t)>& body, std::chrono::seconds limit) {
    std::latch start(static_cast<std::ptrdiff_t>(n));
    std::mutex m;
    std::condition_variable cv;
    size_t finished = 0;
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (size_t t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            try {
                body(t);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "thread " << t << " threw: " << e.what();
            }
            std::lock_guard<std::mutex> g(m);
            ++finished;
            cv.notify_all();
        });
    }
    std::unique_lock<std::mutex> g(m);
    if (!cv.wait_for(g, limit, [&] { return finished == n; })) {
        std::fprintf(stderr, "deadlock: %zu of %zu threads still running after %lld s\n", n - finished, n,
                     static_cast<long long>(limit.count()));
        std::abort();
    }
    g.unlock();
    for (std::thread& th : threads) th.join();
}

void settle_python() {
    GilAcquire gil;
    drain_pending_decrefs();
    // Objects that hold each other (a.x = b, b.x = a) go only with a collection.
    PyGC_Collect();
    drain_pending_decrefs();
}

}  // namespace tarnwick::testing
