#include "index/core/structures/numerical_bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tarnwick;

namespace {

constexpr int64_t I64_MIN = std::numeric_limits<int64_t>::min();
constexpr int64_t I64_MAX = std::numeric_limits<int64_t>::max();
constexpr int64_t TWO_53 = int64_t(1) << 53;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double DENORM_MIN = std::numeric_limits<double>::denorm_min();
constexpr double NORM_MIN = std::numeric_limits<double>::min();
const double DENORM_MAX = std::bit_cast<double>((uint64_t(1) << 52) - 1);

struct Num {
    bool is_float;
    int64_t i;
    double d;
    static Num I(int64_t v) { return {false, v, 0}; }
    static Num F(double v) { return {true, 0, v}; }
    OrderKey key() const { return is_float ? order_key_float(d) : order_key_int(i); }
    std::string str() const { return is_float ? std::to_string(d) + "f" : std::to_string(i); }
};

// Exact comparison of an integer with a (non-NaN) double, without rounding the
// integer through a double.
int cmp_int_double(int64_t i, double d) {
    if (d >= 9223372036854775808.0) return -1;
    if (d < -9223372036854775808.0) return 1;
    const auto t = static_cast<int64_t>(d);  // exact truncation in this range
    if (i != t) return i < t ? -1 : 1;
    const double frac = d - static_cast<double>(t);
    return frac > 0 ? -1 : frac < 0 ? 1 : 0;
}

int cmp_exact(const Num& a, const Num& b) {
    if (!a.is_float && !b.is_float) return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
    if (a.is_float && b.is_float) return a.d < b.d ? -1 : a.d > b.d ? 1 : 0;
    if (!a.is_float) return cmp_int_double(a.i, b.d);
    return -cmp_int_double(b.i, a.d);
}

int cmp_keys(const OrderKey& a, const OrderKey& b) {
    auto c = a <=> b;
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// Numbers that stress the key: extremes, the edge of double precision, zeros
// of both signs, subnormals, infinities, plus random ones. No NaN: the model
// has no order for it.
std::vector<Num> number_pool(std::mt19937_64& rng) {
    std::vector<Num> pool;
    for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), int64_t(2), int64_t(-2), int64_t(3), int64_t(5),
                      I64_MIN, I64_MIN + 1, I64_MAX, I64_MAX - 1, TWO_53, -TWO_53, TWO_53 + 1, -TWO_53 - 1,
                      TWO_53 - 1, -TWO_53 + 1, int64_t(1) << 62})
        pool.push_back(Num::I(v));
    for (double v : {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 3.0, 9007199254740992.0, 9007199254740994.0,
                     -9007199254740992.0, 9223372036854775808.0, -9223372036854775808.0, 18446744073709551616.0,
                     1e300, -1e300, std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                     NORM_MIN, -NORM_MIN, DENORM_MIN, -DENORM_MIN, DENORM_MAX, -DENORM_MAX, 1e-310, INF, -INF})
        pool.push_back(Num::F(v));
    std::uniform_int_distribution<int64_t> small(-10, 10);
    for (int n = 0; n < 20; ++n) {
        pool.push_back(Num::I(static_cast<int64_t>(rng())));
        pool.push_back(Num::I(small(rng)));
        pool.push_back(Num::F(double(small(rng)) / 4));
        double d;
        do d = std::bit_cast<double>(rng());
        while (std::isnan(d));
        pool.push_back(Num::F(d));
        // A random subnormal of random sign.
        const uint64_t f = rng() & ((uint64_t(1) << 52) - 1);
        pool.push_back(Num::F(std::bit_cast<double>(f | (rng() & (uint64_t(1) << 63)))));
    }
    return pool;
}

std::vector<uint32_t> ids_of(const Bitmap& b) { return b.to_vector(); }

}  // namespace

