// Property lists as the system's disk tools write them (XML or binary), read
// into a plain value tree.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Model.h"

namespace sovanta {

struct PlistValue {
    enum class Type { none, boolean, integer, real, string, data, date, array, dict };
    Type type = Type::none;
    bool boolean = false;
    int64_t integer = 0;  // unsigned values above INT64_MAX keep their bits
    double real = 0;
    std::string string;
    Bytes data;
    std::vector<PlistValue> array;
    std::map<std::string, PlistValue> dict;

    // Parses XML or binary property-list bytes; absent when they are none.
    static std::optional<PlistValue> parse(const Bytes& bytes);

    const PlistValue* get(const std::string& key) const;  // dictionary member, or null
    std::optional<std::string> stringValue(const std::string& key) const;
    std::optional<int64_t> integerValue(const std::string& key) const;
    std::optional<bool> boolValue(const std::string& key) const;
    bool isDict() const { return type == Type::dict; }
    bool isArray() const { return type == Type::array; }
};

}  // namespace sovanta
