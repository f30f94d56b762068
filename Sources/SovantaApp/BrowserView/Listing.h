// What the file browser lists and in which order, apart from any widget: a
// folder's own children or the flat walk below it through the search and the
// filters, the table's multi-key sort, the breadcrumb's chain, the root name of
// a recovery and the sector a file starts in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Model.h"

namespace sovanta::app {

enum class StatusFilter { all, lost, existing };
// all, lost, existing: the order the status picker lists them in.
const std::vector<StatusFilter>& allStatusFilters();
// "Alle", "Slettede/fundne", "Eksisterende".
std::string text(StatusFilter filter);

enum class BrowserMode { list, gallery };

// The columns of the file table, left to right.
enum class SortColumn { name, size, modified, status, chance, location };
inline constexpr int sortColumnCount = 6;

struct SortKey {
    SortColumn column = SortColumn::name;
    bool ascending = true;
    bool operator==(const SortKey&) const = default;
};
// First key first.
using SortOrder = std::vector<SortKey>;

// What the listing is made of; a change of any field rebuilds it.
struct ReloadKey {
    std::optional<int64_t> folder;
    std::string search;  // as typed, not trimmed
    StatusFilter status = StatusFilter::all;
    std::optional<FileCategory> category;
    bool goodOnly = false;
    int version = 0;
    bool operator==(const ReloadKey&) const = default;
};

struct Filters {
    std::string search;
    StatusFilter status = StatusFilter::all;
    std::optional<FileCategory> category;
    bool goodOnly = false;
};

struct Listing {
    std::vector<FileNodePtr> rows;
    bool flattened = false;
    bool truncated = false;
};

// The flat walk stops once it has listed this many files.
inline constexpr size_t flatLimit = 250000;
// The breadcrumb follows at most this many nodes up from the current folder.
inline constexpr size_t breadcrumbLimit = 64;

// The text lower-cased (every script, not only ASCII).
std::string lowercased(const std::string& text);
// The search text without spaces and tabs at either end, lower-cased.
std::string searchQuery(const std::string& search);
// Whether the filters make the listing a flat walk.
bool isFlat(const Filters& filters);

// The folder's own children in their stored order, or, when a search or a
// filter is set, every matching file below it by a depth-first walk that
// stops at limit files. Unsorted.
Listing list(const FileNode& folder, const Filters& filters, size_t limit = flatLimit);

// Sorts rows by the keys in turn, ties kept in their order; with foldersFirst
// the folders then go before the other nodes, each part in its sorted order.
void sortRows(std::vector<FileNodePtr>& rows, const SortOrder& order, bool foldersFirst);

// The current folder and up to 63 ancestors, outermost first.
std::vector<FileNodePtr> breadcrumbPath(const FileNodePtr& folder);

// The title of the first volume whose root is the first node or one of its
// ancestors; the session's title when none is.
std::string rootName(const std::vector<FileNodePtr>& nodes, const std::vector<VolumePtr>& volumes,
                     const std::string& sessionTitle);

// The start of the sector that holds the byte offset.
uint64_t sectorStart(uint64_t offset, int64_t sectorSize);

}  // namespace sovanta::app
