#include "SovantaCore/APFS.h"

namespace sovanta::APFSParser {

std::vector<VolumePtr> parse(DiskSource&, uint64_t, const std::string&, WorkProgress*) { return {}; }

}  // namespace sovanta::APFSParser
