// Names of FAT directory entries: the 8.3 short name with its case flags, the
// long name put together from its pieces, and the test that a short name is
// one a FAT driver could have written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Binary.h"

namespace sovanta::fat {

// The text without blanks and tabs at either end.
std::string trimBlanks(const std::string& text);

// One long-name piece met before the short entry it belongs to.
struct LongNamePiece {
    std::string text;
    uint8_t checksum = 0;
    bool deleted = false;
    uint8_t ord = 0;  // the piece's first byte
};

// The 8-bit checksum of an 11-byte short name that its long-name pieces carry.
uint8_t shortNameChecksum(const uint8_t* name);

// The short name of 11 name bytes: blanks dropped, bytes outside printable
// ASCII as "_", base and extension lower-cased by the case flags; a deleted
// entry's lost first byte as "_".
std::string formatShortName(const uint8_t* name, uint8_t flags, bool deleted);

// The text of one long-name piece (32 bytes), up to its first 0x0000 or 0xFFFF unit.
std::string lfnText(ByteSpan entry);

// The long name of the pieces met before a short entry (in disk order), or
// none when they do not belong to it. onDisk is the entry's name as stored;
// name is its copy with 0x05 read as 0xE5.
std::optional<std::string> assembleLongName(const std::vector<LongNamePiece>& pieces, const uint8_t* onDisk,
                                            const uint8_t* name, bool deleted);

// Whether 11 name bytes could be a short name (a deleted entry's first byte
// is not looked at).
bool isPlausible(const uint8_t* name, bool deleted);

}  // namespace sovanta::fat
