// Copies chosen files out of a source into one new folder, with their folder
// structure and dates, never overwriting anything, and writes the report
// "Gendannelsesrapport.csv". Never throws: what goes wrong is counted and
// described in the result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

struct RecoveryOptions {
    bool keepFolderStructure = true;  // recreate the files' folders below the new folder
    bool restoreDates = true;         // give each written file the node's dates
    bool writeReport = true;          // write "Gendannelsesrapport.csv", a row as each file is done
};

struct RecoveryProgress {
    int64_t filesDone = 0;   // files written completely (failed files are not counted)
    int64_t filesTotal = 0;  // files to copy
    uint64_t bytesDone = 0;  // bytes written so far, pieces of failed files included
    uint64_t bytesTotal = 0;
    std::string currentFile;
};

struct RecoveryResult {
    int64_t recovered = 0;   // written without unreadable bytes
    int64_t withErrors = 0;  // written with unreadable bytes (zeros in their place)
    int64_t failed = 0;      // could not be written, or cut short by a cancellation or a source that went away
    int64_t notTried = 0;    // never started: the run stopped (full destination, cancellation, source gone) before them
    uint64_t bytes = 0;      // sum of the sizes of the written files
    bool cancelled = false;
    std::optional<std::filesystem::path> folder;  // the new folder, absent when it could not be created
    std::vector<std::string> failures;            // one Danish line per failure, in order
};

// One file of a recovery: the node, whose fields stay as they are once its
// tree is handed over, and its folder in the plan.
struct RecoveryPlanItem {
    FileNodePtr node;
    uint32_t folder = 0;  // index into the plan's folders
};

// The files of one recovery in the order they are copied; no node twice.
struct RecoveryPlan {
    std::vector<RecoveryPlanItem> files;
    // The relative folders below the new root folder; the first is the empty
    // one (no folder structure, or a file at the tree's root).
    std::vector<std::filesystem::path> folders{std::filesystem::path()};
    uint64_t totalBytes = 0;

    const std::filesystem::path& folderOf(const RecoveryPlanItem& item) const { return folders.at(item.folder); }
};

namespace RecoveryEngine {

inline constexpr const char* reportName = "Gendannelsesrapport.csv";
inline constexpr const char* reportHeader = "Sti;Størrelse;Status;Chance;Ulæselige bytes;Bemærkning";
inline constexpr const char* destinationFullLine = "Destinationen er fuld – gendannelsen blev stoppet.";

// The files among nodes, and every file below the folders among them, with
// their folders below the new folder (distinct folders of one name numbered,
// as files are). Reads the tree through snapshots: any thread may call it
// while the tree's owner adds to it. Nodes added below the chosen folders
// after FileNode::additions() was addedUpTo are left out.
RecoveryPlan plan(const std::vector<FileNodePtr>& nodes, const RecoveryOptions& options,
                  uint64_t addedUpTo = UINT64_MAX);

// Copies the planned files into a new folder named after rootName inside
// destination. Each file is written under a temporary name ("navn.ext.ufærdig")
// and given its own only when whole; one that a cancellation or a source that
// went away cuts short is named "navn (afbrudt).ext". Of the tree it reads the
// planned nodes' own fields and, through node.path() for its failure lines,
// the names and parent links above them: it relies on the hand-over rule of
// FileNode (Model.h), that none of these changes once the tree is handed
// over, to run on a worker while the tree grows. Only the reporter's cancel
// flag is used; progress runs on the calling thread.
RecoveryResult copy(const RecoveryPlan& plan, const std::string& rootName, DiskSource& source,
                    const std::filesystem::path& destination, const RecoveryOptions& options, WorkProgress& reporter,
                    const std::function<void(const RecoveryProgress&)>& progress);

// Runs on the copying thread after each piece of a file is written, with the
// progress so far, before the cancel flag is looked at: where tests hold a
// run or stop it mid-file. Empty in the programs; set it only while no copy runs.
inline std::function<void(const RecoveryProgress&)> afterPiece;

// plan, then copy, on the calling thread. When the new folder cannot be made,
// every node handed in counts as failed.
RecoveryResult recover(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSource& source,
                       const std::filesystem::path& destination, const RecoveryOptions& options,
                       WorkProgress& reporter, const std::function<void(const RecoveryProgress&)>& progress);

// A file name that is safe to create: no "/" or NUL, no blanks at the ends,
// never empty, "." or "..", at most 250 bytes of UTF-8 cut between characters.
std::string sanitize(const std::string& name);

// The names a destination's file system can hold.
struct NameRules {
    // FAT, exFAT and NTFS (and Windows shares): no : ? * " < > | \ or control
    // characters, no dot or blank at the end, no device name (CON, NUL, COM1 ...).
    bool windows = false;
    size_t maxBytes = 255;  // the longest name in bytes of UTF-8
    size_t maxUnits = 0;    // the longest name in UTF-16 code units; 0: no such limit
};

// The rules of the file system that holds folder: Windows-style on FAT,
// exFAT and NTFS, by the kernel or through FUSE, and on Windows shares;
// elsewhere only the longest name it takes.
NameRules nameRules(const std::filesystem::path& folder);

// A sanitized name as rules allow it, within limit bytes when limit is not 0:
// each character they forbid becomes "_", dots and blanks at the end go, a
// device name gets "_" after it, and a name too long is cut between
// characters, its extension kept where it is short. Never empty.
std::string adaptName(const std::string& name, const NameRules& rules, bool isDirectory, size_t limit = 0);

// The n-th candidate for a taken adapted name, "name (n).ext" (folders and
// files without extension: "name (n)"), its stem cut so that it stays
// within the rules and limit.
std::string numberedToFit(const std::string& name, uint64_t n, bool isDirectory, const NameRules& rules,
                          size_t limit = 0);

// The name a file named name (adapted) is written under while it is copied,
// "name.ext.ufærdig", and the one it gets when its copy is cut short,
// "name (afbrudt).ext": what they add kept whole, the name cut as far as
// needed to stay within the rules and limit.
std::string unfinishedName(const std::string& name, const NameRules& rules, size_t limit = 0);
std::string interruptedName(const std::string& name, const NameRules& rules, size_t limit = 0);

// The location itself when nothing exists there, else the first free
// "name (2).ext", "name (3).ext" ... in the same folder (folders and files
// without extension: "name (2)").
std::filesystem::path uniqueURL(const std::filesystem::path& location, bool isDirectory);

}  // namespace RecoveryEngine

}  // namespace sovanta
