#pragma once

#include <optional>
#include <string>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::FATParser {

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

}  // namespace sovanta::FATParser
