// One libFuzzer program per target; SOVANTA_FUZZ_TARGET names it.
#include <cstdlib>
#include <cstring>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const sovanta::fuzz::Target* target = [] {
        for (auto& t : sovanta::fuzz::targets())
            if (t.name == SOVANTA_FUZZ_TARGET) return &t;
        std::abort();
    }();
    target->run(data, size);
    return 0;
}
