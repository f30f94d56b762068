// The quick scan, the volume loader, and the deep scan.
#pragma once

#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Partitions.h"

namespace sovanta {

namespace VolumeLoader {
// The one dispatch from a file-system type and an absolute byte offset to its
// reader. boot is the volume's first sector when the caller already has it.
std::vector<VolumePtr> load(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress = nullptr, const Bytes* boot = nullptr);
}  // namespace VolumeLoader

// What the quick scan found: the layout as read, every volume found in entry
// order, and the layout's notes followed by one per recognised entry that
// gave no volume.
struct QuickScanResult {
    PartitionLayout layout;
    std::vector<VolumePtr> volumes;
    std::vector<std::string> notes;
};

namespace QuickScanner {
// Reads the partition layout and runs the matching reader on every entry whose
// file system was recognised; cancellation is noticed before each entry.
QuickScanResult run(DiskSource& source, WorkProgress& progress);
}  // namespace QuickScanner

}  // namespace sovanta