TEST(OrderKey, FixedKeysAndWordForm) {
    EXPECT_EQ(order_key_int(0), (OrderKey{0, 0x800}));
    EXPECT_EQ(order_key_float(-0.0), (OrderKey{0, 0x800}));
    EXPECT_EQ(order_key_int(1), (OrderKey{uint64_t(1) << 63, 0xBFF}));
    EXPECT_EQ(order_key_float(1.0), order_key_int(1));
    EXPECT_EQ(order_key_float(-9223372036854775808.0), order_key_int(I64_MIN));
    EXPECT_EQ(order_key_float(std::nan("")).header, 0xFFF);
    EXPECT_EQ(order_key_float(-std::nan("")).header, 0);

    const OrderKey k = order_key_int(-123456789012345);
    const auto w = k.to_words();
    EXPECT_EQ(w[0], uint32_t(k.mantissa));
    EXPECT_EQ(w[1], uint32_t(k.mantissa >> 32));
    EXPECT_EQ(w[2], k.header);
    EXPECT_EQ(w[3], 0u);
    EXPECT_EQ(OrderKey::from_words(w), k);
}

TEST(OrderKey, ChainFollowsNumericOrder) {
    const std::vector<std::vector<OrderKey>> chain = {
        {order_key_float(-std::nan(""))},
        {order_key_float(-INF)},
        {order_key_float(-1e300)},
        {order_key_int(I64_MIN), order_key_float(-9223372036854775808.0)},
        {order_key_int(-1), order_key_float(-1.0)},
        {order_key_float(-0.5)},
        {order_key_float(-NORM_MIN)},
        {order_key_float(-DENORM_MAX)},
        {order_key_float(-DENORM_MIN)},
        {order_key_int(0), order_key_float(0.0), order_key_float(-0.0)},
        {order_key_float(DENORM_MIN)},
        {order_key_float(DENORM_MAX)},
        {order_key_float(NORM_MIN)},
        {order_key_int(1), order_key_float(1.0)},
        {order_key_float(9007199254740992.0), order_key_int(TWO_53)},
        {order_key_int(TWO_53 + 1)},
        {order_key_int(I64_MAX)},
        {order_key_float(9223372036854775808.0)},
        {order_key_float(std::numeric_limits<double>::max())},
        {order_key_float(INF)},
        {order_key_float(std::nan(""))},
    };
    for (size_t i = 0; i < chain.size(); ++i) {
        for (const OrderKey& k : chain[i]) EXPECT_EQ(k, chain[i][0]) << "group " << i;
        if (i > 0) {
            EXPECT_LT(chain[i - 1][0], chain[i][0]) << "group " << i;
        }
    }
}

TEST(OrderKey, KeyOrderEqualsExactNumericOrderOverPool) {
    std::mt19937_64 rng(7);
    const auto pool = number_pool(rng);
    for (const Num& a : pool)
        for (const Num& b : pool)
            ASSERT_EQ(cmp_keys(a.key(), b.key()), cmp_exact(a, b)) << a.str() << " vs " << b.str();
}

TEST(NumericalBitmap, ComparisonsOnSmallSet) {
    NumericalBitmap nb;
    nb.insert(order_key_int(3), 1);
    nb.insert(order_key_float(5.0), 2);
    nb.insert(order_key_int(7), 3);
    const Bitmap all{1, 2, 3, 99};
    const OrderKey five = order_key_int(5);

    auto run = [&](CompareIntoBaseFn fn, const Bitmap& base) {
        Bitmap out{1000};  // earlier members must stay
        fn(nb, five, out, base);
        return ids_of(out);
    };
    using V = std::vector<uint32_t>;
    EXPECT_EQ(run(GET_GT_FN(), all), (V{3, 1000}));
    EXPECT_EQ(run(GET_GTE_FN(), all), (V{2, 3, 1000}));
    EXPECT_EQ(run(GET_LT_FN(), all), (V{1, 1000}));
    EXPECT_EQ(run(GET_LTE_FN(), all), (V{1, 2, 1000}));
    EXPECT_EQ(run(GET_GTE_FN(), Bitmap()), (V{1000}));
    EXPECT_EQ(run(GET_GTE_FN(), Bitmap{1, 3}), (V{3, 1000}));
    EXPECT_EQ(ids_of(nb.eq(order_key_float(5.0))), (V{2}));
    EXPECT_TRUE(nb.eq(order_key_int(4)).empty());
}

