// On-disk layout of FAT12/16/32 boot sectors and directory entries, the limits
// the reader keeps to and the notes it gives, shared by its files; with those
// it shares with the exFAT reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SovantaCore/FAT/Limits.h"

namespace sovanta::fat {

// Boot sector fields.
inline constexpr int64_t bootBytesPerSector = 11;
inline constexpr int64_t bootSectorsPerCluster = 13;
inline constexpr int64_t bootReservedSectors = 14;
inline constexpr int64_t bootFATCount = 16;
inline constexpr int64_t bootRootEntries = 17;
inline constexpr int64_t bootTotalSectors16 = 19;
inline constexpr int64_t bootFATSize16 = 22;
inline constexpr int64_t bootTotalSectors32 = 32;
inline constexpr int64_t bootFATSize32 = 36;
inline constexpr int64_t bootLabel16 = 43;
inline constexpr int64_t bootRootCluster = 44;
inline constexpr int64_t bootLabel32 = 71;

// Short directory entry fields.
inline constexpr size_t entrySize = 32;
inline constexpr int64_t dirAttributes = 11;
inline constexpr int64_t dirCaseFlags = 12;
inline constexpr int64_t dirCreateTenths = 13;
inline constexpr int64_t dirCreateTime = 14;
inline constexpr int64_t dirCreateDate = 16;
inline constexpr int64_t dirClusterHigh = 20;
inline constexpr int64_t dirModifyTime = 22;
inline constexpr int64_t dirModifyDate = 24;
inline constexpr int64_t dirClusterLow = 26;
inline constexpr int64_t dirFileSize = 28;
// Long-name piece fields.
inline constexpr int64_t lfnChecksum = 13;

inline constexpr uint8_t attrDirectory = 0x10;
inline constexpr uint8_t deletedMark = 0xE5;

inline constexpr uint32_t maxClusterCount = 0x0FFFFFF5;
inline constexpr uint64_t maxDeletedDirectoryClusters = 16;
inline constexpr size_t maxFragmentRun = 64;

inline constexpr const char* fatUnavailableNote =
    "FAT-tabellen kunne ikke læses – filer antages at ligge sammenhængende.";
inline constexpr const char* crossLinkedNote = "Mapperne deler klynger med hinanden – ikke alle mapper blev læst.";
inline constexpr const char* overwrittenFolderNote = "Mappens indhold er overskrevet";
inline constexpr const char* startReusedNote = "Startklyngen er genbrugt af en anden fil";

}  // namespace sovanta::fat
