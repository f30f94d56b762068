#include "SovantaApp/BrowserView/Listing.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include <QString>

#include "SovantaApp/Formatting.h"

namespace sovanta::app {

const std::vector<StatusFilter>& allStatusFilters() {
    static const std::vector<StatusFilter> all = {StatusFilter::all, StatusFilter::lost, StatusFilter::existing};
    return all;
}

std::string text(StatusFilter filter) {
    switch (filter) {
        case StatusFilter::all: return "Alle";
        case StatusFilter::lost: return "Slettede/fundne";
        case StatusFilter::existing: return "Eksisterende";
    }
    return "Alle";
}

std::string lowercased(const std::string& text) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) return QString::fromStdString(text).toLower().toStdString();
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string searchQuery(const std::string& search) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    size_t begin = 0, end = search.size();
    while (begin < end && blank(search[begin])) ++begin;
    while (end > begin && blank(search[end - 1])) --end;
    return lowercased(search.substr(begin, end - begin));
}

bool isFlat(const Filters& filters) {
    return !searchQuery(filters.search).empty() || filters.status != StatusFilter::all || filters.category ||
           filters.goodOnly;
}

namespace {

// Whether the lower-cased name holds the query; ASCII names are compared
// without making a lower-cased copy.
bool nameMatches(const std::string& name, const std::string& query) {
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) return lowercased(name).find(query) != std::string::npos;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto found = std::search(name.begin(), name.end(), query.begin(), query.end(),
                             [&](char a, char b) { return lower(a) == b; });
    return found != name.end() || query.empty();
}

bool statusPasses(StatusFilter filter, EntryStatus status) {
    switch (filter) {
        case StatusFilter::all: return true;
        case StatusFilter::lost: return status != EntryStatus::existing;
        case StatusFilter::existing: return status == EntryStatus::existing;
    }
    return true;
}

}  // namespace

Listing list(const FileNode& folder, const Filters& filters, size_t limit) {
    Listing listing;
    const std::string query = searchQuery(filters.search);
    listing.flattened = isFlat(filters);
    if (!listing.flattened) {
        listing.rows = folder.children();
        return listing;
    }
    std::vector<const FileNode*> stack = {&folder};
    while (!stack.empty() && !listing.truncated) {
        const FileNode* node = stack.back();
        stack.pop_back();
        for (const auto& child : node->children()) {
            if (child->isDirectory) {
                stack.push_back(child.get());
                continue;
            }
            if (!query.empty() && !nameMatches(child->name, query)) continue;
            if (!statusPasses(filters.status, child->status)) continue;
            if (filters.category && categoryOf(child->name) != *filters.category) continue;
            if (filters.goodOnly && child->recoverability != Recoverability::good) continue;
            listing.rows.push_back(child);
            if (listing.rows.size() >= limit) {
                listing.truncated = true;
                break;
            }
        }
    }
    return listing;
}

namespace {

// The statuses ranked by their labels in the localized order.
const std::array<int, 4>& statusRanks() {
    static const std::array<int, 4> ranks = [] {
        std::array<EntryStatus, 4> all = {EntryStatus::existing, EntryStatus::deleted, EntryStatus::orphaned,
                                          EntryStatus::carved};
        std::array<std::string, 4> keys;
        for (size_t i = 0; i < all.size(); ++i) keys[i] = nameSortKey(label(all[i]));
        std::array<int, 4> out{};
        for (size_t i = 0; i < all.size(); ++i)
            out[i] = static_cast<int>(std::count_if(keys.begin(), keys.end(), [&](auto& k) { return k < keys[i]; }));
        return out;
    }();
    return ranks;
}

template <class T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// One key's values for every row, made once before sorting.
struct Column {
    SortColumn column;
    bool ascending;
    std::vector<std::string> texts;          // name
    std::vector<const std::string*> shared;  // location, one text per parent
    std::vector<int64_t> numbers;            // size, modified, status, chance
    std::vector<uint64_t> sizes;

