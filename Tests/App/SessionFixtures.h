// Sessions over the fixture images, and what their manifests say a session
// should show of them.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "SovantaApp/Models/Session.h"
#include "TestSupport.h"

namespace sovanta::test {

// A session over a fixture image, named "<fixture>.img", its quick scan ended.
inline app::SessionPtr scannedSession(const std::string& fixtureName, const SourceOptions& options = {}) {
    auto session = app::Session::make(openFixture(fixtureName, options), fixtureName + ".img");
    session->startQuickScan();
    EXPECT_TRUE(spinUntil([&] { return !app::isRunning(session->quick()); }));
    return session;
}

// The totals a session should show for the volume of a manifest's partition
// (its rows' prefix, "p1:"; "" for an image without a partition table): its
// files and folders, their bytes, and the files that are not existing ones.
// The rows of named streams ("brev.txt:Zone.Identifier", NTFS alternate data
// streams) are not counted: the readers list a file with its unnamed data
// alone and give a named stream no node of the tree, so the listing the
// totals count holds no such row.
inline app::VolumeStats manifestTotals(const std::string& fixtureName, const std::string& prefix) {
    app::VolumeStats stats;
    for (auto& row : readManifest(fixtureName)) {
        if (row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;
        if (row.path.find(':', prefix.size()) != std::string::npos) continue;  // a named stream
        if (row.isFolder()) {
            ++stats.folders;
            continue;
        }
        ++stats.files;
        stats.bytes += std::stoull(row.size);
        if (row.status != "existing") ++stats.deleted;
    }
    return stats;
}

}  // namespace sovanta::test