TEST(NumericalBitmap, RandomOperationsMatchModel) {
    std::mt19937_64 rng(12345);
    const auto pool = number_pool(rng);
    constexpr uint32_t id_count = 150;
    NumericalBitmap nb;
    std::map<uint32_t, Num> model;
    std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<uint32_t> pick_id(1, id_count);

    auto check = [&](int round) {
        // Each id's key as the slices hold it.
        for (uint32_t id = 1; id <= id_count; ++id) {
            const auto it = model.find(id);
            const std::optional<OrderKey> held = nb.key_of(id);
            ASSERT_EQ(held.has_value(), it != model.end()) << "id " << id << " round " << round;
            if (held) ASSERT_TRUE(*held == it->second.key()) << "id " << id << " round " << round;
            const Num other = pool[pick(rng)];
            ASSERT_EQ(nb.holds_key(id, other.key()), held && *held == other.key()) << "id " << id;
            if (held) ASSERT_TRUE(nb.holds_key(id, *held));
        }
        for (int q = 0; q < 40; ++q) {
            const Num probe = q % 2 && !model.empty() ? std::next(model.begin(), rng() % model.size())->second
                                                      : pool[pick(rng)];
            Bitmap base;
            const int kind = q % 3;  // everything, a random half, or one narrow range
            for (uint32_t id = 1; id <= id_count; ++id)
                if (kind == 0 || (kind == 1 && rng() % 2) || (kind == 2 && id % 7 == 0)) base.add(id);
            std::vector<uint32_t> gt, ge, lt, le, eq;
            for (const auto& [id, v] : model) {
                const int c = cmp_exact(v, probe);
                if (c == 0) eq.push_back(id);
                if (!base.contains(id)) continue;
                if (c > 0) gt.push_back(id);
                if (c >= 0) ge.push_back(id);
                if (c < 0) lt.push_back(id);
                if (c <= 0) le.push_back(id);
            }
            const OrderKey key = probe.key();
            Bitmap out_gt, out_ge, out_lt, out_le;
            nb.get_gt_into_base(key, out_gt, base);
            nb.get_gte_into_base(key, out_ge, base);
            nb.get_lt_into_base(key, out_lt, base);
            nb.get_lte_into_base(key, out_le, base);
            ASSERT_EQ(ids_of(out_gt), gt) << "gt " << probe.str() << " round " << round;
            ASSERT_EQ(ids_of(out_ge), ge) << "ge " << probe.str() << " round " << round;
            ASSERT_EQ(ids_of(out_lt), lt) << "lt " << probe.str() << " round " << round;
            ASSERT_EQ(ids_of(out_le), le) << "le " << probe.str() << " round " << round;
            ASSERT_EQ(ids_of(nb.eq(key)), eq) << "eq " << probe.str() << " round " << round;
        }
    };

    for (int round = 0; round < 6; ++round) {
        for (int step = 0; step < 120; ++step) {
            const uint32_t id = pick_id(rng);
            auto it = model.find(id);
            if (it != model.end()) {
                nb.remove(it->second.key(), id);
                model.erase(it);
                if (rng() % 3 == 0) continue;  // leave some ids unset
            }
            const Num v = pool[pick(rng)];
            nb.insert(v.key(), id);
            if (rng() % 4 == 0) nb.insert(v.key(), id);  // repeating an insertion changes nothing
            model.insert_or_assign(id, v);
        }
        check(round);
    }
    for (const auto& [id, v] : model) nb.remove(v.key(), id);
    for (const auto& slice : nb.slices()) {
        EXPECT_TRUE(slice[0].bitmap().empty());
        EXPECT_TRUE(slice[1].bitmap().empty());
    }
}

