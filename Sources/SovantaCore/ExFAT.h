// The exFAT reader: boot region, FAT chains, the allocation bitmap and the
// entry sets of the directories, turned into a tree of live and deleted files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

namespace ExFATParser {

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

}  // namespace ExFATParser

}  // namespace sovanta
