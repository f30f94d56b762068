#include "SovantaCore/Recovery.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "SovantaCore/FileReader.h"

namespace sovanta::RecoveryEngine {

namespace fs = std::filesystem;

namespace {

constexpr size_t maxNameBytes = 250;
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

std::string csv(const std::string& field) {
    if (field.find_first_of(";\"\n") == std::string::npos) return field;
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

// The sanitized names from the one below the tree's root down to folder
// itself; empty for the root. Bounded by a visited set against cycles.
std::string relativeFolderPath(const FileNodePtr& folder) {
    std::vector<std::string> names;
    std::unordered_set<int64_t> seen;
    for (FileNodePtr node = folder; node && seen.insert(node->id).second;) {
        FileNodePtr parent = node->parent();
        if (!parent) break;  // the root contributes nothing
        names.push_back(sanitize(node->name));
        node = parent;
    }
    std::string out;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!out.empty()) out += "/";
        out += *it;
    }
    return out;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

struct Job {
    FileNodePtr node;
    std::string folder;  // sanitized names joined by "/", relative to the new folder
};

std::vector<Job> makeJobs(const std::vector<FileNodePtr>& nodes, bool keepFolderStructure) {
    std::vector<Job> jobs;
    std::unordered_set<int64_t> taken;
    std::unordered_set<int64_t> walked;  // folders already walked give nothing new (and no cycle)
    for (auto& node : nodes) {
        if (!node) continue;
        if (!node->isDirectory) {
            if (!taken.insert(node->id).second) continue;
            std::string folder;
            if (keepFolderStructure)
                if (auto parent = node->parent()) folder = relativeFolderPath(parent);
            jobs.push_back({node, folder});
            continue;
        }
        if (!walked.insert(node->id).second) continue;
        std::vector<std::pair<FileNodePtr, std::string>> stack;
        stack.push_back({node, keepFolderStructure ? relativeFolderPath(node) : std::string()});
        while (!stack.empty()) {
            auto [folder, path] = std::move(stack.back());
            stack.pop_back();
            for (auto& child : folder->children()) {
                if (!child->isDirectory) {
                    if (taken.insert(child->id).second) jobs.push_back({child, path});
                } else if (walked.insert(child->id).second) {
                    stack.push_back({child, keepFolderStructure ? joinPath(path, sanitize(child->name)) : ""});
                }
            }
        }
    }
    return jobs;
}

// Creates the new folder exclusively: the first of name, "name (2)" ... that
// does not exist yet. Returns the error number of the failure, or 0.
int createRunFolder(const fs::path& destination, const std::string& name, fs::path& created) {
    std::error_code ec;
    fs::create_directories(destination, ec);
    if (ec) {
        created = destination / name;
        return ec.value();
    }
    for (uint64_t n = 1;; ++n) {
        created = destination / (n == 1 ? name : numberedName(name, n, true));
        if (::mkdir(created.c_str(), 0755) == 0) return 0;
        if (errno != EEXIST) return errno;
    }
}

// Creates a new file exclusively under the first free name; the next number
// to try for each taken name is remembered, so that thousands of files of one
// name do not probe from 2 again each time.
class FileCreator {
public:
    // The open descriptor, or -1 with the error number in error.
    int create(const fs::path& folder, const std::string& name, std::string& finalName, int& error) {
        fs::path key = folder / name;
        auto it = next_.find(key.native());
        uint64_t n = it == next_.end() ? 1 : it->second;
        for (;; ++n) {
            finalName = n == 1 ? name : numberedName(name, n, false);
            fs::path candidate = folder / finalName;
            int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                next_[key.native()] = n + 1;
                return fd;
            }
            if (errno == EINTR) {
                --n;
                continue;
            }
            if (errno != EEXIST) {
                error = errno;
                return -1;
            }
        }
    }

private:
    std::unordered_map<std::string, uint64_t> next_;
};

}  // namespace

