// The APFS fixtures through the command-line tree and the recovery engine:
// names, sizes and the recovered bytes against the manifests.
#include <gtest/gtest.h>

#include "APFSTestSupport.h"
#include "SovantaCore/Recovery.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

// Rows a reader of this design lists: existing files and folders that are not
// symbolic links (the private folder's entries are not existing rows). The
// partition prefix is dropped.
std::vector<ManifestRow> listedRows(const std::string& name) {
    std::vector<ManifestRow> out;
    for (auto row : readManifest(name)) {
        auto colon = row.path.find(':');
        if (row.path.rfind("p", 0) == 0 && colon != std::string::npos) row.path = row.path.substr(colon + 1);
        if (row.path.empty() || row.status != "existing" || row.note.find("symlink") != std::string::npos) continue;
        out.push_back(row);
    }
    return out;
}

// The tree command's lines as paths: folders end in "/", files carry " <size> B".
std::map<std::string, std::string> printedTree(const std::string& out) {
    std::map<std::string, std::string> paths;
    std::vector<std::string> folders;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("  ", 0) != 0 || line.rfind("   note:", 0) == 0) continue;
        size_t indent = line.find_first_not_of(' ');
        size_t depth = indent / 2 - 1;
        std::string rest = line.substr(indent);
        folders.resize(depth);
        std::string prefix;
        for (const auto& f : folders) prefix += f + "/";
        auto chance = rest.find(" chance=");
        if (chance != std::string::npos) {
            auto sizeAt = rest.rfind("  ", chance);
            std::string size = rest.substr(sizeAt + 2, rest.find(" B", sizeAt + 2) - sizeAt - 2);
            paths[prefix + rest.substr(0, sizeAt)] = size;
        } else {
            std::string folder = rest.substr(0, rest.rfind('/'));
            paths[prefix + folder + "/"] = "-";
            folders.push_back(folder);
        }
    }
    return paths;
}

}  // namespace

TEST(APFSTools, TreeCommandListsWhatTheManifestsList) {
    for (const std::string name : {"apfs_single", "apfs_gpt", "apfs_macos_sample"}) {
        SCOPED_TRACE(name);
        auto result = test::runCLI({"tree", fixtureImage(name)});
        ASSERT_EQ(result.status, 0) << result.err;
        auto printed = printedTree(result.out);
        std::map<std::string, std::string> wanted;
        for (const auto& row : listedRows(name)) wanted[row.path] = row.size;
        EXPECT_EQ(printed, wanted) << result.out;
    }
}

TEST(APFSTools, RecoveredFilesMatchTheManifests) {
    for (const std::string name : {"apfs_single", "apfs_gpt", "apfs_macos_sample"}) {
        SCOPED_TRACE(name);
        auto src = SourceOpener::openImage(fixtureImage(name));
        auto volumes = APFSParser::parse(*src, name == "apfs_gpt" ? 1048576 : 0, origin::partitionTable);
        ASSERT_EQ(volumes.size(), 1u);
        auto volume = volumes[0];
        // The deleted files the old leaves still hold come along.
        for (const auto& [target, folder] : APFSParser::deletedFromOldNodes(volumes, leafOffsets(*src), *src))
            target->root->add(folder);

        test::TempDir destination;
        WorkProgress reporter;
        auto result = RecoveryEngine::recover({volume->root}, volume->title(), *src, destination.path(), {}, reporter,
                                              nullptr);
        ASSERT_TRUE(result.folder);
        EXPECT_EQ(result.failed, 0);
        EXPECT_EQ(result.withErrors, 0);
        auto folder = *result.folder;
        size_t checked = 0;
        for (const auto& row : readManifest(name)) {
            std::string path = row.path.substr(row.path.find(':') == std::string::npos ? 0 : row.path.find(':') + 1);
            if (path.empty() || path.back() == '/' || row.note.find("symlink") != std::string::npos) continue;
            if (path == "Video/film i ét stykke.mp4") continue;  // zero-filled in the committed image
            std::filesystem::path file = folder / path;
            if (row.status == "deleted") file = folder / "$Slettede filer (gamle træknuder)" / path;
            if (row.status != "existing" && !std::filesystem::exists(file)) continue;  // not rebuilt, see the old-node tests
            SCOPED_TRACE(path);
            ASSERT_TRUE(std::filesystem::exists(file));
            EXPECT_EQ(std::filesystem::file_size(file), std::stoull(row.size));
            EXPECT_EQ(test::Sha256::of(readBytes(file)), row.sha256);
            ++checked;
        }
        EXPECT_GT(checked, 0u);
    }
}
