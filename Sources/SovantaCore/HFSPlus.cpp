#include "SovantaCore/HFSPlus.h"

namespace sovanta::HFSPlusParser {

std::optional<VolumePtr> parse(DiskSource&, uint64_t, const std::string&, WorkProgress*) { return std::nullopt; }

}  // namespace sovanta::HFSPlusParser
