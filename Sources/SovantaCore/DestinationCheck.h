// Whether writing at a destination could write to the source being rescued:
// the one check that the image and recovery commands make before they write.
#pragma once

#include <filesystem>
#include <optional>

#include "SovantaCore/DiskSource.h"

namespace sovanta {

// same: writing there writes to the source (its file, its disk, or a device
// that stands for either); different: it cannot; unknown: the destination's
// storage cannot be told, so it may be the source. Unknown is not different.
enum class SourceOverlap { different, same, unknown };

namespace DestinationCheck {

// An image file (and its mapfile beside it) for source. Refused as the same:
// the source's file itself (through any link), a device that holds or stands
// for the source, and for a device source any file on its whole disk. An image
// file of an image source may lie on the disk that holds the source's file.
// imageFile is the file that the source was opened from when that is not
// source.path (an attached Apple disk image).
SourceOverlap forImage(const std::filesystem::path& image, const DiskSource& source,
                       const std::optional<std::filesystem::path>& imageFile = std::nullopt);

// A recovery folder (which need not exist yet) for source: the same when it
// lies on the source's whole disk, or on a device backed by the source, or on
// a file system served from the source's file (ntfs-3g over an image file).
SourceOverlap forRecovery(const std::filesystem::path& folder, const DiskSource& source,
                          const std::optional<std::filesystem::path>& imageFile = std::nullopt);

}  // namespace DestinationCheck

}  // namespace sovanta
