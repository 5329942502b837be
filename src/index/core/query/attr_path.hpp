// Attribute paths of queries: "address.city" names the attribute city of the
// object held in the attribute address. A path is peeled one level at a time,
// so each nested engine only ever sees the part of the path below it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tarnwick {

struct AttrParts {
    std::string_view head;
    // Absent when the path has no dot; present (possibly empty) otherwise.
    std::optional<std::string_view> rest;
};

// Splits at the first "." only; the rest keeps any further dots. Dots are
// the only syntax: an empty head or rest is passed on as an ordinary name.
// The parts are views into path.
constexpr AttrParts attr_parts(std::string_view path) noexcept {
    const size_t dot = path.find('.');
    if (dot == std::string_view::npos) return {path, std::nullopt};
    return {path.substr(0, dot), path.substr(dot + 1)};
}

}  // namespace tarnwick
