// The element records of container items: one block of entries per owner.
// Entries recorded one by one (the block grows) or a container at a time
// (grown once) must come back in order, with their items, from every reader
// and from detaching; under the sanitizers a block that moves its entries
// wrongly when it grows, or frees them twice, fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine_support.hpp"
#include "index/core/query/query_map.hpp"

namespace tarnwick::testing {
namespace {

struct OwnerCase {
    const char* name;
    size_t items;
    // Every how many-th entry stands for a nested container (0: none).
    size_t container_every;
    bool one_by_one;
};

const OwnerCase CASES[] = {
    {"one", 1, 0, false},
    {"two", 2, 0, false},
    {"two_one_by_one", 2, 0, true},
    {"nested_container", 5, 2, false},
    {"many_one_by_one", 37, 5, true},
    {"many_at_once", 300, 7, false},
};

// Item i of an owner: texts long enough to live on the heap now and then.
std::optional<PyValue> item_of(const OwnerCase& c, uint32_t owner, size_t i) {
    if (c.container_every && i % c.container_every == 1) return std::nullopt;
    if (i % 3 == 0) return int_value(static_cast<int64_t>(owner) * 1000 + static_cast<int64_t>(i));
    std::string text = "item " + std::to_string(owner) + "/" + std::to_string(i);
    if (i % 3 == 2) text += " with a text too long to be kept inline";
    return str_value(text);
}

class ElementBlocks : public ::testing::TestWithParam<OwnerCase> {};

TEST_P(ElementBlocks, EntriesComeBackInOrderWithTheirItems) {
    const OwnerCase& c = GetParam();
    ElementOwners owners;
    const std::vector<uint32_t> owner_ids = {4, 9, 70000};
    std::vector<std::vector<uint32_t>> elements(owner_ids.size());
    uint32_t next_element = 1u << 20;
    // Owners are filled interleaved, so that blocks grow between the
    // entries of other owners.
    for (size_t o = 0; o < owner_ids.size(); ++o)
        for (size_t i = 0; i < c.items; ++i) elements[o].push_back(next_element++);
    if (c.one_by_one) {
        for (size_t i = 0; i < c.items; ++i)
            for (size_t o = 0; o < owner_ids.size(); ++o)
                owners.record(elements[o][i], owner_ids[o], item_of(c, owner_ids[o], i));
    } else {
        for (size_t o = 0; o < owner_ids.size(); ++o) {
            ContainerItems items;
            for (size_t i = 0; i < c.items; ++i) items.push_back(item_of(c, owner_ids[o], i));
            owners.record_many(elements[o], owner_ids[o], items);
        }
    }
    EXPECT_EQ(owners.owner_count(), owner_ids.size());
    EXPECT_EQ(owners.size(), owner_ids.size() * c.items);

    Bitmap first_two;
    first_two.add(owner_ids[0]);
    first_two.add(owner_ids[1]);
    Bitmap expected_valued;
    Bitmap expected_all;
    for (size_t o = 0; o < 2; ++o)
        for (size_t i = 0; i < c.items; ++i) {
            expected_all.add(elements[o][i]);
            if (item_of(c, owner_ids[o], i)) expected_valued.add(elements[o][i]);
        }
    EXPECT_EQ(owners.valued_elements_of(first_two).to_vector(), expected_valued.to_vector());
    EXPECT_EQ(owners.elements_of(first_two).to_vector(), expected_all.to_vector());

    size_t values = 0;
    owners.for_each_value([&](const PyValue&) { ++values; });
    size_t expected_values = 0;
    for (size_t o = 0; o < owner_ids.size(); ++o)
        for (size_t i = 0; i < c.items; ++i) expected_values += item_of(c, owner_ids[o], i).has_value();
    EXPECT_EQ(values, expected_values);

    owners.for_each_owner([&](uint32_t owner, const OwnedElements& entries) {
        const size_t o = std::find(owner_ids.begin(), owner_ids.end(), owner) - owner_ids.begin();
        ASSERT_LT(o, owner_ids.size());
        ASSERT_EQ(entries.size(), c.items);
        size_t i = 0;
        for (const OwnedElement& e : entries) {
            EXPECT_EQ(e.element, elements[o][i]);
            EXPECT_EQ(e.item(), item_of(c, owner, i));
            ++i;
        }
    });
    for (size_t o = 0; o < owner_ids.size(); ++o)
        for (size_t i = 0; i < c.items; ++i) EXPECT_EQ(owners.value_of(elements[o][i]), item_of(c, owner_ids[o], i));

    // Detaching hands every entry out with its owner and item; the element
    // ids still map to their owner until they are forgotten.
    std::vector<ElementEntry> one = owners.detach(owner_ids[1]);
    ASSERT_EQ(one.size(), c.items);
    for (size_t i = 0; i < c.items; ++i) {
        EXPECT_EQ(one[i].element, elements[1][i]);
        EXPECT_EQ(one[i].owner, owner_ids[1]);
        EXPECT_EQ(one[i].value, item_of(c, owner_ids[1], i));
    }
    EXPECT_TRUE(owners.detach(owner_ids[1]).empty());
    std::vector<uint32_t> mapped;
    owners.owners_of({elements[1][0]}, mapped);
    EXPECT_EQ(mapped, std::vector<uint32_t>{owner_ids[1]});
    for (const ElementEntry& e : one) owners.forget(e.element);
    EXPECT_FALSE(owners.value_of(elements[1][0]));

    Bitmap rest;
    rest.add(owner_ids[0]);
    rest.add(owner_ids[2]);
    std::vector<ElementEntry> others = owners.detach_owners(rest);
    EXPECT_EQ(others.size(), 2 * c.items);
    for (const ElementEntry& e : others) {
        const size_t o = e.owner == owner_ids[0] ? 0 : 2;
        const size_t i = std::find(elements[o].begin(), elements[o].end(), e.element) - elements[o].begin();
        ASSERT_LT(i, c.items);
        EXPECT_EQ(e.value, item_of(c, e.owner, i));
    }
    EXPECT_EQ(owners.owner_count(), 0u);
}

TEST_P(ElementBlocks, ABlockMovedOrEmptiedKeepsNoEntryTwice) {
    const OwnerCase& c = GetParam();
    OwnedElements block;
    for (size_t i = 0; i < c.items; ++i) block.push_back(static_cast<uint32_t>(i), item_of(c, 1, i));
    EXPECT_GE(block.capacity(), block.size());
    OwnedElements moved(std::move(block));
    EXPECT_EQ(block.size(), 0u);
    EXPECT_EQ(block.begin(), block.end());
    ASSERT_EQ(moved.size(), c.items);
    moved.reserve(moved.size() + 3);
    EXPECT_GE(moved.capacity(), c.items + 3);
    OwnedElements assigned;
    assigned.push_back(99, int_value(5));
    assigned = std::move(moved);
    ASSERT_EQ(assigned.size(), c.items);
    size_t i = 0;
    for (const OwnedElement& e : assigned) {
        EXPECT_EQ(e.element, i);
        EXPECT_EQ(e.item(), item_of(c, 1, i));
        ++i;
    }
}

INSTANTIATE_TEST_SUITE_P(Owners, ElementBlocks, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<OwnerCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::testing
