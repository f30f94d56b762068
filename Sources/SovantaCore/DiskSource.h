// The one read path to a disk device or an image file, its opener, and the
// runner of system tools.
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "SovantaCore/Model.h"

namespace sovanta {

enum class ReadMode { thorough, fast };

// A half-open range of byte offsets.
struct ByteRange {
    uint64_t lower = 0;
    uint64_t upper = 0;
    bool isEmpty() const { return upper <= lower; }
    bool operator==(const ByteRange&) const = default;
};

// A stretch of byte offsets whose device reads fail with errorNumber, as if
// the device had reported it: EIO for sectors that do not read; ENOTCONN,
// ENODEV and their like for a source that has gone away.
struct SimulatedBadRange {
    uint64_t lower = 0;
    uint64_t upper = 0;
    int errorNumber = EIO;
};

// How a source is opened, fixed for its life.
struct SourceOptions {
    // Damage to simulate (tests, and SOVANTA_SIMULATE_BAD of the tool and the application).
    std::vector<SimulatedBadRange> simulatedBadRanges;
    // Called before each read of the file or device, under the source's lock,
    // with the read's offset and length: tests hold a read with it.
    std::function<void(uint64_t offset, int64_t length)> beforeRead;

    // The options that SOVANTA_SIMULATE_BAD asks for: its ranges fail with
    // EIO; none when it is not set.
    static SourceOptions fromEnvironment();
};

// The ranges of SOVANTA_SIMULATE_BAD: comma-separated "start-end" pairs of
// decimal byte offsets, half-open; a piece that is not two numbers with the
// first below the second adds nothing.
std::vector<ByteRange> parseSimulatedBadRanges(const std::string& value);

// The one error that opening a source throws.
class SourceError : public std::exception {
public:
    enum class Kind { openFailed, authorizationFailed, notFound, attachFailed };

    static SourceError openFailed(std::string path, int errorNumber);
    static SourceError authorizationFailed(std::string path);
    static SourceError notFound(std::string path);
    static SourceError attachFailed(std::string message);

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }  // the path, or the attach message
    int errorNumber() const { return errorNumber_; }
    // The Danish description shown to the user.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    SourceError(Kind kind, std::string text, int errorNumber);
    Kind kind_;
    std::string text_;
    int errorNumber_;
    std::string description_;
};

class DiskSource : public std::enable_shared_from_this<DiskSource> {
public:
    struct ReadResult {
        Bytes data;
        int64_t badBytes = 0;
    };

    // Made only by SourceOpener (and by tests over ordinary files).
    DiskSource(int fd, std::string path, std::string displayName, uint64_t size, int64_t sectorSize,
               bool isDevice, std::optional<std::string> bsdName, std::function<void()> cleanup,
               SourceOptions options = {});
    ~DiskSource();
    DiskSource(const DiskSource&) = delete;
    DiskSource& operator=(const DiskSource&) = delete;

    const std::string path;
    const std::string displayName;
    const uint64_t size;
    const int64_t sectorSize;
    const bool isDevice;
    const std::optional<std::string> bsdName;

    // Exactly length bytes: unreadable bytes and bytes past the end come back
    // as zeros, only the former counted.
    ReadResult readReporting(uint64_t offset, int64_t length, ReadMode mode = ReadMode::thorough);
    Bytes read(uint64_t offset, int64_t length, ReadMode mode = ReadMode::thorough);
    // One raw read straight into the caller's buffer (no cache); returns the
    // unreadable-byte count. A closed source zero-fills and returns length.
    int64_t readInto(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode = ReadMode::fast);
    // The all-or-nothing read for the imager. On failure errorNumber (when
    // given) receives the error number of the failed read (a simulated bad
    // range's own); a closed source fails with ENXIO.
    bool tryRead(uint64_t offset, int64_t length, uint8_t* into, int* errorNumber = nullptr);

    void markBad(uint64_t sector);
    bool isKnownBad(uint64_t sector) const;
    int64_t badSectorCount() const;
    std::vector<uint64_t> badSectors() const;
    int64_t readErrorCount() const;
    // The sectors known to be unreadable: the bad sectors, and every sector of
    // the blocks that a fast read gave up, each counted once.
    int64_t unreadableSectorCount() const;
    uint64_t bytesRead() const;
    uint64_t sectorCount() const { return size / static_cast<uint64_t>(sectorSize); }
    bool isClosed() const;
    // Whether the source has gone away: it was closed, or a read failed with
    // an error that says the device itself is gone (unplugged, medium out,
    // the process serving its file system dead).
    bool hasVanished() const;
    // The error numbers that say so, as opposed to a sector that does not read.
    static bool isVanishedError(int errorNumber);
    // When a read found the source ending before the size it had at opening
    // (an image file truncated, a device that shrank): the lowest offset at
    // which it ended. Such a read fails as if the source had gone (ENXIO),
    // and the source counts as vanished.
    std::optional<uint64_t> shrunkTo() const;

