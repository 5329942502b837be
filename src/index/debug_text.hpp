// Brace-and-colon record notation for native values: `Name { field: value }`,
// `Name(item)`, `[a, b]`, and an alternate form that puts every field or item
// on its own line, indented by four spaces per level.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

class DebugNode {
public:
    // Text printed as is.
    static DebugNode leaf(std::string text);
    // `Name { a: x, b: y }`; with no fields just `Name`.
    static DebugNode record(std::string name, std::vector<std::pair<std::string, DebugNode>> fields);
    // `Name(x, y)`; with no items just `Name`; with an empty name `(x, y)`.
    static DebugNode tuple(std::string name, std::vector<DebugNode> items);
    // `[x, y]`.
    static DebugNode list(std::vector<DebugNode> items);

    std::string render(bool alternate = false) const;

private:
    enum class Shape { Leaf, Record, Tuple, List };

    void render_into(std::string& out, bool alternate, int depth) const;

    Shape shape_ = Shape::Leaf;
    std::string text_;  // leaf text or record/tuple name
    std::vector<std::pair<std::string, DebugNode>> children_;  // field names empty for tuples and lists
};

// A double as the shortest decimal that reads back as the same value: "1.0",
// "0.1", "1e16", "1.5e-7", "NaN", "inf", "-0.0".
std::string debug_float(double v);

// UTF-8 text in double quotes with backslash escapes. Lone surrogates (kept
// as their three-byte encodings) and control characters print as \u{...}.
std::string debug_quote(std::string_view utf8);

// A pointer as lower-case hexadecimal with a 0x prefix.
std::string debug_pointer(const void* p);

}  // namespace tarnwick