    int compare(size_t a, size_t b) const {
        switch (column) {
            case SortColumn::name: return threeWay(texts[a], texts[b]);
            case SortColumn::location: return threeWay(*shared[a], *shared[b]);
            case SortColumn::size: return threeWay(sizes[a], sizes[b]);
            default: return threeWay(numbers[a], numbers[b]);
        }
    }
};

}  // namespace

void sortRows(std::vector<FileNodePtr>& rows, const SortOrder& order, bool foldersFirst) {
    const size_t n = rows.size();
    std::vector<Column> columns;
    std::unordered_map<const FileNode*, std::string> locations;
    const std::string rootLocation = nameSortKey("/");
    for (const SortKey& key : order) {
        // A key that comes again after itself decides nothing more.
        if (std::any_of(columns.begin(), columns.end(), [&](auto& c) { return c.column == key.column; })) continue;
        Column column{key.column, key.ascending, {}, {}, {}, {}};
        switch (key.column) {
            case SortColumn::name:
                column.texts.reserve(n);
                for (auto& row : rows) column.texts.push_back(nameSortKey(row->name));
                break;
            case SortColumn::location:
                column.shared.reserve(n);
                for (auto& row : rows) {
                    auto parent = row->parent();
                    if (!parent) {
                        column.shared.push_back(&rootLocation);
                        continue;
                    }
                    auto [it, added] = locations.try_emplace(parent.get());
                    if (added) it->second = nameSortKey(parent->path());
                    column.shared.push_back(&it->second);
                }
                break;
            case SortColumn::size:
                column.sizes.reserve(n);
                for (auto& row : rows) column.sizes.push_back(sizeSort(*row));
                break;
            case SortColumn::modified:
                column.numbers.reserve(n);
                for (auto& row : rows) column.numbers.push_back(modifiedSort(*row).time_since_epoch().count());
                break;
            case SortColumn::status:
                column.numbers.reserve(n);
                for (auto& row : rows) column.numbers.push_back(statusRanks()[static_cast<size_t>(row->status)]);
                break;
            case SortColumn::chance:
                column.numbers.reserve(n);
                for (auto& row : rows) column.numbers.push_back(chanceSort(*row));
                break;
        }
        columns.push_back(std::move(column));
    }

    std::vector<size_t> index(n);
    std::iota(index.begin(), index.end(), size_t{0});
    if (!columns.empty())
        std::stable_sort(index.begin(), index.end(), [&](size_t a, size_t b) {
            for (const Column& column : columns) {
                const int c = column.compare(a, b);
                if (c != 0) return column.ascending ? c < 0 : c > 0;
            }
            return false;
        });
    if (foldersFirst)
        std::stable_partition(index.begin(), index.end(), [&](size_t i) { return rows[i]->isDirectory; });

    std::vector<FileNodePtr> sorted;
    sorted.reserve(n);
    for (size_t i : index) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
}

std::vector<FileNodePtr> breadcrumbPath(const FileNodePtr& folder) {
    std::vector<FileNodePtr> chain;
    for (FileNodePtr node = folder; node && chain.size() < breadcrumbLimit; node = node->parent())
        chain.push_back(node);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

std::string rootName(const std::vector<FileNodePtr>& nodes, const std::vector<VolumePtr>& volumes,
                     const std::string& sessionTitle) {
    if (nodes.empty()) return sessionTitle;
    std::unordered_set<const FileNode*> chain;
    for (FileNodePtr node = nodes.front(); node; node = node->parent())
        if (!chain.insert(node.get()).second) break;
    for (const auto& volume : volumes)
        if (volume && volume->root && chain.count(volume->root.get())) return volume->title();
    return sessionTitle;
}

uint64_t sectorStart(uint64_t offset, int64_t sectorSize) {
    if (sectorSize <= 0) return offset;
    return offset - offset % static_cast<uint64_t>(sectorSize);
}

}  // namespace sovanta::app