namespace {

void expect_same_structure(const NumericalBitmap& a, const NumericalBitmap& b) {
    for (int c = 0; c < OrderKey::bits; ++c)
        for (int e = 0; e < 2; ++e)
            ASSERT_TRUE(a.slices()[c][e].bitmap() == b.slices()[c][e].bitmap()) << "slice " << c << "/" << e;
}

}  // namespace

TEST(NumericalBitmap, BufferedInsertionFlushesAtCapacityAndMatchesDirect) {
    NumericalBitmap buffered, direct;
    const OrderKey k = order_key_int(42);
    for (uint32_t id = 1; id <= 64; ++id) buffered.insert_buffered(k, id);
    EXPECT_EQ(buffered.buffered_count(), 64u * OrderKey::bits);
    EXPECT_TRUE(buffered.eq(k).empty());  // readers see only flushed ids
    buffered.insert_buffered(k, 65);
    EXPECT_EQ(buffered.buffered_count(), size_t(OrderKey::bits));
    EXPECT_EQ(buffered.eq(k).cardinality(), 64u);

    std::mt19937_64 rng(3);
    const auto pool = number_pool(rng);
    for (uint32_t id = 1; id <= 65; ++id) direct.insert(k, id);
    for (uint32_t id = 100; id < 600; ++id) {
        const OrderKey key = pool[rng() % pool.size()].key();
        buffered.insert_buffered(key, id);
        direct.insert(key, id);
    }
    buffered.flush();
    EXPECT_EQ(buffered.buffered_count(), 0u);
    expect_same_structure(buffered, direct);

    // Removing an id that still sits in a write buffer removes it for good.
    buffered.insert_buffered(order_key_int(-9), 7000);
    buffered.remove(order_key_int(-9), 7000);
    buffered.flush();
    EXPECT_FALSE(buffered.eq(order_key_int(-9)).contains(7000));
}

TEST(NumericalBitmap, RetainAndMergeMatchRebuiltIndex) {
    std::mt19937_64 rng(99);
    const auto pool = number_pool(rng);
    NumericalBitmap left, right, both, kept;
    Bitmap keep;
    std::vector<OrderKey> keys(301);
    for (uint32_t id = 1; id <= 300; ++id) {
        const OrderKey key = keys[id] = pool[rng() % pool.size()].key();
        (id % 2 ? left : right).insert(key, id);
        both.insert(key, id);
        if (id % 3 == 0) {
            keep.add(id);
            kept.insert(key, id);
        }
    }
    NumericalBitmap merged;
    merged.merge_from(left);
    right.insert_buffered(keys[1], 1);  // ids pending on the receiving side are kept as well
    right.merge_from(left);
    right.flush();
    merged.merge_from(right);
    expect_same_structure(merged, both);

    both.retain(keep);
    expect_same_structure(both, kept);
}

TEST(NumericalBitmap, ThreadsCompareConcurrently) {
    NumericalBitmap nb;
    for (uint32_t id = 0; id < 2000; ++id) nb.insert(order_key_int(int64_t(id) * 3 - 1000), id);
    Bitmap base;
    for (uint32_t id = 0; id < 2000; ++id) base.add(id);

    std::vector<std::future<bool>> workers;
    for (int t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [&nb, &base, t] {
            for (int r = 0; r < 200; ++r) {
                const int64_t bound = (t * 200 + r) * 3 - 1000;  // the value of id t*200+r
                Bitmap gt, le;
                GET_GT_FN()(nb, order_key_int(bound), gt, base);
                GET_LTE_FN()(nb, order_key_int(bound), le, base);
                const uint32_t split = uint32_t(t * 200 + r);
                if (le.cardinality() != split + 1 || gt.cardinality() != 2000 - split - 1 || le.maximum() != split)
                    return false;
            }
            return true;
        }));
    }
    for (auto& w : workers) {
        ASSERT_EQ(w.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "comparison hung";
        EXPECT_TRUE(w.get());
    }
}

