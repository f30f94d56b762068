// The totals of one volume's tree, as the session counts them for its pages.
#pragma once

#include <cstdint>

namespace sovanta::app {

// The totals of one volume's tree.
struct VolumeStats {
    int64_t files = 0;
    int64_t folders = 0;  // the root not counted
    uint64_t bytes = 0;
    int64_t deleted = 0;  // files whose status is not existing
    bool operator==(const VolumeStats&) const = default;
};

}  // namespace sovanta::app
