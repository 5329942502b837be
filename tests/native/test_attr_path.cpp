#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "index/core/query/attr_path.hpp"

using tarnwick::attr_parts;

namespace {

using Split = std::pair<std::string_view, std::optional<std::string_view>>;

Split split(std::string_view path) {
    auto parts = attr_parts(path);
    return {parts.head, parts.rest};
}

}  // namespace

TEST(AttrParts, SplitsAtTheFirstDotOnly) {
    EXPECT_EQ(split("a"), Split("a", std::nullopt));
    EXPECT_EQ(split("a.b.c"), Split("a", "b.c"));
    EXPECT_EQ(split("address.city"), Split("address", "city"));
    EXPECT_EQ(split(""), Split("", std::nullopt));
}

TEST(AttrParts, EmptyPartsAreKeptAsNames) {
    // A trailing dot still has a rest, only an empty one: the next level
    // looks for an attribute with the empty name instead of stopping here.
    EXPECT_EQ(split("a."), Split("a", ""));
    EXPECT_EQ(split(".a"), Split("", "a"));
    EXPECT_EQ(split("."), Split("", ""));
    EXPECT_EQ(split("a..b"), Split("a", ".b"));
    EXPECT_EQ(split(".b"), Split("", "b"));
}

TEST(AttrParts, PartsViewThePath) {
    const std::string path = "outer.inner";
    auto parts = attr_parts(path);
    EXPECT_EQ(parts.head.data(), path.data());
    EXPECT_EQ(parts.rest->data(), path.data() + 6);
}
