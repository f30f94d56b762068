// What the disk-tool stand-in takes from smartctl's JSON output (smartctl -j):
// the overall verdict and the counters that the disk list reads, under the
// names and units of the macOS disk tool (temperature in kelvin).
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace diskutil {

// A JSON value: just enough of JSON for smartctl's output.
struct Json {
    enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json* get(const std::string& key) const {
        if (kind != Kind::object) return nullptr;
        auto it = object.find(key);
        return it == object.end() ? nullptr : &it->second;
    }
    const Json* path(std::initializer_list<const char*> keys) const {
        const Json* at = this;
        for (const char* k : keys)
            if (!(at = at->get(k))) return nullptr;
        return at;
    }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : s_(text) {}
    // The value, or none when the text is no JSON (or nested beyond reason).
    std::optional<Json> parse() {
        Json v;
        if (!value(v, 0)) return std::nullopt;
        blanks();
        return i_ == s_.size() ? std::optional<Json>(std::move(v)) : std::nullopt;
    }

private:
    void blanks() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    bool literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }
    bool text(std::string& out) {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        ++i_;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (s_.size() - i_ < 4) return false;
                    unsigned code = static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
                    i_ += 4;
                    // Code points of the Basic Multilingual Plane as UTF-8; smartctl writes no others.
                    if (code < 0x80) out += static_cast<char>(code);
                    else if (code < 0x800) out += static_cast<char>(0xC0 | (code >> 6)), out += static_cast<char>(0x80 | (code & 0x3F));
                    else
                        out += static_cast<char>(0xE0 | (code >> 12)), out += static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                            out += static_cast<char>(0x80 | (code & 0x3F));
                    break;
                }
                default: out += e;
            }
        }
        if (i_ >= s_.size()) return false;
        ++i_;
        return true;
    }
    bool value(Json& v, int depth) {
        if (depth > 64) return false;
        blanks();
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Json::Kind::object;
            blanks();
            if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
            for (;;) {
                blanks();
                std::string key;
                if (!text(key)) return false;
                blanks();
                if (i_ >= s_.size() || s_[i_++] != ':') return false;
                Json member;
                if (!value(member, depth + 1)) return false;
                v.object[key] = std::move(member);
                blanks();
                if (i_ >= s_.size()) return false;
                if (s_[i_] == ',') { ++i_; continue; }
                if (s_[i_] == '}') return ++i_, true;
                return false;
            }
        }
        if (c == '[') {
            ++i_;
            v.kind = Json::Kind::array;
            blanks();
            if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
            for (;;) {
                Json item;
                if (!value(item, depth + 1)) return false;
                v.array.push_back(std::move(item));
                blanks();
                if (i_ >= s_.size()) return false;
                if (s_[i_] == ',') { ++i_; continue; }
                if (s_[i_] == ']') return ++i_, true;
                return false;
            }
        }
        if (c == '"') return v.kind = Json::Kind::string, text(v.string);
        if (literal("true")) return v.kind = Json::Kind::boolean, v.boolean = true, true;
        if (literal("false")) return v.kind = Json::Kind::boolean, true;
        if (literal("null")) return true;
        const char* start = s_.c_str() + i_;
        char* end = nullptr;
        v.number = std::strtod(start, &end);
        if (end == start) return false;
        v.kind = Json::Kind::number;
        i_ += static_cast<size_t>(end - start);
        return true;
    }

    const std::string& s_;
    size_t i_ = 0;
};

struct SmartReport {
    std::optional<bool> passed;              // the overall self-assessment, when the disk gave one
    std::map<std::string, int64_t> counters; // macOS disk tool names; TEMPERATURE in kelvin
};

// The verdict and counters of one smartctl -j run; none when the output is no
// JSON or holds no S.M.A.R.T. data at all (the device could not be asked).
inline std::optional<SmartReport> parseSmartctl(const std::string& output) {
    auto json = JsonParser(output).parse();
    if (!json || json->kind != Json::Kind::object) return std::nullopt;
    SmartReport report;
    if (auto* passed = json->path({"smart_status", "passed"}); passed && passed->kind == Json::Kind::boolean)
        report.passed = passed->boolean;
    auto count = [&](const Json* v, const char* name, int64_t add = 0) {
        if (v && v->kind == Json::Kind::number) report.counters[name] = static_cast<int64_t>(v->number) + add;
    };
    // NVMe health log: the counters the macOS disk tool passes on.
    if (auto* log = json->get("nvme_smart_health_information_log")) {
        count(log->get("media_errors"), "MEDIA_ERRORS_0");
        count(log->get("temperature"), "TEMPERATURE", 273);
        count(log->get("available_spare"), "AVAILABLE_SPARE");
        count(log->get("available_spare_threshold"), "AVAILABLE_SPARE_THRESHOLD");
        count(log->get("percentage_used"), "PERCENTAGE_USED");
        count(log->get("power_on_hours"), "POWER_ON_HOURS_0");
        count(log->get("power_cycles"), "POWER_CYCLES_0");
        count(log->get("unsafe_shutdowns"), "UNSAFE_SHUTDOWNS_0");
        count(log->get("num_err_log_entries"), "NUM_ERROR_INFO_LOG_ENTRIES_0");
    }
    // Any drive: the current temperature in degrees Celsius.
    if (!report.counters.count("TEMPERATURE")) count(json->path({"temperature", "current"}), "TEMPERATURE", 273);
    if (!report.passed && report.counters.empty()) return std::nullopt;
    return report;
}

}  // namespace diskutil
