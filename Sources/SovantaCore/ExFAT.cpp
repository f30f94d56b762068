#include "SovantaCore/ExFAT.h"

namespace sovanta::ExFATParser {

std::optional<VolumePtr> parse(DiskSource&, uint64_t, const std::string&, WorkProgress*, const Bytes*) { return std::nullopt; }

}  // namespace sovanta::ExFATParser
