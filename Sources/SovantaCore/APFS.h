#pragma once

#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::APFSParser {

// One volume per readable volume of the container at offset; possibly none.
std::vector<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                             WorkProgress* progress = nullptr);

}  // namespace sovanta::APFSParser
