#include "SovantaCore/PropertyList.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <plist/plist.h>

namespace sovanta {

namespace {
// Property lists from the tools are shallow; a depth bound keeps a hostile
// one from exhausting the stack.
constexpr int maxDepth = 64;

// The library aborts on a string or key that holds a NUL character. No disk
// tool writes one, so such a list is refused before it is handed over.
bool binaryTextHoldsNul(const Bytes& b) {
    const size_t size = b.size();
    if (size < 8 + 32) return false;  // too short for a trailer: the library refuses it
    const uint8_t* t = b.data() + size - 32;
    auto be = [&](size_t at, size_t width) {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = v << 8 | b[at + i];
        return v;
    };
    const size_t offsetWidth = t[6];
    if (offsetWidth < 1 || offsetWidth > 8) return false;
    uint64_t objects = be(size - 24, 8);
    const uint64_t table = be(size - 8, 8);
    if (table >= size) return false;
    objects = std::min<uint64_t>(objects, (size - table) / offsetWidth);
    std::vector<bool> seen(size, false);
    for (uint64_t i = 0; i < objects; ++i) {
        uint64_t at = be(static_cast<size_t>(table + i * offsetWidth), offsetWidth);
        if (at >= size || seen[at]) continue;
        seen[at] = true;
        const int kind = b[at] >> 4;
        if (kind != 5 && kind != 6 && kind != 7) continue;  // ASCII, UTF-16 and UTF-8 strings
        uint64_t length = b[at] & 0x0F;
        uint64_t start = at + 1;
        if (length == 0x0F) {
            if (start >= size || (b[start] >> 4) != 1) continue;
            size_t width = size_t{1} << (b[start] & 0x0F);
            if (width > 8 || start + 1 + width > size) continue;
            length = be(static_cast<size_t>(start + 1), width);
            start += 1 + width;
        }
        const uint64_t unit = kind == 6 ? 2 : 1;
        if (start >= size) continue;
        const uint64_t bytes = std::min<uint64_t>(length, (size - start) / unit) * unit;
        for (uint64_t k = 0; k + unit <= bytes; k += unit)
            if (b[start + k] == 0 && (unit == 1 || b[start + k + 1] == 0)) return true;
    }
    return false;
}

bool xmlTextHoldsNul(const Bytes& b) {
    std::string_view text(reinterpret_cast<const char*>(b.data()), b.size());
    size_t end = text.rfind('>');
    if (end == std::string_view::npos) return false;
    if (text.substr(0, end).find('\0') != std::string_view::npos) return true;
    // A character reference to code point 0: "&#0;", "&#x00;" and the like.
    for (size_t at = text.find("&#"); at < end; at = text.find("&#", at + 2)) {
        size_t k = at + 2;
        if (k < text.size() && (text[k] == 'x' || text[k] == 'X')) ++k;
        size_t digits = k;
        while (k < text.size() && text[k] == '0') ++k;
        if (k > digits && k < text.size() && text[k] == ';') return true;
    }
    return false;
}

PlistValue convert(plist_t node, int depth) {
    PlistValue v;
    if (!node || depth > maxDepth) return v;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            v.type = PlistValue::Type::boolean;
            v.boolean = b != 0;
            break;
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            v.type = PlistValue::Type::integer;
            v.integer = static_cast<int64_t>(u);
            break;
        }
        case PLIST_REAL: {
            v.type = PlistValue::Type::real;
            plist_get_real_val(node, &v.real);
            break;
        }
        case PLIST_STRING: {
            char* s = nullptr;
            plist_get_string_val(node, &s);
            v.type = PlistValue::Type::string;
            if (s) {
                v.string = s;
                free(s);
            }
            break;
        }
        case PLIST_DATA: {
            char* d = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &d, &length);
            v.type = PlistValue::Type::data;
            if (d) {
                v.data.assign(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + length);
                free(d);
            }
            break;
        }
        case PLIST_DATE: v.type = PlistValue::Type::date; break;
        case PLIST_ARRAY: {
            v.type = PlistValue::Type::array;
            uint32_t n = plist_array_get_size(node);
            for (uint32_t i = 0; i < n; ++i) v.array.push_back(convert(plist_array_get_item(node, i), depth + 1));
            break;
        }
        case PLIST_DICT: {
            v.type = PlistValue::Type::dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!key) break;
                v.dict[key] = convert(item, depth + 1);
                free(key);
            }
            free(it);
            break;
        }
        default: break;
    }
    return v;
}
}  // namespace

std::optional<PlistValue> PlistValue::parse(const Bytes& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
    const bool binary = bytes.size() >= 6 && std::memcmp(bytes.data(), "bplist", 6) == 0;
    if (binary ? binaryTextHoldsNul(bytes) : xmlTextHoldsNul(bytes)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    PlistValue v = convert(root, 0);
    plist_free(root);
    return v;
}

const PlistValue* PlistValue::get(const std::string& key) const {
    if (type != Type::dict) return nullptr;
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

std::optional<std::string> PlistValue::stringValue(const std::string& key) const {
    auto v = get(key);
    if (!v || v->type != Type::string) return std::nullopt;
    return v->string;
}

std::optional<int64_t> PlistValue::integerValue(const std::string& key) const {
    auto v = get(key);
    if (!v || v->type != Type::integer) return std::nullopt;
    return v->integer;
}

std::optional<bool> PlistValue::boolValue(const std::string& key) const {
    auto v = get(key);
    if (!v || v->type != Type::boolean) return std::nullopt;
    return v->boolean;
}

}  // namespace sovanta
