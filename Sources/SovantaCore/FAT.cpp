#include "SovantaCore/FAT.h"

namespace sovanta::FATParser {

std::optional<VolumePtr> parse(DiskSource&, uint64_t, const std::string&, WorkProgress*, const Bytes*) { return std::nullopt; }

}  // namespace sovanta::FATParser