std::string sanitize(const std::string& name) {
    std::string s = name;
    for (char& c : s) {
        if (c == '/') c = ':';
        else if (c == '\0') c = '_';
    }
    // Unicode white space and line breaks off both ends.
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    int32_t length = static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX));
    int32_t start = 0;
    while (start < length) {
        int32_t i = start;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = i;
    }
    int32_t end = length;
    while (end > start) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(bytes, start, i, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = i;
    }
    s = s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
    if (s.empty() || s == "." || s == "..") return "unavngivet";
    if (s.size() <= maxNameBytes) return s;

    // Cut at the last character (grapheme cluster) boundary within the limit.
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    UText* text = utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status);
    int32_t cut = 0;
    if (U_SUCCESS(status) && characters) {
        characters->setText(text, status);
        // The iterator moves an index inside a UTF-8 sequence back to the
        // sequence's start before it looks for the boundary before it, so the
        // limit is put on a sequence start first.
        size_t at = maxNameBytes;
        while (at > 0 && (static_cast<uint8_t>(s[at]) & 0xC0) == 0x80) --at;
        const int32_t limit = static_cast<int32_t>(at);
        if (U_SUCCESS(status)) cut = characters->isBoundary(limit) ? limit : characters->preceding(limit);
    }
    utext_close(text);
    if (!U_SUCCESS(status) || cut <= 0 || static_cast<size_t>(cut) > maxNameBytes) {
        // Without the break rules: the last whole UTF-8 sequence within the limit.
        size_t at = maxNameBytes;
        while (at > 0 && (static_cast<uint8_t>(s[at]) & 0xC0) == 0x80) --at;
        cut = static_cast<int32_t>(at);
    }
    s.resize(static_cast<size_t>(cut));
    return s.empty() ? "unavngivet" : s;
}

fs::path uniqueURL(const fs::path& location, bool isDirectory) {
    if (!somethingAt(location)) return location;
    const fs::path parent = location.parent_path();
    const std::string name = location.filename().string();
    for (uint64_t n = 2;; ++n) {
        fs::path candidate = parent / numberedName(name, n, isDirectory);
        if (!somethingAt(candidate)) return candidate;
    }
}