// ---- data with constant slices --------------------------------------------
//
// Real data leaves most key bits constant, and the comparisons take shortcuts
// on such slices. These tests fill the index from narrow value families and
// compare every answer with a scan of the stored keys, so a wrong shortcut
// (skipping a slice that still separates ids, or trusting ids of the base that
// hold no number) shows.

namespace {

struct KeyModel {
    std::map<uint32_t, OrderKey> keys;

    std::vector<uint32_t> select(const Bitmap* base, const std::function<bool(const OrderKey&)>& pass) const {
        std::vector<uint32_t> out;
        for (const auto& [id, k] : keys)
            if ((!base || base->contains(id)) && pass(k)) out.push_back(id);
        return out;
    }
};

using Family = std::function<Num(std::mt19937_64&)>;

std::vector<std::pair<std::string, Family>> families() {
    const double nan = std::nan("");
    return {
        {"ints 0..99", [](std::mt19937_64& r) { return Num::I(int64_t(r() % 100)); }},
        {"floats in [0,1)",
         [](std::mt19937_64& r) { return Num::F(std::uniform_real_distribution<double>(0, 1)(r)); }},
        {"small of both signs",
         [](std::mt19937_64& r) {
             const int64_t v = int64_t(r() % 101) - 50;
             return r() % 2 ? Num::I(v) : Num::F(double(v) / 8);
         }},
        {"one value", [](std::mt19937_64&) { return Num::F(2.5); }},
        {"two values", [](std::mt19937_64& r) { return r() % 2 ? Num::I(-7) : Num::I(1000); }},
        {"negatives only", [](std::mt19937_64& r) { return Num::I(-int64_t(r() % 1000) - 1); }},
        {"near 2^53 and beyond",
         [](std::mt19937_64& r) { return Num::I(TWO_53 + int64_t(r() % 5) - 2 + (r() % 2 ? int64_t(1) << 60 : 0)); }},
        {"specials",
         [nan](std::mt19937_64& r) {
             static const double pick[] = {INF, -INF, nan, -nan, DENORM_MIN, -DENORM_MIN, DENORM_MAX, 1e-310,
                                           NORM_MIN, 0.0, -0.0, 1.0, -1.0};
             const size_t i = r() % (std::size(pick) + 2);
             if (i == std::size(pick)) return Num::I(I64_MAX);
             if (i == std::size(pick) + 1) return Num::I(I64_MIN);
             return Num::F(pick[i]);
         }},
    };
}

// Probes: stored values, values next to them, and the extremes.
std::vector<OrderKey> probes_for(const KeyModel& model, std::mt19937_64& rng) {
    std::vector<OrderKey> probes = {order_key_int(0), order_key_int(-1), order_key_int(100), order_key_float(0.5),
                                    order_key_float(INF), order_key_float(-INF), order_key_float(std::nan("")),
                                    order_key_float(-std::nan("")), order_key_int(I64_MIN), order_key_int(TWO_53 + 1),
                                    order_key_float(DENORM_MIN), order_key_float(-DENORM_MIN)};
    for (int i = 0; i < 12 && !model.keys.empty(); ++i) {
        OrderKey k = std::next(model.keys.begin(), rng() % model.keys.size())->second;
        probes.push_back(k);
        OrderKey up = k, down = k;
        ++up.mantissa;
        --down.mantissa;
        probes.push_back(up);
        probes.push_back(down);
    }
    return probes;
}

}  // namespace

