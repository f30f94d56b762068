#include "SovantaCore/Recovery.h"

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SovantaCore/FileReader.h"

namespace sovanta::RecoveryEngine {

namespace fs = std::filesystem;

namespace {

constexpr auto progressInterval = std::chrono::milliseconds(150);

std::string errorText(int error) { return std::strerror(error); }

// A write that stops here leaves no room for anything more on the destination.
bool isDestinationFull(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

bool somethingAt(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The n-th candidate for a taken name: "report (2).pdf", "Gendannet (2)".
std::string numberedName(const std::string& name, uint64_t n, bool isDirectory) {
    std::string number = " (" + std::to_string(n) + ")";
    std::string extension = isDirectory ? std::string() : pathExtension(name);
    if (extension.empty()) return name + number;
    return name.substr(0, name.size() - extension.size() - 1) + number + "." + extension;
}

// Writes all of bytes; 0 on success, else the error number.
int writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// A field with a separator, a quote or a line break (a lone carriage return
// ends a row for most readers too) goes inside quotes. A field that begins as
// a spreadsheet formula does ("=", "+", "-", "@") gets an apostrophe first, so
// that it is shown as the text it is and never run.
std::string csv(const std::string& raw) {
    const bool formula = !raw.empty() && (raw[0] == '=' || raw[0] == '+' || raw[0] == '-' || raw[0] == '@');
    const std::string field = formula ? "'" + raw : raw;
    if (field.find_first_of(";\"\n\r") == std::string::npos) return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

timespec toTimespec(const Date& date) {
    using namespace std::chrono;
    auto ns = duration_cast<nanoseconds>(date.time_since_epoch()).count();
    auto seconds = ns / 1000000000;
    auto rest = ns % 1000000000;
    if (rest < 0) rest += 1000000000, seconds -= 1;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest);
    return ts;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// Candidate names for a taken name, numbered from where the last search for
// it ended, so that thousands of entries of one name do not each probe from 2
// again.
class Numbering {
public:
    enum class Answer { taken, chosen, failed };

    // The first of name, "name (2)" ... (files: "name (2).ext") in folder that
    // try does not call taken; the last candidate tried when it fails. With
    // rules, the numbered names are cut to stay within them and limit.
    template <typename Try>
    std::string first(const std::string& folder, const std::string& name, bool isDirectory, Try attempt,
                      const NameRules* rules = nullptr, size_t limit = 0) {
        const std::string key = (isDirectory ? "d" : "f") + joinPath(folder, name);
        auto it = next_.find(key);
        for (uint64_t n = it == next_.end() ? 1 : it->second;; ++n) {
            std::string candidate = n == 1 ? name
                                    : rules ? numberedToFit(name, n, isDirectory, *rules, limit)
                                            : numberedName(name, n, isDirectory);
            Answer answer = attempt(candidate);
            if (answer == Answer::taken) continue;
            if (answer == Answer::chosen) next_[key] = n + 1;
            return candidate;
        }
    }

private:
    std::unordered_map<std::string, uint64_t> next_;
};

// The folders of a plan: each folder node gets one relative path, built from
// the sanitized names of its ancestors below the tree's root and its own
// (the root contributes nothing); distinct folders of one name in one folder,
// or a folder named as a file planned beside it, get numbered names, so
// their files never mix.
class PlannedFolders {
public:
    const std::string& of(const FileNodePtr& folder) {
        // The ancestors up to one already placed or the root; a visited set
        // bounds the climb should the links ever form a cycle.
        std::vector<FileNodePtr> chain;
        std::unordered_set<int64_t> seen;
        FileNodePtr top = folder;
        while (top && !paths_.count(top->id) && seen.insert(top->id).second) {
            chain.push_back(top);
            top = top->parent();
        }
        std::string path = top && paths_.count(top->id) ? paths_[top->id] : std::string();
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const FileNode& node = **it;
            if (it != chain.rbegin() || top) {
                path = joinPath(path, numbering_.first(path, sanitize(node.name), true, [&](const std::string& name) {
                    return taken_.insert(joinPath(path, name)).second ? Numbering::Answer::chosen
                                                                      : Numbering::Answer::taken;
                }));
            }
            // A node without parent is its tree's root and has the empty path.
            paths_[node.id] = path;
        }
        return paths_[folder->id];
    }

    // A file's name in a planned folder, which a folder planned later there
    // does not take (a deleted file beside a live folder of its name).
    void reserve(const std::string& folder, const std::string& fileName) {
        taken_.insert(joinPath(folder, sanitize(fileName)));
    }

private:
    std::unordered_map<int64_t, std::string> paths_;
    std::unordered_set<std::string> taken_;
    Numbering numbering_;
};

// Creates the new folder exclusively: the first of name, "name (2)" ... that
// does not exist yet, as the destination's file system can hold it (rules,
// found there). Returns the error number of the failure, or 0.
int createRunFolder(const fs::path& destination, const std::string& wanted, fs::path& created, NameRules& rules) {
    std::error_code ec;
    fs::create_directories(destination, ec);
    if (ec) {
        created = destination / wanted;
        return ec.value();
    }
    rules = nameRules(destination);
    const std::string name = adaptName(wanted, rules, true);
    for (uint64_t n = 1;; ++n) {
        created = destination / (n == 1 ? name : numberedToFit(name, n, true, rules));
        if (::mkdir(created.c_str(), 0755) == 0) return 0;
        if (errno != EEXIST) return errno;
    }
}

// Moves from to to unless something is there; 0, or the error number
// (EEXIST when to is taken).
int renameWithoutReplacing(const fs::path& from, const fs::path& to) {
#ifdef __APPLE__
    if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return 0;
    if (errno != ENOTSUP) return errno;
#else
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
    // A file system that cannot rename exclusively: a hard link is exclusive
    // too; where there are none, the name is checked first (the run's own
    // folder, where nothing else writes).
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    if (somethingAt(to)) return EEXIST;
    if (::rename(from.c_str(), to.c_str()) != 0) return errno;
    return 0;
}

// The longest path below root that the system still takes (PATH_MAX holds
// its closing NUL), measured from the file-system root.
size_t pathBudget(const fs::path& root) {
    std::error_code ec;
    const size_t used = fs::absolute(root, ec).string().size() + 1;  // and the "/" after it
    return used < PATH_MAX - 1 ? PATH_MAX - 1 - used : 0;
}

// Makes the files and folders of a run below its new folder, each
// exclusively under the first free name: a planned folder whose name a file
// of the run already took (a deleted file beside a live folder of its name)
// is numbered as a file would be, instead of failing every file inside it.
// Names are made as the destination's file system can hold them (rules),
// and a path that would grow past what the system takes is shortened: its
// folder names cut, or, where not even a short folder fits, its files put in
// the deepest folder that does.
class Destination {
public:
    Destination(fs::path root, const NameRules& rules)
        : root_(std::move(root)), rules_(rules), budget_(pathBudget(root_)) {}

    // The made folder's path relative to the new folder for a file named
    // fileName (sanitized) planned in it, or the error number.
    int folder(const fs::path& planned, const std::string& fileName, std::string& made) {
        made.clear();
        // The file's name and room for what its temporary, numbered or
        // interrupted names add; needed only for a folder not made yet.
        size_t need = 0;
        std::string plannedSoFar;
        bool full = false;
        for (auto& part : planned) {
            plannedSoFar = joinPath(plannedSoFar, part.string());
            if (auto it = folders_.find(plannedSoFar); it != folders_.end()) {
                made = it->second;
                continue;
            }
            if (need == 0) need = adaptName(fileName, rules_, false).size() + suffixRoom;
            // Room for this folder's name with a "/" and the file's name after it.
            const size_t used = made.empty() ? 0 : made.size() + 1;
            const size_t room = budget_ > used + 1 + need ? budget_ - used - 1 - need : 0;
            std::string name = adaptName(part.string(), rules_, true);
            if (full || (name.size() > room && room < shortestCutFolder)) {
                full = true;
                folders_.emplace(plannedSoFar, made);
                continue;
            }
            const size_t limit = room < rules_.maxBytes ? room : 0;
            if (name.size() > room) name = adaptName(name, rules_, true, limit);
            int error = 0;
            name = numbering_.first(
                made, name, true,
                [&](const std::string& candidate) {
                    if (::mkdir((root_ / joinPath(made, candidate)).c_str(), 0755) == 0)
                        return Numbering::Answer::chosen;
                    if (errno == EEXIST) return Numbering::Answer::taken;
                    error = errno;
                    return Numbering::Answer::failed;
                },
                &rules_, limit);
            if (error != 0) return error;
            made = joinPath(made, name);
            folders_.emplace(plannedSoFar, made);
        }
        return 0;
    }

    // The name a file named name (sanitized) gets in the made folder as the
    // destination can hold it, with room left for what its temporary and
    // interrupted names add, and the longest its numbered names may be (0:
    // the rules' own). Where the folder leaves too little room for a readable
    // name (it was made for a file of a shorter one), the file goes up to the
    // deepest folder above it that does, and folder says which.
    std::string name(std::string& folder, const std::string& name, size_t& limit) const {
        std::string chosen = adaptName(name, rules_, false);
        auto roomIn = [&](const std::string& made) {
            const size_t used = made.empty() ? 0 : made.size() + 1;
            return budget_ > used ? budget_ - used : 0;
        };
        const size_t wanted = std::min(chosen.size() + suffixRoom, shortestCutFile);
        while (!folder.empty() && roomIn(folder) < wanted) {
            const size_t slash = folder.rfind('/');
            folder = slash == std::string::npos ? std::string() : folder.substr(0, slash);
        }
        const size_t room = roomIn(folder);
        limit = room < rules_.maxBytes ? std::max<size_t>(room, 1) : 0;
        const size_t own = room > suffixRoom ? room - suffixRoom : 1;
        if (chosen.size() > own) chosen = adaptName(chosen, rules_, false, own);
        return chosen;
    }

    // The open descriptor of a new file in the made folder under a name that
    // says it is not finished (name's temporary name), or -1 with the error
    // number in error. The file gets its own name only when it is whole.
    int temporary(const std::string& folder, const std::string& name, size_t limit, std::string& temporaryName,
                  int& error) {
        error = 0;
        for (uint64_t n = 1;; ++n) {
            const size_t numberedLimit =
                limit == 0 ? 0 : std::max<size_t>(limit > suffixRoom ? limit - suffixRoom : 0, 1);
            temporaryName =
                unfinishedName(n == 1 ? name : numberedToFit(name, n, false, rules_, numberedLimit), rules_, limit);
            const fs::path path = root_ / joinPath(folder, temporaryName);
            int fd;
            do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            while (fd < 0 && errno == EINTR);
            if (fd >= 0) return fd;
            if (errno != EEXIST) {
                error = errno;
                return -1;
            }
        }
    }

    // Gives the temporary file in the made folder the first free one of name,
    // "name (2).ext" ...; never replaces anything. The name given, or empty
    // with the error number in error.
    std::string commit(const std::string& folder, const std::string& temporaryName, const std::string& name,
                       size_t limit, int& error) {
        error = 0;
        const fs::path from = root_ / joinPath(folder, temporaryName);
        std::string chosen = numbering_.first(
            folder, name, false,
            [&](const std::string& candidate) {
                const int result = renameWithoutReplacing(from, root_ / joinPath(folder, candidate));
                if (result == 0) return Numbering::Answer::chosen;
                if (result == EEXIST) return Numbering::Answer::taken;
                error = result;
                return Numbering::Answer::failed;
            },
            &rules_, limit);
        return error == 0 ? chosen : std::string();
    }

    // The name a file named name gets when its copy was cut short, within limit (0: the rules' own).
    std::string interrupted(const std::string& name, size_t limit) const {
        return interruptedName(name, rules_, limit);
    }

private:
    // A folder name cut shorter than this says too little: its files go into
    // the folder above instead.
    static constexpr size_t shortestCutFolder = 16;
    // A file name is not cut shorter than this for its path.
    static constexpr size_t shortestCutFile = 64;
    // What a file's temporary (".ufærdig"), interrupted (" (afbrudt)") or
    // numbered name adds to it at most, kept free in its path.
    static constexpr size_t suffixRoom = 12;

    fs::path root_;
    NameRules rules_;
    size_t budget_;
    std::unordered_map<std::string, std::string> folders_;  // planned path -> made path
    Numbering numbering_;
};

// A row of the report; original, where the file could not keep its name or
// place, follows the node's note in the last column.
std::string reportRow(const std::string& path, uint64_t size, const char* status, const RecoveryPlanItem& item,
                      int64_t unreadable, const std::string& original) {
    std::string remark = item.node->note.value_or("");
    if (!original.empty()) remark = remark.empty() ? original : remark + " · " + original;
    return csv(path) + ";" + std::to_string(size) + ";" + status + ";" + label(item.node->recoverability) + ";" +
           std::to_string(unreadable) + ";" + csv(remark) + "\n";
}

}  // namespace

fs::path uniqueURL(const fs::path& location, bool isDirectory) {
    if (!somethingAt(location)) return location;
    const fs::path parent = location.parent_path();
    const std::string name = location.filename().string();
    for (uint64_t n = 2;; ++n) {
        fs::path candidate = parent / numberedName(name, n, isDirectory);
        if (!somethingAt(candidate)) return candidate;
    }
}

RecoveryPlan plan(const std::vector<FileNodePtr>& nodes, const RecoveryOptions& options, uint64_t addedUpTo) {
    RecoveryPlan out;
    PlannedFolders folders;
    std::vector<std::string> paths{std::string()};  // the plan's folders while planning
    std::unordered_map<int64_t, uint32_t> indexes;  // folder node -> its place in paths
    std::unordered_set<int64_t> taken;
    std::unordered_set<int64_t> walked;  // folders already walked give nothing new (and no cycle)
    auto folderOf = [&](const FileNodePtr& folder) -> uint32_t {
        if (!options.keepFolderStructure || !folder) return 0;
        auto [it, fresh] = indexes.try_emplace(folder->id, 0);
        if (fresh) {
            const std::string& path = folders.of(folder);
            if (!path.empty()) {
                it->second = static_cast<uint32_t>(paths.size());
                paths.push_back(path);
            }
        }
        return it->second;
    };
    auto take = [&](const FileNodePtr& file, uint32_t folder) {
        if (!taken.insert(file->id).second) return;
        if (options.keepFolderStructure) folders.reserve(paths[folder], file->name);
        out.files.push_back({file, folder});
        out.totalBytes += file->size;
    };
    for (auto& node : nodes) {
        if (!node) continue;
        if (!node->isDirectory) {
            take(node, folderOf(node->parent()));
            continue;
        }
        if (!walked.insert(node->id).second) continue;
        // Files directly in a folder come before those of its subfolders;
        // subfolders are taken last-pushed first.
        std::vector<FileNodePtr> stack{node};
        while (!stack.empty()) {
            FileNodePtr folder = std::move(stack.back());
            stack.pop_back();
            const uint32_t index = folderOf(folder);
            const FileNode::Children children = folder->childrenSnapshot();
            for (auto& child : *children) {
                if (child->addedAt() > addedUpTo) continue;
                if (!child->isDirectory) take(child, index);
                else if (walked.insert(child->id).second) stack.push_back(child);
            }
        }
    }
    out.files.shrink_to_fit();
    out.folders.assign(paths.begin(), paths.end());
    return out;
}

namespace {

using Clock = std::chrono::steady_clock;

// What streaming one file into its copy came to.
struct Streamed {
    int64_t unreadable = 0;
    uint64_t written = 0;
    int writeError = 0;
    bool cutByCancel = false;
    bool cutBySource = false;  // the source went away or was cut short while the file was read
};

// One run of copy into its new folder: the counts, the report's text and the
// progress reported as the files go.
class CopyRun {
public:
    CopyRun(DiskSource& source, const fs::path& folder, const NameRules& rules, const RecoveryOptions& options,
            WorkProgress& reporter, const std::function<void(const RecoveryProgress&)>& progress)
        : source_(source), folder_(folder), options_(options), reporter_(reporter), progress_(progress),
          made_(folder, rules) {}

    // Copies the plan's files in order until the work is cancelled or the
    // destination is full. The report goes into reportFD (reportError: why it
    // could not be made): its header at once and each file's row as the file
    // is done, so that a run that is killed leaves the rows of what it did.
    RecoveryResult run(const RecoveryPlan& plan, int reportFD, int reportError) {
        result_.folder = folder_;
        state_.filesTotal = static_cast<int64_t>(plan.files.size());
        state_.bytesTotal = plan.totalBytes;
        report();
        reportFD_ = reportFD;
        reportError_ = reportError;
        addRow(std::string(RecoveryEngine::reportHeader) + "\n");
        lastReport_ = Clock::now();
        size_t next = 0;
        while (next < plan.files.size()) {
            if (reporter_.isCancelled()) {
                result_.cancelled = true;
                break;
            }
            if (sourceGone()) break;
            if (!copyFile(plan, plan.files[next++])) break;
        }
        sourceGone();
        result_.notTried = static_cast<int64_t>(plan.files.size() - next);
        report();
        if (options_.writeReport) closeReport();
        return std::move(result_);
    }

private:
    void report() {
        if (progress_) progress_(state_);
    }

    // Whether the source has gone away or been cut short; the first time it
    // has, the failures say so. Every later read would give only zeros, so no
    // further file is started.
    bool sourceGone() {
        if (!source_.hasVanished()) return false;
        if (!sourceGoneSaid_) {
            sourceGoneSaid_ = true;
            if (auto end = source_.shrunkTo())
                result_.failures.push_back("Kilden er blevet mindre under gendannelsen: den ender nu ved byte " +
                                           std::to_string(*end) + " i stedet for " + std::to_string(source_.size) +
                                           " – gendannelsen blev stoppet.");
            else
                result_.failures.push_back("Kilden svarer ikke længere – gendannelsen blev stoppet.");
        }
        return true;
    }

    // A failure of one file; true when it leaves no room for any other.
    bool fail(const std::string& line, int error) {
        ++result_.failed;
        result_.failures.push_back(line);
        if (!isDestinationFull(error)) return false;
        result_.failures.push_back(RecoveryEngine::destinationFullLine);
        return true;
    }

    // One file of the plan; false when no later file can be copied.
    bool copyFile(const RecoveryPlan& plan, const RecoveryPlanItem& item) {
        const FileNode& node = *item.node;
        state_.currentFile = node.name;
        // Nothing is known of where the bytes of this file lie: an empty copy
        // of a file that is not empty would pass for a recovered one.
        if (std::holds_alternative<NoData>(node.data) && node.size > 0) {
            fail(node.path() + ": " + errorText(ENODATA), ENODATA);
            return true;
        }
        const std::string sanitized = sanitize(node.name);
        std::string targetFolder;
        if (int error = made_.folder(plan.folderOf(item), sanitized, targetFolder)) {
            // A full destination fails every later file alike: stop as a
            // full destination stops a write.
            return !fail(node.path() + ": " + errorText(error), error);
        }
        size_t limit = 0;
        const std::string name = made_.name(targetFolder, sanitized, limit);
        // The name or place the file would have had, where the destination
        // could not give it that (a number for a name taken is no change).
        std::string original;
        if (targetFolder != plan.folderOf(item).string())
            original = "Oprindelig sti: " + joinPath(plan.folderOf(item).string(), node.name);
        else if (name != node.name)
            original = "Oprindeligt navn: " + node.name;
        std::string temporaryName;
        int createError = 0;
        int fd = made_.temporary(targetFolder, name, limit, temporaryName, createError);
        if (fd < 0) return !fail(node.path() + ": kunne ikke oprette " + name, createError);
        const fs::path temporary = folder_ / joinPath(targetFolder, temporaryName);

        Streamed streamed = stream(item, fd);
        // A close that fails can mean that buffered data never reached the
        // destination (network file systems report it there): it counts as a
        // write error, not as a finished file.
        if (::close(fd) != 0 && streamed.writeError == 0 && errno != EINTR) streamed.writeError = errno;

        if (streamed.writeError != 0) {
            ::unlink(temporary.c_str());
            return !fail(node.path() + ": " + errorText(streamed.writeError), streamed.writeError);
        }
        // Only a whole file gets its own name; a part cut short by a
        // cancellation gets one that says so.
        const bool cut = (streamed.cutByCancel || streamed.cutBySource) && streamed.written < node.size;
        int renameError = 0;
        const std::string finalName =
            made_.commit(targetFolder, temporaryName, cut ? made_.interrupted(name, limit) : name, limit, renameError);
        if (renameError != 0) {
            // No name of it can be made there: as a file that cannot be created.
            ::unlink(temporary.c_str());
            return !fail(node.path() + ": kunne ikke oprette " + name, renameError);
        }
        const std::string reportPath = joinPath(targetFolder, finalName);
        const fs::path target = folder_ / reportPath;
        if (cut) {
            // The part copied before the cancellation (or before the source
            // went away) stays, but it is not the file: it counts as failed
            // and its row says so.
            fail(node.path() + ": afbrudt efter " + std::to_string(streamed.written) + " af " +
                     std::to_string(node.size) + " bytes",
                 0);
            if (streamed.cutByCancel) result_.cancelled = true;
            report();
            addRow(reportRow(reportPath, streamed.written, "Afbrudt", item, streamed.unreadable, original));
            return true;
        }
        if (options_.restoreDates && node.modified) restoreModified(target, *node.modified);
        const char* status;
        if (streamed.unreadable == 0) {
            ++result_.recovered;
            status = "OK";
        } else {
            ++result_.withErrors;
            status = "Ulæselige sektorer";
        }
        result_.bytes += node.size;
        ++state_.filesDone;
        report();
        addRow(reportRow(reportPath, node.size, status, item, streamed.unreadable, original));
        return true;
    }

    // The file's bytes into fd, the progress reported at most every interval;
    // a file read in pieces stops at the piece after a cancellation.
    Streamed stream(const RecoveryPlanItem& item, int fd) {
        const FileData& data = item.node->data;
        const bool cancellable =
            std::holds_alternative<std::vector<Extent>>(data) || std::holds_alternative<CompressedRuns>(data);
        Streamed out;
        out.unreadable = FileReader::stream(
            *item.node, source_, FileReader::defaultChunkSize, item.node->size, [&](const Bytes& piece) {
                if (int error = writeAll(fd, piece.data(), piece.size())) {
                    out.writeError = error;
                    return false;
                }
                out.written += piece.size();
                state_.bytesDone += piece.size();
                if (afterPiece) afterPiece(state_);
                auto now = Clock::now();
                if (now - lastReport_ > progressInterval) {
                    report();
                    lastReport_ = now;
                }
                if (cancellable && reporter_.isCancelled()) {
                    out.cutByCancel = true;
                    return false;
                }
                // What a gone source gives from here on is zeros, not the file.
                if (cancellable && source_.hasVanished()) {
                    out.cutBySource = true;
                    return false;
                }
                return true;
            });
        return out;
    }

    static void restoreModified(const fs::path& target, const Date& modified) {
        // This platform keeps no settable creation date; the access time stays.
        timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = toTimespec(modified);
        ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }

    // Appends text to the report at once; after a failed write the report
    // takes nothing more.
    void addRow(const std::string& text) {
        if (!options_.writeReport || reportFD_ < 0) return;
        if (int error = writeAll(reportFD_, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
            ::close(reportFD_);
            reportFD_ = -1;
            reportError_ = error;
        }
    }

    void closeReport() {
        if (reportFD_ >= 0) {
            if (::close(reportFD_) != 0 && reportError_ == 0 && errno != EINTR) reportError_ = errno;
            reportFD_ = -1;
        }
        if (reportError_ != 0)
            result_.failures.push_back(std::string("Rapporten ") + RecoveryEngine::reportName +
                                       " kunne ikke skrives: " + errorText(reportError_));
    }

    DiskSource& source_;
    const fs::path folder_;
    const RecoveryOptions& options_;
    WorkProgress& reporter_;
    const std::function<void(const RecoveryProgress&)>& progress_;
    Destination made_;
    RecoveryResult result_;
    RecoveryProgress state_;
    int reportFD_ = -1;
    int reportError_ = 0;
    Clock::time_point lastReport_;
    bool sourceGoneSaid_ = false;
};

}  // namespace

RecoveryResult copy(const RecoveryPlan& plan, const std::string& rootName, DiskSource& source,
                    const fs::path& destination, const RecoveryOptions& options, WorkProgress& reporter,
                    const std::function<void(const RecoveryProgress&)>& progress) {
    fs::path folder;
    NameRules rules;
    if (int error =
            createRunFolder(destination, sanitize(rootName.empty() ? "Gendannet" : rootName), folder, rules)) {
        RecoveryResult result;
        result.failed = static_cast<int64_t>(plan.files.size());
        result.failures.push_back("Kunne ikke oprette mappen " + folder.string() + ": " + errorText(error));
        return result;
    }
    // The report's name is taken first, so that a recovered file of the same
    // name gets a number instead of being overwritten by the report.
    int reportFD = -1, reportError = 0;
    if (options.writeReport) {
        reportFD = ::open((folder / reportName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (reportFD < 0) reportError = errno;
    }
    return CopyRun(source, folder, rules, options, reporter, progress).run(plan, reportFD, reportError);
}

RecoveryResult recover(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSource& source,
                       const fs::path& destination, const RecoveryOptions& options, WorkProgress& reporter,
                       const std::function<void(const RecoveryProgress&)>& progress) {
    RecoveryResult result = copy(plan(nodes, options), rootName, source, destination, options, reporter, progress);
    if (!result.folder) result.failed = static_cast<int64_t>(nodes.size());
    return result;
}

}  // namespace sovanta::RecoveryEngine
