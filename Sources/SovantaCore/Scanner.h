// The quick scan, the volume loader, and the deep scan.
#pragma once

#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

namespace VolumeLoader {
// The one dispatch from a file-system type and an absolute byte offset to its
// reader. boot is the volume's first sector when the caller already has it.
std::vector<VolumePtr> load(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress = nullptr, const Bytes* boot = nullptr);
}  // namespace VolumeLoader

}  // namespace sovanta