RecoveryResult recover(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSource& source,
                       const fs::path& destination, const RecoveryOptions& options, WorkProgress& reporter,
                       const std::function<void(const RecoveryProgress&)>& progress) {
    using Clock = std::chrono::steady_clock;
    RecoveryResult result;
    auto report = [&](const RecoveryProgress& p) {
        if (progress) progress(p);
    };

    // 1. The new folder.
    fs::path folder;
    if (int error = createRunFolder(destination, sanitize(rootName.empty() ? "Gendannet" : rootName), folder)) {
        result.failed = static_cast<int64_t>(nodes.size());
        result.failures.push_back("Kunne ikke oprette mappen " + folder.string() + ": " + errorText(error));
        return result;
    }
    result.folder = folder;

    // The report's name is taken first, so that a recovered file of the same
    // name gets a number instead of being overwritten by the report.
    int reportFD = -1;
    if (options.writeReport)
        reportFD = ::open((folder / reportName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);

    // 2. The job list; 3. totals.
    const std::vector<Job> jobs = makeJobs(nodes, options.keepFolderStructure);
    RecoveryProgress state;
    state.filesTotal = static_cast<int64_t>(jobs.size());
    for (auto& job : jobs) state.bytesTotal += job.node->size;
    report(state);
    std::string reportText = std::string(reportHeader) + "\n";
    auto lastReport = Clock::now();
    FileCreator creator;

    // 4. Each file.
    for (auto& job : jobs) {
        const FileNode& node = *job.node;
        if (reporter.isCancelled()) {
            result.cancelled = true;
            break;
        }
        state.currentFile = node.name;

        // Nothing is known of where the bytes of this file lie: an empty copy
        // of a file that is not empty would pass for a recovered one.
        if (std::holds_alternative<NoData>(node.data) && node.size > 0) {
            ++result.failed;
            result.failures.push_back(node.path() + ": " + errorText(ENODATA));
            continue;
        }

        fs::path targetFolder = job.folder.empty() ? folder : folder / job.folder;
        std::error_code ec;
        fs::create_directories(targetFolder, ec);
        if (ec) {
            ++result.failed;
            result.failures.push_back(node.path() + ": " + ec.message());
            // A full destination fails every later file alike: stop as a
            // full destination stops a write.
            if (isDestinationFull(ec.value())) {
                result.failures.push_back(destinationFullLine);
                break;
            }
            continue;
        }

        const std::string name = sanitize(node.name);
        std::string finalName;
        int createError = 0;
        int fd = creator.create(targetFolder, name, finalName, createError);
        if (fd < 0) {
            ++result.failed;
            result.failures.push_back(node.path() + ": kunne ikke oprette " + name);
            if (isDestinationFull(createError)) {
                result.failures.push_back(destinationFullLine);
                break;
            }
            continue;
        }
        const fs::path target = targetFolder / finalName;

        const bool cancellable = std::holds_alternative<std::vector<Extent>>(node.data) ||
                                 std::holds_alternative<CompressedRuns>(node.data);
        int writeError = 0;
        bool cutByCancel = false;
        uint64_t written = 0;
        const int64_t unreadable = FileReader::stream(
            node, source, FileReader::defaultChunkSize, std::nullopt, [&](const Bytes& piece) {
                if (int error = writeAll(fd, piece.data(), piece.size())) {
                    writeError = error;
                    return false;
                }
                written += piece.size();
                state.bytesDone += piece.size();
                auto now = Clock::now();
                if (now - lastReport > progressInterval) {
                    report(state);
                    lastReport = now;
                }
                if (cancellable && reporter.isCancelled()) {
                    cutByCancel = true;
                    return false;
                }
                return true;
            });
        // A close that fails can mean that buffered data never reached the
        // destination (network file systems report it there): it counts as a
        // write error, not as a finished file.
        if (::close(fd) != 0 && writeError == 0 && errno != EINTR) writeError = errno;

        if (writeError != 0) {
            ++result.failed;
            result.failures.push_back(node.path() + ": " + errorText(writeError));
            ::unlink(target.c_str());
            if (isDestinationFull(writeError)) {
                result.failures.push_back(destinationFullLine);
                break;
            }
            continue;
        }

        const std::string reportPath = joinPath(job.folder, finalName);
        if (cutByCancel && written < node.size) {
            // The part copied before the cancellation stays, but it is not the
            // file: it counts as failed and its row says so.
            ++result.failed;
            result.cancelled = true;
            result.failures.push_back(node.path() + ": afbrudt efter " + std::to_string(written) + " af " +
                                      std::to_string(node.size) + " bytes");
            report(state);
            if (options.writeReport)
                reportText += csv(reportPath) + ";" + std::to_string(written) + ";Afbrudt;" +
                              label(node.recoverability) + ";" + std::to_string(unreadable) + ";" +
                              csv(node.note.value_or("")) + "\n";
            continue;
        }

        if (options.restoreDates && node.modified) {
            // This platform keeps no settable creation date; the access time stays.
            timespec times[2];
            times[0].tv_sec = 0;
            times[0].tv_nsec = UTIME_OMIT;
            times[1] = toTimespec(*node.modified);
            ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
        const char* status;
        if (unreadable == 0) {
            ++result.recovered;
            status = "OK";
        } else {
            ++result.withErrors;
            status = "Ulæselige sektorer";
        }
        result.bytes += node.size;
        ++state.filesDone;
        report(state);
        if (options.writeReport)
            reportText += csv(reportPath) + ";" + std::to_string(node.size) + ";" + status + ";" +
                          label(node.recoverability) + ";" + std::to_string(unreadable) + ";" +
                          csv(node.note.value_or("")) + "\n";
    }

    // 5. The end.
    report(state);
    if (options.writeReport) {
        int error = 0;
        if (reportFD < 0) {
            reportFD = ::open((folder / reportName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (reportFD < 0) error = errno;
        }
        if (reportFD >= 0) {
            error = writeAll(reportFD, reinterpret_cast<const uint8_t*>(reportText.data()), reportText.size());
            if (::close(reportFD) != 0 && error == 0 && errno != EINTR) error = errno;
        }
        if (error != 0)
            result.failures.push_back(std::string("Rapporten ") + reportName + " kunne ikke skrives: " +
                                      errorText(error));
    }
    return result;
}

}  // namespace sovanta::RecoveryEngine
