#include "index/debug_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tarnwick {

DebugNode DebugNode::leaf(std::string text) {
    DebugNode n;
    n.text_ = std::move(text);
    return n;
}

DebugNode DebugNode::record(std::string name, std::vector<std::pair<std::string, DebugNode>> fields) {
    DebugNode n;
    n.shape_ = Shape::Record;
    n.text_ = std::move(name);
    n.children_ = std::move(fields);
    return n;
}

DebugNode DebugNode::tuple(std::string name, std::vector<DebugNode> items) {
    DebugNode n;
    n.shape_ = Shape::Tuple;
    n.text_ = std::move(name);
    for (auto& item : items) n.children_.emplace_back(std::string(), std::move(item));
    return n;
}

DebugNode DebugNode::list(std::vector<DebugNode> items) {
    DebugNode n;
    n.shape_ = Shape::List;
    for (auto& item : items) n.children_.emplace_back(std::string(), std::move(item));
    return n;
}

std::string DebugNode::render(bool alternate) const {
    std::string out;
    render_into(out, alternate, 0);
    return out;
}

void DebugNode::render_into(std::string& out, bool alternate, int depth) const {
    if (shape_ == Shape::Leaf) {
        out += text_;
        return;
    }
    out += text_;
    if (children_.empty() && shape_ != Shape::List) return;  // unit record or tuple: the bare name

    const char* open = shape_ == Shape::Record ? " {" : shape_ == Shape::Tuple ? "(" : "[";
    const char* close = shape_ == Shape::Record ? "}" : shape_ == Shape::Tuple ? ")" : "]";
    out += open;
    if (children_.empty()) {
        out += close;
        return;
    }
    if (alternate) {
        std::string inner_indent(static_cast<size_t>(depth + 1) * 4, ' ');
        out += '\n';
        for (const auto& [name, child] : children_) {
            out += inner_indent;
            if (!name.empty()) out += name + ": ";
            child.render_into(out, true, depth + 1);
            out += ",\n";
        }
        out += std::string(static_cast<size_t>(depth) * 4, ' ');
    } else {
        if (shape_ == Shape::Record) out += ' ';
        bool first = true;
        for (const auto& [name, child] : children_) {
            if (!first) out += ", ";
            first = false;
            if (!name.empty()) out += name + ": ";
            child.render_into(out, false, depth);
        }
        if (shape_ == Shape::Record) out += ' ';
    }
    out += close;
}

std::string debug_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";

    // Shortest round-trip digits in scientific form, e.g. "-1.25e+02".
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    size_t e = sci.find('e');
    int exponent = std::stoi(sci.substr(e + 1));
    std::string mantissa = sci.substr(0, e);
    bool negative = mantissa[0] == '-';
    if (negative) mantissa.erase(0, 1);
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }

    std::string out = negative ? "-" : "";
    double magnitude = std::fabs(v);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        out += digits[0];
        if (digits.size() > 1) out += '.' + digits.substr(1);
        out += 'e' + std::to_string(exponent);
        return out;
    }
    if (exponent < 0) {
        out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
        return out;
    }
    size_t int_len = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
        out += digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
        out += digits.substr(0, int_len) + '.' + digits.substr(int_len);
    }
    return out;
}

namespace {

void append_code_point_escape(std::string& out, uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
    out += buf;
}

// Length of the well-formed (or surrogate) UTF-8 sequence at s[i], 0 if none.
size_t sequence_length(std::string_view s, size_t i, uint32_t& cp) {
    auto cont = [&](size_t k) { return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    if ((b & 0xE0) == 0xC0 && cont(1)) {
        cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
        return 2;
    }
    if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
        cp = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
             (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
        return 3;
    }
    if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
        cp = ((b & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
             ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) | (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
        return 4;
    }
    return 0;
}

}  // namespace

std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = sequence_length(s, i, cp);
        if (n == 0) {  // stray byte: cannot come from a Python str, shown as a replacement
            out += "\\u{fffd}";
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || (cp >= 0xD800 && cp <= 0xDFFF)) {
                    append_code_point_escape(out, cp);
                } else {
                    out.append(s.substr(i, n));
                }
        }
        i += n;
    }
    out += '"';
    return out;
}

std::string debug_pointer(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

}  // namespace tarnwick
