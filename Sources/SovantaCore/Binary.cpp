#include "SovantaCore/Binary.h"

#include <cstring>
#include <ctime>

#include <unicode/unistr.h>

namespace sovanta {

uint64_t uintLE(ByteSpan b, int64_t offset, int64_t size) {
    if (size < 1 || size > 8 || !detail::fits(b, offset, size)) return 0;
    uint64_t value = 0;
    for (int64_t i = size - 1; i >= 0; --i) value = (value << 8) | b[static_cast<size_t>(offset + i)];
    return value;
}

int64_t intLE(ByteSpan b, int64_t offset, int64_t size) {
    uint64_t value = uintLE(b, offset, size);
    if (size < 1 || size > 8) return 0;
    if (size == 8) return static_cast<int64_t>(value);
    uint64_t sign = uint64_t{1} << (size * 8 - 1);
    if (value & sign) value |= ~((sign << 1) - 1);
    return static_cast<int64_t>(value);
}

Bytes sub(ByteSpan b, int64_t offset, int64_t count) {
    int64_t n = static_cast<int64_t>(b.size());
    if (count < 1 || offset < 0 || offset >= n) return {};
    int64_t end = count > n - offset ? n : offset + count;
    return Bytes(b.begin() + offset, b.begin() + end);
}

bool matches(ByteSpan b, ByteSpan pattern, int64_t offset) {
    if (offset < 0) return false;
    int64_t n = static_cast<int64_t>(b.size()), m = static_cast<int64_t>(pattern.size());
    if (offset > n || m > n - offset) return false;
    return m == 0 || std::memcmp(b.data() + offset, pattern.data(), static_cast<size_t>(m)) == 0;
}

bool matches(ByteSpan b, std::string_view pattern, int64_t offset) {
    return matches(b, ByteSpan(reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size()), offset);
}

std::optional<int64_t> firstIndex(ByteSpan b, ByteSpan pattern, int64_t start) {
    int64_t n = static_cast<int64_t>(b.size()), m = static_cast<int64_t>(pattern.size());
    if (m == 0 || m > n) return std::nullopt;
    int64_t from = start < 0 ? 0 : start;
    if (from > n - m) return std::nullopt;
    // The pattern's first byte is looked for many bytes at a time, and only
    // where it stands is the rest compared; where that byte is common in the
    // data, memmem takes over.
    const uint8_t* at = b.data() + from;
    const uint8_t* const last = b.data() + (n - m);  // the last possible start
    const size_t rest = static_cast<size_t>(m - 1);
    for (int misses = 0; misses < 64; ++misses) {
        at = static_cast<const uint8_t*>(std::memchr(at, pattern[0], static_cast<size_t>(last - at) + 1));
        if (!at) return std::nullopt;
        if (std::memcmp(at + 1, pattern.data() + 1, rest) == 0) return static_cast<int64_t>(at - b.data());
        if (at == last) return std::nullopt;
        ++at;
    }
    const void* hit = ::memmem(at, static_cast<size_t>(b.data() + n - at), pattern.data(), static_cast<size_t>(m));
    if (!hit) return std::nullopt;
    return static_cast<int64_t>(static_cast<const uint8_t*>(hit) - b.data());
}

bool isAllZero(ByteSpan b, int64_t offset, std::optional<int64_t> length) {
    int64_t n = static_cast<int64_t>(b.size());
    if (offset < 0) offset = 0;
    if (offset >= n) return true;
    int64_t end = n;
    if (length) end = *length > n - offset ? n : offset + std::max<int64_t>(*length, 0);
    for (int64_t i = offset; i < end; ++i)
        if (b[static_cast<size_t>(i)] != 0) return false;
    return true;
}

std::string ascii(ByteSpan b, int64_t offset, int64_t count) {
    Bytes bytes = sub(b, offset, count);
    std::string out;
    for (uint8_t c : bytes) {
        if (c == 0) break;
        out += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '_';
    }
    return out;
}

static std::string utf16(ByteSpan b, int64_t offset, int64_t chars, bool little) {
    if (chars < 1 || offset < 0) return {};
    icu::UnicodeString u;
    for (int64_t k = 0; k < chars; ++k) {
        int64_t at = offset + 2 * k;
        if (!detail::fits(b, at, 2)) break;
        u.append(static_cast<char16_t>(little ? u16le(b, at) : u16be(b, at)));
    }
    // toUTF8String turns unpaired surrogates into U+FFFD.
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::string utf16le(ByteSpan b, int64_t offset, int64_t chars) { return utf16(b, offset, chars, true); }
std::string utf16be(ByteSpan b, int64_t offset, int64_t chars) { return utf16(b, offset, chars, false); }

namespace TimeConversion {

namespace {
constexpr double year2100 = 4102444800.0;

Date fromSeconds(int64_t seconds, int64_t nanoseconds = 0) {
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(seconds) +
                                                           std::chrono::nanoseconds(nanoseconds)));
}
}  // namespace

std::optional<Date> fromAPFS(uint64_t ns) {
    if (ns == 0) return std::nullopt;
    if (static_cast<double>(ns) / 1e9 >= year2100) return std::nullopt;
    return fromSeconds(static_cast<int64_t>(ns / 1000000000ULL), static_cast<int64_t>(ns % 1000000000ULL));
}

std::optional<Date> fromFiletime(uint64_t filetime) {
    // Bounded in integers: one tick after 1 January 1970 still gives a date.
    constexpr uint64_t epoch1970 = 116444736000000000ULL;
    constexpr uint64_t epoch2100 = epoch1970 + 4102444800ULL * 10000000ULL;
    if (filetime <= epoch1970 || filetime >= epoch2100) return std::nullopt;
    uint64_t ticks = filetime - epoch1970;
    return fromSeconds(static_cast<int64_t>(ticks / 10000000ULL), static_cast<int64_t>(ticks % 10000000ULL) * 100);
}

std::optional<Date> fromHFS(uint32_t seconds) {
    if (seconds == 0) return std::nullopt;
    return fromSeconds(static_cast<int64_t>(seconds) - 2082844800LL);
}

std::optional<Date> fromDOS(uint16_t date, uint16_t time) {
    if (date == 0) return std::nullopt;
    int year = 1980 + (date >> 9);
    int month = (date >> 5) & 0x0F;
    int day = date & 0x1F;
    int hour = time >> 11;
    int minute = (time >> 5) & 0x3F;
    int second = (time & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    tzset();
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31))
        return std::nullopt;
    return fromSeconds(static_cast<int64_t>(t));
}

std::optional<Date> fromExFAT(uint32_t timestamp, uint8_t utcOffset) {
    const uint16_t date = static_cast<uint16_t>(timestamp >> 16), time = static_cast<uint16_t>(timestamp & 0xFFFF);
    if (!(utcOffset & 0x80)) return fromDOS(date, time);
    // With its offset the stamp names one instant: plain calendar arithmetic,
    // without the local time zone (whose lookup costs a file check per call).
    if (date == 0) return std::nullopt;
    const int64_t year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
    const int64_t hour = time >> 11, minute = (time >> 5) & 0x3F, second = (time & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return std::nullopt;
    // Days since 1970-01-01 of the proleptic Gregorian date (days past a short
    // month's end roll over into the next, as the local-time reading does).
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = y / 400, yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    int steps = utcOffset & 0x7F;
    if (steps >= 64) steps -= 128;
    return fromSeconds(days * 86400 + hour * 3600 + minute * 60 + second - static_cast<int64_t>(steps) * 900);
}

}  // namespace TimeConversion

}  // namespace sovanta
