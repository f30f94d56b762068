#include <gtest/gtest.h>

#include <filesystem>

#include "FuzzTargets.h"
#include "TestSupport.h"

using namespace sovanta;
namespace fs = std::filesystem;

// Every input the fuzzers ever kept (crashes, hangs, the corpora) runs again
// through its target on every test run.
TEST(FuzzReplay, EveryKeptInputRunsClean) {
    size_t replayed = 0;
    for (auto& target : fuzz::targets()) {
        for (const char* kind : {"regressions", "corpus"}) {
            fs::path dir = fs::path(SOVANTA_FUZZ_DIR) / kind / target.name;
            std::error_code ec;
            if (!fs::is_directory(dir, ec)) continue;
            for (auto& entry : fs::directory_iterator(dir)) {
                if (!entry.is_regular_file()) continue;
                std::string bytes = test::readText(entry.path().string());
                SCOPED_TRACE(entry.path().string());
                target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                ++replayed;
            }
        }
    }
    RecordProperty("replayed", static_cast<int>(replayed));
}
