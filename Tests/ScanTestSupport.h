// Helpers for the partition, FAT and scan tests: file trees by plain path and
// the comparison of a FAT volume with its manifest.
#pragma once

#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "SovantaCore/Model.h"
#include "TestSupport.h"

namespace sovanta::test {

// Every node below root by its path ("/"-joined, folders without a trailing slash),
// every one of a name kept (a deleted entry may share the name of a live one).
inline std::multimap<std::string, FileNodePtr> allNodesByPath(const FileNodePtr& root) {
    std::multimap<std::string, FileNodePtr> out;
    std::vector<std::pair<FileNodePtr, std::string>> stack;
    for (auto& c : root->children()) stack.push_back({c, c->name});
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        out.emplace(path, node);
        for (auto& c : node->children()) stack.push_back({c, path + "/" + c->name});
    }
    return out;
}

// The path a deleted entry that kept only its short name has: the first
// character of its last name (one UTF-8 sequence) becomes "_", as the first
// byte of a deleted short name is gone.
inline std::string deletedShortNamePath(std::string path) {
    size_t slash = path.rfind('/');
    size_t first = slash == std::string::npos ? 0 : slash + 1;
    size_t length = 1;
    while (first + length < path.size() && (static_cast<uint8_t>(path[first + length]) & 0xC0) == 0x80) ++length;
    path.replace(first, length, "_");
    return path;
}

// The node of a manifest row: the exact path, or, for a deleted entry that kept
// only its short name, the path whose last name begins with "_" (the first byte
// of a deleted short name is gone).
template <typename T>
T findRow(const std::multimap<std::string, T>& nodes, std::string path, bool deleted) {
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (auto it = nodes.find(path); it != nodes.end()) return it->second;
    if (!deleted) return T();
    auto it = nodes.find(deletedShortNamePath(path));
    return it == nodes.end() ? T() : it->second;
}

// Compares a FAT volume with the manifest rows under prefix ("" or "p1:"):
// names, sizes, status, times, fragments, contents, and the ratings and notes
// the reader gives for each status. Every node of the tree must be a row.
inline void expectFATVolumeMatchesManifest(DiskSource& source, const Volume& volume, const std::string& fixture,
                                           const std::string& prefix = "") {
    ScopedTimeZone utc("UTC");
    auto nodes = allNodesByPath(volume.root);
    std::set<const FileNode*> matched;
    size_t rows = 0;
    for (auto& row : readManifest(fixture)) {
        if (row.path == "-" || row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;
        std::string path = row.path.substr(prefix.size());
        SCOPED_TRACE(fixture + ": " + row.path);
        ++rows;
        bool deleted = row.status == "deleted";
        ASSERT_TRUE(deleted || row.status == "existing") << "a FAT manifest row the quick scan cannot give";
        auto node = findRow(nodes, path, deleted);
        ASSERT_TRUE(node) << "not listed";
        matched.insert(node.get());
        EXPECT_EQ(node->status, deleted ? EntryStatus::deleted : EntryStatus::existing);
        EXPECT_EQ(node->isDirectory, path.back() == '/');
        if (row.mtime != "-") {
            EXPECT_EQ(node->modified, parseManifestTime(row.mtime));
        }
        if (node->isDirectory) continue;

        EXPECT_EQ(std::to_string(node->size), row.size);
        bool overwritten = row.note.rfind("overwritten", 0) == 0;
        if (overwritten) {
            // Its first cluster, or a later one, now belongs to another file.
            bool startReused = node->recoverability == Recoverability::poor &&
                               node->note == std::optional<std::string>("Startklyngen er genbrugt af en anden fil");
            bool partReused = node->recoverability == Recoverability::partial &&
                              node->note == std::optional<std::string>("Dele af filen kan være overskrevet");
            EXPECT_TRUE(startReused || partReused) << label(node->recoverability);
            continue;
        }
        EXPECT_EQ(node->recoverability, Recoverability::good);
        EXPECT_EQ(node->note, std::nullopt);
        auto* extents = std::get_if<std::vector<Extent>>(&node->data);
        ASSERT_TRUE(extents);
        EXPECT_EQ(std::to_string(extents->size()), row.fragments);
        EXPECT_EQ(sha256Hex(streamedBytes(source, *node)), row.sha256);
    }
    EXPECT_GT(rows, 0u);
    for (auto& [path, node] : nodes) EXPECT_TRUE(matched.count(node.get())) << "not in the manifest: " << path;
}

}  // namespace sovanta::test
