#include "SovantaCore/FAT/Names.h"

#include <algorithm>

namespace sovanta::fat {

namespace {

bool isForbiddenShortNameByte(uint8_t c) {
    switch (c) {
        case 0x22: case 0x2A: case 0x2B: case 0x2C: case 0x2F: case 0x3A: case 0x3B: case 0x3C:
        case 0x3D: case 0x3E: case 0x3F: case 0x5B: case 0x5C: case 0x5D: case 0x7C: return true;
        default: return false;
    }
}

std::string decode(const Bytes& units) { return utf16le(units, 0, static_cast<int64_t>(units.size() / 2)); }

}  // namespace

std::string trimBlanks(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

uint8_t shortNameChecksum(const uint8_t* name) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

std::string formatShortName(const uint8_t* name, uint8_t flags, bool deleted) {
    auto part = [&](int from, int to, bool lower) {
        std::string s;
        for (int i = from; i < to; ++i) {
            uint8_t c = name[i];
            if (c == 0x20) continue;
            char ch = (c < 0x20 || c > 0x7E) ? '_' : static_cast<char>(c);
            if (lower && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            s += ch;
        }
        return s;
    };
    std::string base = part(0, 8, flags & 0x08);
    std::string extension = part(8, 11, flags & 0x10);
    if (deleted && !base.empty()) base[0] = '_';
    return extension.empty() ? base : base + "." + extension;
}

std::string lfnText(ByteSpan e) {
    static const int slots[3][2] = {{1, 5}, {14, 6}, {28, 2}};
    Bytes units;
    for (auto& slot : slots) {
        for (int i = 0; i < slot[1]; ++i) {
            int64_t o = slot[0] + 2 * i;
            uint16_t u = u16le(e, o);
            if (u == 0x0000 || u == 0xFFFF || o + 2 > static_cast<int64_t>(e.size())) return decode(units);
            units.push_back(e[static_cast<size_t>(o)]);
            units.push_back(e[static_cast<size_t>(o) + 1]);
        }
    }
    return decode(units);
}

std::optional<std::string> assembleLongName(const std::vector<LongNamePiece>& pieces, const uint8_t* onDisk,
                                            const uint8_t* name, bool deleted) {
    if (pieces.empty()) return std::nullopt;
    uint8_t checksum = pieces.front().checksum;
    for (auto& p : pieces)
        if (p.deleted != deleted || p.checksum != checksum) return std::nullopt;
    if (!deleted) {
        if (shortNameChecksum(onDisk) != checksum || !(pieces.front().ord & 0x40)) return std::nullopt;
        for (size_t i = 0; i < pieces.size(); ++i)
            if ((pieces[i].ord & 0x1F) != pieces.size() - i) return std::nullopt;
    } else {
        // The first name byte is lost; any printable one that fits the checksum will do.
        uint8_t copy[11];
        std::copy(name, name + 11, copy);
        bool found = false;
        for (int c = 0x20; c <= 0x7E && !found; ++c) {
            copy[0] = static_cast<uint8_t>(c);
            found = shortNameChecksum(copy) == checksum;
        }
        if (!found) return std::nullopt;
    }
    std::string text;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) text += it->text;
    if (text.empty()) return std::nullopt;
    return text;
}

bool isPlausible(const uint8_t* name, bool deleted) {
    bool allBlank = true;
    for (int i = 0; i < 11; ++i) {
        uint8_t c = name[i];
        if (c != 0x20) allBlank = false;
        if (i == 0 && deleted) continue;
        if (c != 0x05 && (c < 0x20 || isForbiddenShortNameByte(c))) return false;
    }
    return !allBlank;
}

}  // namespace sovanta::fat
