#include "SovantaApp/Formatting.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include <QDateTime>
#include <QLocale>

namespace sovanta::app {

namespace {

const QLocale& danish() {
    static const QLocale locale(QLocale::Danish, QLocale::Denmark);
    return locale;
}

}  // namespace

std::optional<char16_t> Fmt::visibleSymbol(char32_t c) {
    switch (c) {
        case U'\n': case U'\r': case 0x0B: case 0x0C: case 0x85: case 0x2028: return u'\u21B5';
        case 0x2029: return u'\u00B6';
        case U'\t': return u'\u2192';
        case 0: return u'\u00B7';
        default: break;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return u'\uFFFD';
    return std::nullopt;
}

std::string Fmt::number(int64_t value) {
    QString text = danish().toString(static_cast<qlonglong>(value));
    if (text.isEmpty()) return std::to_string(value);
    return text.toStdString();
}

std::string Fmt::date(const std::optional<Date>& value) {
    if (!value) return missing;
    // Medium date (day, abbreviated month, year) and short time, as the
    // platform's Danish styles write them: "14. mar. 2024 11.01".
    static const QString pattern = QStringLiteral("d. MMM yyyy ") + danish().timeFormat(QLocale::ShortFormat);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(value->time_since_epoch()).count();
    return danish().toString(QDateTime::fromMSecsSinceEpoch(ms), pattern).toStdString();
}

std::string Fmt::rate(double bytesPerSecond) {
    if (!std::isfinite(bytesPerSecond) || !(bytesPerSecond > 0)) return missing;
    constexpr double limit = 18446744073709551616.0;  // 2^64
    uint64_t whole = bytesPerSecond >= limit ? std::numeric_limits<uint64_t>::max()
                                             : static_cast<uint64_t>(bytesPerSecond);
    return formatBytes(whole) + "/s";
}

std::string Fmt::duration(std::optional<double> seconds) {
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return missing;
    constexpr double limit = 9223372036854775808.0;  // 2^63
    int64_t t = *seconds >= limit ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(*seconds);
    auto s = [](int64_t n) { return std::to_string(n); };
    if (t < 60) return s(t) + " sek";
    if (t < 3600) return s(t / 60) + " min " + s(t % 60) + " sek";
    if (t < 86400) return s(t / 3600) + " t " + s(t % 3600 / 60) + " min";
    return s(t / 86400) + " d " + s(t % 86400 / 3600) + " t";
}

uint64_t sizeSort(const FileNode& node) { return node.size; }

Date modifiedSort(const FileNode& node) { return node.modified.value_or(Date::min()); }

std::string statusSort(const FileNode& node) { return label(node.status); }

int chanceSort(const FileNode& node) {
    return node.isDirectory ? -1 : static_cast<int>(node.recoverability);
}

std::string location(const FileNode& node) {
    auto parent = node.parent();
    return parent ? parent->path() : "/";
}

std::string symbol(const FileNode& node) {
    if (node.isDirectory) {
        bool gone = node.status == EntryStatus::deleted || node.status == EntryStatus::orphaned;
        return gone ? "folder.badge.minus" : "folder.fill";
    }
    return sovanta::symbol(categoryOf(node.name));
}

std::optional<uint64_t> firstOffset(const FileNode& node) {
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data)) {
        for (auto& e : *extents)
            if (e.offset) return e.offset;
    } else if (auto* runs = std::get_if<CompressedRuns>(&node.data)) {
        // Unsigned arithmetic wraps by definition; no check is wanted here.
        for (auto& r : runs->runs)
            if (r.lcn) return runs->volumeOffset + *r.lcn * runs->clusterSize;
    }
    return std::nullopt;
}

int64_t fragmentCount(const FileNode& node) {
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data))
        return std::count_if(extents->begin(), extents->end(), [](const Extent& e) { return e.offset.has_value(); });
    if (auto* runs = std::get_if<CompressedRuns>(&node.data))
        return std::count_if(runs->runs.begin(), runs->runs.end(),
                             [](const CompressedRuns::Run& r) { return r.lcn.has_value(); });
    return 0;
}

}  // namespace sovanta::app
