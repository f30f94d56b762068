// The parsers' fuzz entry points, shared by the libFuzzer programs and by the
// test that replays every kept input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"

namespace sovanta::fuzz {

struct Target {
    std::string name;
    void (*run)(const uint8_t* data, size_t size);
};

// Every target, by name.
const std::vector<Target>& targets();

// A read-only source over bytes held in memory.
DiskSourcePtr memorySource(const uint8_t* data, size_t size, int64_t sectorSize = 512);

// A sparse image: a little-endian u64 size, then pieces of u64 offset, u32
// length and that many bytes, laid into zeros. Lets the fuzzer mutate the
// metadata of a large volume without carrying its empty space.
DiskSourcePtr sparseSource(const uint8_t* data, size_t size);
// The encoding of an image file: every 4 KiB block that is not all zero.
std::vector<uint8_t> encodeSparse(const std::vector<uint8_t>& image);

}  // namespace sovanta::fuzz