    void close();

private:
    struct Chunk {
        const Bytes* bytes;
        bool hadUnreadable;
        Bytes uncached;  // holds a chunk that is never cached (unreadable bytes in fast mode, or a source gone)
        uint64_t goneFrom = UINT64_MAX;  // the offset from which the source was gone, if it went while read
    };
    // goneFrom, when given, is lowered to the offset from which the source
    // turned out to be gone.
    int64_t rawRead(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode, uint64_t* goneFrom = nullptr);
    int64_t recoverRead(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode, uint64_t* goneFrom);
    // The rest of a read once the source has gone: zeros, all of them that
    // lie before the size at opening counted unreadable.
    int64_t gone(uint64_t offset, int64_t length, uint8_t* buffer, uint64_t* goneFrom);
    // The pread loop: reads until done (the rest past the end zeroed) or until an
    // error; 0 or the error number, with position, remaining and out left where
    // it stopped. The end of the file before size is ENXIO: the source was cut
    // short.
    int readLoop(uint64_t& position, int64_t& remaining, uint8_t*& out);
    // pread loop without recovery: 0 on success (rest past the end zeroed), else the error number.
    int exactRead(uint64_t offset, int64_t length, uint8_t* buffer);
    // The error number of the simulated bad range that a read of
    // [lower, upper) meets first, or 0.
    int simulatedError(uint64_t lower, uint64_t upper) const;
    void cachedChunk(uint64_t index, ReadMode mode, Chunk& out);
    bool chunkHasBadSector(uint64_t index) const;
    void closeLocked();

    const int fd_;
    const std::vector<SimulatedBadRange> simulatedBadRanges_;
    const std::function<void(uint64_t, int64_t)> beforeRead_;
    mutable std::mutex lock_;
    bool closed_ = false;
    bool vanished_ = false;
    std::optional<uint64_t> shrunkTo_;
    std::function<void()> cleanup_;
    static constexpr int64_t chunkSize = 131072;
    static constexpr size_t maxCacheChunks = 160;
    std::unordered_map<uint64_t, Bytes> cache_;
    std::vector<uint64_t> cacheOrder_;
    std::set<uint64_t> badSectorSet_;
    std::set<uint64_t> suspectBlocks_;
    int64_t readErrors_ = 0;
    uint64_t bytesRead_ = 0;
};

using DiskSourcePtr = std::shared_ptr<DiskSource>;

namespace SourceOpener {
// Opens "/dev/" + the kernel name read-only (on macOS "/dev/r" + the BSD name),
// asking the privileged open helper when permission is refused.
DiskSourcePtr openDevice(const std::string& bsdName, const std::string& displayName,
                         const SourceOptions& options = {});
// Opens an image file byte for byte, or attaches an Apple disk image read-only.
DiskSourcePtr openImage(const std::string& path, const SourceOptions& options = {});
// Whether an operand names a block device of this machine (a kernel name
// listed in /sys/class/block, such as sdb, nvme0n1 or loop3).
bool isBlockDeviceName(const std::string& name);
}  // namespace SourceOpener

namespace Shell {
struct Result {
    int32_t status = -1;
    Bytes stdoutBytes;
    Bytes stderrBytes;
};
// Runs a tool with captured output; never throws. Status -1 when it could not start.
Result run(const std::string& executable, const std::vector<std::string>& arguments);
}  // namespace Shell

// Where the system tools and our stand-ins for them live.
namespace Platform {
// "/dev/" on Linux ("/dev/r" on macOS), followed by the device name.
std::string rawDevicePrefix();
// The path of a tool: the stand-in beside the running executable (or in the
// build tree) on Linux; the system's own path on macOS.
std::string toolPath(const std::string& macPath);
inline constexpr const char* authopenPath = "/usr/libexec/authopen";
inline constexpr const char* hdiutilPath = "/usr/bin/hdiutil";
inline constexpr const char* diskutilPath = "/usr/sbin/diskutil";
}  // namespace Platform

}  // namespace sovanta
