// What the recovery sheet and the imaging sheet learn of a chosen destination
// before anything is written there: whether it could write to the source
// being rescued, and whether its volume has room.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "SovantaCore/DestinationCheck.h"
#include "SovantaCore/DiskSource.h"

namespace sovanta::app {

namespace Destination {

// The bytes free for the user's files on the volume that holds folder;
// absent when that cannot be learned.
using FreeSpaceFunction = std::function<std::optional<int64_t>(const std::filesystem::path& folder)>;
std::optional<int64_t> systemFreeSpace(const std::filesystem::path& folder);
// What the sheets ask; tests replace it.
inline FreeSpaceFunction freeSpace = systemFreeSpace;

// The free bytes of folder's volume when they are fewer than needed; absent
// when they suffice or cannot be learned (a negative answer counts as none).
std::optional<uint64_t> shortOfSpace(const std::filesystem::path& folder, uint64_t needed);

// Whether a recovery folder could write to source, as the command-line tool
// answers it: for an image file, a folder on a device backed by that very
// file or on a file system served from it is the same, and a folder whose
// storage cannot be told is unknown, for an image file as for a disk.
// imageFile: the file the source was opened from, when that is not the
// source's own path.
SourceOverlap forRecovery(const std::filesystem::path& folder, const DiskSource& source,
                          const std::optional<std::filesystem::path>& imageFile = std::nullopt);

// Whether an image file (and its mapfile) could write to the disk being
// copied: source when the opener has it open, else the whole disk named
// sourceDisk; different when neither is given.
SourceOverlap forImage(const std::filesystem::path& image, const std::optional<std::string>& sourceDisk,
                       const DiskSourcePtr& source);

}  // namespace Destination

}  // namespace sovanta::app