TEST(NumericalBitmap, NarrowFamiliesMatchKeyScan) {
    std::mt19937_64 rng(2024);
    for (const auto& [name, family] : families()) {
        NumericalBitmap nb;
        KeyModel model;
        // Enough ids for dense containers in one chunk, a sparse second chunk,
        // and ids 1..99 left without a number.
        for (uint32_t id = 100; id < 7000; ++id) model.keys[id] = family(rng).key();
        for (uint32_t id = 70000; id < 72000; id += 3) model.keys[id] = family(rng).key();
        for (const auto& [id, k] : model.keys) nb.insert(k, id);

        Bitmap everything, half, narrow, empty;
        for (uint32_t id = 1; id < 72000; ++id) {
            everything.add(id);
            if (rng() % 2) half.add(id);
            if (id % 97 == 0 || id < 50) narrow.add(id);
        }
        // Few enough candidates to be tested one by one: some without a
        // number, some beyond every id of the structure, and a single one.
        Bitmap few{3, 99, 100, 6999, 71998, 900000}, single{70000};
        while (few.cardinality() < NumericalBitmap::few_per_chunk) few.add(100 + uint32_t(rng() % 72000));
        const std::vector<std::pair<const char*, const Bitmap*>> bases = {
            {"everything", &everything}, {"half", &half},   {"narrow", &narrow},
            {"few", &few},               {"single", &single}, {"empty", &empty}};

        const auto probes = probes_for(model, rng);
        for (const OrderKey& p : probes) {
            ASSERT_EQ(ids_of(nb.eq(p)), model.select(nullptr, [&](const OrderKey& k) { return k == p; }))
                << name << " eq";
            for (const auto& [base_name, base] : bases) {
                const std::string where = std::string(name) + " base " + base_name;
                Bitmap gt, ge, lt, le;
                nb.get_gt_into_base(p, gt, *base);
                nb.get_gte_into_base(p, ge, *base);
                nb.get_lt_into_base(p, lt, *base);
                nb.get_lte_into_base(p, le, *base);
                ASSERT_EQ(ids_of(gt), model.select(base, [&](const OrderKey& k) { return k > p; })) << where << " gt";
                ASSERT_EQ(ids_of(ge), model.select(base, [&](const OrderKey& k) { return k >= p; })) << where << " ge";
                ASSERT_EQ(ids_of(lt), model.select(base, [&](const OrderKey& k) { return k < p; })) << where << " lt";
                ASSERT_EQ(ids_of(le), model.select(base, [&](const OrderKey& k) { return k <= p; })) << where << " le";
            }
        }
        // Between every pair of a few probes, in both orders (reversed
        // bounds select nothing), including equal bounds.
        for (size_t i = 0; i < probes.size(); i += 4) {
            for (size_t j = 0; j < probes.size(); j += 3) {
                const OrderKey lo = probes[i], hi = probes[j];
                for (const auto& [base_name, base] : bases) {
                    Bitmap out{5};  // earlier members stay
                    nb.get_between_into_base(lo, hi, out, *base);
                    auto want = model.select(base, [&](const OrderKey& k) { return lo <= k && k <= hi; });
                    want.insert(want.begin(), 5u);
                    ASSERT_EQ(ids_of(out), want) << name << " base " << base_name << " between " << i << "," << j;
                }
            }
        }
        for (uint16_t h : {uint16_t(0), uint16_t(0x800), uint16_t(0xFFF), uint16_t(0xBFF), uint16_t(0x400)}) {
            const bool held = !model.select(nullptr, [&](const OrderKey& k) { return k.header == h; }).empty();
            EXPECT_EQ(nb.holds_header(h), held) << name << " header " << h;
        }
    }
}

