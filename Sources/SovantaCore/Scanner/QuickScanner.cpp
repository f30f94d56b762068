#include "SovantaCore/Scanner.h"

namespace sovanta::QuickScanner {

QuickScanResult run(DiskSource& source, WorkProgress& progress) {
    progress.report(0, "Læser partitionstabel …");
    QuickScanResult result;
    result.layout = PartitionTable::read(source);
    result.notes = result.layout.notes;
    const auto& entries = result.layout.entries;
    const double n = static_cast<double>(std::max<size_t>(entries.size(), 1));

    for (size_t i = 0; i < entries.size(); ++i) {
        if (progress.isCancelled()) break;
        const auto& entry = entries[i];
        if (!entry.detected) continue;
        const std::string type = rawValue(*entry.detected);
        const std::string label = entry.name.empty() ? "partition " + std::to_string(entry.index) : entry.name;
        const double position = static_cast<double>(i);
        progress.report(position / n, "Læser " + type + " på " + label + " …");

        // The reader gets its own progress object: its fractions map into this
        // entry's slice, and nothing cancels it, so it reads its volume to the end.
        WorkProgress step([&progress, position, n](double f, const std::string& message) {
            progress.report((position + f) / n, message);
        });
        auto volumes = VolumeLoader::load(source, *entry.detected, entry.offset, origin::partitionTable, &step);
        if (volumes.empty()) {
            result.notes.push_back(type + "-filsystemet på " + label + " kunne ikke læses. Prøv dyb scanning.");
            // No reader of ours takes ext; say so rather than leave the user waiting for one.
            if (*entry.detected == FileSystemType::ext)
                result.notes.push_back("ext-filsystemer understøttes kun via dyb scanning.");
        }
        result.volumes.insert(result.volumes.end(), volumes.begin(), volumes.end());
    }
    progress.report(1, "Færdig");
    return result;
}

}  // namespace sovanta::QuickScanner
