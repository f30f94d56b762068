// The disk list as the disk tool's recorded answers give it: the USB disk
// disk4 (media errors: warning), the disk image disk5 (no S.M.A.R.T.:
// unknown) and the internal boot disk disk0 (good).
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SovantaCore/DiskList.h"
#include "SovantaCore/DiskSource.h"

namespace sovanta::test {

inline Bytes recordedAnswer(const std::string& name) {
    std::ifstream in(std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/disklist/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<DiskInfo> recordedDisks() {
    return DiskList::load([](const std::vector<std::string>& args) {
        Shell::Result result;
        Bytes answer;
        if (args == std::vector<std::string>{"list", "-plist"})
            answer = recordedAnswer("list.plist");
        else if (args.size() == 3 && args[0] == "info")
            answer = recordedAnswer("info-" + args[2] + ".plist");
        result.status = answer.empty() ? 1 : 0;
        result.stdoutBytes = answer;
        return result;
    });
}

}  // namespace sovanta::test