TEST(NumericalBitmap, EmptyIndexAndIdsWithoutNumbers) {
    NumericalBitmap nb;
    const Bitmap base{1, 2, 3};
    Bitmap out;
    nb.get_gte_into_base(order_key_int(0), out, base);
    nb.get_between_into_base(order_key_int(-5), order_key_int(5), out, base);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(nb.eq(order_key_int(0)).empty());
    EXPECT_FALSE(nb.holds_header(0x800));
    EXPECT_TRUE(nb.eq_within(order_key_int(0), base).empty());
    EXPECT_EQ(nb.eq_estimate(order_key_int(0)), 0u);
    EXPECT_FALSE(nb.key_of(1).has_value());
    EXPECT_FALSE(nb.holds_key(1, order_key_int(0)));

    // The key slices are made by the first number only: a structure that
    // holds none stays small (every attribute map has one) and every write
    // that adds nothing leaves it so.
    static_assert(sizeof(NumericalBitmap) < 2048);
    const NumericalBitmap untouched;
    nb.remove(order_key_int(3), 1);
    nb.flush();
    nb.retain(base);
    nb.merge_from(untouched);
    nb.insert_many({});
    EXPECT_EQ(&nb.slices(), &untouched.slices());
    EXPECT_EQ(nb.buffered_count(), 0u);
    for (const auto& slice : nb.slices()) EXPECT_TRUE(slice[0].bitmap().empty() && slice[1].bitmap().empty());

    // Every stored id holds the same key, so no slice varies; base ids 1 and
    // 2 hold no number and must stay out of every answer.
    for (uint32_t id = 10; id < 20; ++id) nb.insert(order_key_int(4), id);
    Bitmap base2{1, 2, 10, 11};
    using V = std::vector<uint32_t>;
    Bitmap ge, lt, bt;
    nb.get_gte_into_base(order_key_int(4), ge, base2);
    nb.get_lt_into_base(order_key_int(5), lt, base2);
    nb.get_between_into_base(order_key_int(4), order_key_int(4), bt, base2);
    EXPECT_EQ(ids_of(ge), (V{10, 11}));
    EXPECT_EQ(ids_of(lt), (V{10, 11}));
    EXPECT_EQ(ids_of(bt), (V{10, 11}));
    EXPECT_EQ(nb.eq(order_key_int(4)).cardinality(), 10u);
    EXPECT_TRUE(nb.eq(order_key_int(5)).empty());
    EXPECT_NE(&nb.slices(), &untouched.slices());

    // Merged into a structure that never held a number, the slices come along.
    NumericalBitmap fresh;
    fresh.merge_from(nb);
    expect_same_structure(fresh, nb);
    EXPECT_EQ(fresh.key_of(15), order_key_int(4));
}

namespace {

enum class IdOrder { Ascending, Shuffled, Repeated };

struct BatchCase {
    size_t size;     // entries in the batch (past one chunk of the batch path, too)
    size_t keys;     // distinct keys drawn from the pool (few: the sets stay)
    IdOrder order;
    bool preloaded;  // ids in the structure before the batch
};

std::string batch_name(const ::testing::TestParamInfo<BatchCase>& info) {
    const BatchCase& c = info.param;
    const char* order = c.order == IdOrder::Ascending ? "Ascending" : c.order == IdOrder::Shuffled ? "Shuffled" : "Repeated";
    return "N" + std::to_string(c.size) + "K" + std::to_string(c.keys) + order + (c.preloaded ? "Preloaded" : "");
}

class BatchInsertion : public ::testing::TestWithParam<BatchCase> {};

}  // namespace

// A batch must leave exactly what inserting its entries one by one leaves:
// every slice, and equality through the whole-value sets.
TEST_P(BatchInsertion, EqualsOneByOne) {
    const BatchCase& c = GetParam();
    std::mt19937_64 rng(c.size * 31 + c.keys);
    auto pool = number_pool(rng);
    std::shuffle(pool.begin(), pool.end(), rng);
    std::vector<OrderKey> keys;
    for (size_t k = 0; k < c.keys; ++k)
        keys.push_back(k < pool.size() ? pool[k].key() : order_key_int(int64_t(k) * 7919 - 1000000));

    NumericalBitmap batched, single;
    if (c.preloaded) {
        for (uint32_t id = 0; id < 3000; id += 3) {
            const OrderKey key = keys[rng() % keys.size()];
            batched.insert(key, id);
            single.insert(key, id);
        }
    }
    std::vector<NumericalBitmap::Entry> entries;
    for (size_t i = 0; i < c.size; ++i) {
        // Ids spaced as objects interleaved with others, crossing 2^16 blocks.
        const uint32_t id = c.order == IdOrder::Repeated ? uint32_t(rng() % (c.size / 2 + 1)) * 5 : uint32_t(i) * 5 + 1;
        entries.push_back({keys[rng() % keys.size()], id});
    }
    if (c.order == IdOrder::Shuffled) std::shuffle(entries.begin(), entries.end(), rng);
    batched.insert_many(entries);
    for (const auto& e : entries) single.insert(e.key, e.id);

    EXPECT_EQ(batched.buffered_count(), 0u);
    expect_same_structure(batched, single);
    for (const OrderKey& key : keys) {
        EXPECT_TRUE(batched.eq(key) == single.eq(key));
        EXPECT_EQ(batched.eq_estimate(key), single.eq_estimate(key));
    }
    // Removals afterwards find every id where the batch put it.
    for (size_t i = 0; i < entries.size(); i += 7) {
        batched.remove(entries[i].key, entries[i].id);
        single.remove(entries[i].key, entries[i].id);
    }
    expect_same_structure(batched, single);
    for (const OrderKey& key : keys) EXPECT_TRUE(batched.eq(key) == single.eq(key));
}

