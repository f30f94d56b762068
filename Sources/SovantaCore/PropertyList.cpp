#include "SovantaCore/PropertyList.h"

#include <plist/plist.h>

namespace sovanta {

namespace {
// Property lists from the tools are shallow; a depth bound keeps a hostile
// one from exhausting the stack.
constexpr int maxDepth = 64;

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
