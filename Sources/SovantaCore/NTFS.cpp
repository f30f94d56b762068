#include "SovantaCore/NTFS.h"

namespace sovanta::NTFSParser {

std::optional<VolumePtr> parse(DiskSource&, uint64_t, const std::string&, WorkProgress*, const Bytes*) { return std::nullopt; }

}  // namespace sovanta::NTFSParser
