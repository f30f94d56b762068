// Heap accounting for a benchmark: every allocation of the process is counted,
// so the peak during one read is the reader's own working set. Include it in
// the benchmark's one source file only: it replaces the global operator new
// and delete.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <malloc.h>

namespace sovanta::bench {

inline std::atomic<int64_t> heapNow{0};
inline std::atomic<int64_t> heapPeak{0};

inline void noteAllocation(int64_t size) {
    int64_t now = heapNow.fetch_add(size) + size;
    int64_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}

// The heap in use now, with the peak restarted from it.
inline int64_t restartHeapPeak() {
    int64_t now = heapNow.load();
    heapPeak.store(now);
    return now;
}

}  // namespace sovanta::bench

void* operator new(size_t size) {
    void* p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    sovanta::bench::noteAllocation(static_cast<int64_t>(malloc_usable_size(p)));
    return p;
}
// GCC takes the free below for a mismatch with the operator new above, which it pairs with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    if (!p) return;
    sovanta::bench::heapNow.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, size_t) noexcept { operator delete(p); }