INSTANTIATE_TEST_SUITE_P(
    Batches, BatchInsertion,
    ::testing::Values(BatchCase{1, 1, IdOrder::Ascending, false}, BatchCase{300, 1, IdOrder::Ascending, true},
                      BatchCase{5000, 40, IdOrder::Ascending, false}, BatchCase{5000, 40, IdOrder::Shuffled, true},
                      BatchCase{5000, 40, IdOrder::Repeated, false}, BatchCase{40000, 100, IdOrder::Ascending, false},
                      BatchCase{40000, 3000, IdOrder::Shuffled, true}, BatchCase{40000, 3000, IdOrder::Repeated, true}),
    batch_name);

// Replacing moves an id between keys as remove-then-insert does, whatever
// the keys; replaying it with the keys swapped undoes one that failed part
// way.
TEST(NumericalBitmap, ReplaceEqualsRemoveThenInsert) {
    std::mt19937_64 rng(17);
    const auto pool = number_pool(rng);
    std::vector<OrderKey> few, all, wide;
    for (size_t k = 0; k < pool.size(); ++k) (k < 5 ? few : all).push_back(pool[k].key());
    // Past the limit of the whole-value sets.
    for (int k = 0; k < 3000; ++k) wide.push_back(order_key_int(int64_t(rng() % 100000)));
    for (const std::vector<OrderKey>* palette : {&few, &all, &wide}) {
        auto draw = [&] { return (*palette)[rng() % palette->size()]; };
        NumericalBitmap replaced, rebuilt;
        std::vector<OrderKey> held(2000);
        for (uint32_t id = 0; id < held.size(); ++id) {
            held[id] = draw();
            replaced.insert(held[id], id);
            rebuilt.insert(held[id], id);
        }
        for (int step = 0; step < 4000; ++step) {
            const uint32_t id = uint32_t(rng() % held.size());
            const OrderKey next = draw();
            replaced.replace(held[id], next, id);
            rebuilt.remove(held[id], id);
            rebuilt.insert(next, id);
            held[id] = next;
        }
        expect_same_structure(replaced, rebuilt);
        for (const OrderKey& key : *palette) EXPECT_TRUE(replaced.eq(key) == rebuilt.eq(key));

        // Failing at every allocation point of a replacement in turn.
        for (int64_t n = 1;; ++n) {
            const uint32_t id = uint32_t(rng() % held.size());
            OrderKey next = draw();
            while (next == held[id]) next = draw();
            fail_allocation_after(n);
            try {
                replaced.replace(held[id], next, id);
            } catch (const std::bad_alloc&) {
                replaced.replace(next, held[id], id);
                expect_same_structure(replaced, rebuilt);
                EXPECT_EQ(replaced.key_of(id), held[id]);
                EXPECT_TRUE(replaced.eq(held[id]) == rebuilt.eq(held[id]));
                continue;
            }
            const bool failed_nowhere = fail_allocation_after(0) > 0;
            rebuilt.remove(held[id], id);
            rebuilt.insert(next, id);
            held[id] = next;
            expect_same_structure(replaced, rebuilt);
            if (failed_nowhere) break;
        }
    }
}
