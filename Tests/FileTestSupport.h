// Helpers for the file-reader and recovery tests: bytes that tell their
// positions apart, and the run lists of The Sleuth Kit's istat output.
#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "SovantaCore/Model.h"
#include "TestSupport.h"

namespace sovanta::test {

// Bytes whose every position can be told apart from its neighbours.
inline Bytes patternBytes(size_t count, uint32_t seed = 1) {
    Bytes out(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// The run list of an MFT entry's non-resident $DATA attribute as The Sleuth
// Kit's istat prints it: one cluster number per cluster, 0 for a sparse one
// (cluster 0 holds the boot sector, so no file's data lies there).
inline std::vector<CompressedRuns::Run> istatRuns(const std::string& tskPath, int entry) {
    std::ifstream in(tskPath);
    std::string line;
    std::string heading = "## istat ";
    bool inEntry = false, inData = false;
    std::vector<uint64_t> clusters;
    while (std::getline(in, line)) {
        if (line.rfind(heading, 0) == 0) {
            if (inData) break;
            std::stringstream ss(line.substr(heading.size()));
            std::string image;
            int number = -1;
            ss >> image >> number;
            inEntry = number == entry;
            continue;
        }
        if (!inEntry) continue;
        if (!inData) {
            inData = line.rfind("Type: $DATA", 0) == 0 && line.find("Non-Resident") != std::string::npos;
            continue;
        }
        if (line.empty()) break;
        std::stringstream ss(line);
        uint64_t c;
        while (ss >> c) clusters.push_back(c);
    }
    std::vector<CompressedRuns::Run> runs;
    for (uint64_t c : clusters) {
        std::optional<uint64_t> lcn = c == 0 ? std::nullopt : std::optional<uint64_t>(c);
        if (!runs.empty()) {
            auto& last = runs.back();
            bool follows = lcn ? (last.lcn && *last.lcn + last.clusters == *lcn) : !last.lcn;
            if (follows) {
                ++last.clusters;
                continue;
            }
        }
        runs.push_back({lcn, 1});
    }
    return runs;
}

// The rows of a recovery report (its header first) as a spreadsheet reads
// them: fields split at ";", rows ended by a line feed or a carriage return,
// all three kept inside quotes, where "" stands for a quote.
inline std::vector<std::vector<std::string>> reportTable(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c != '"') field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            row.push_back(std::move(field)), field.clear();
        } else if (c == '\n' || c == '\r') {
            row.push_back(std::move(field)), field.clear();
            rows.push_back(std::move(row)), row.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty() || !row.empty()) row.push_back(field), rows.push_back(row);
    return rows;
}

}  // namespace sovanta::test
