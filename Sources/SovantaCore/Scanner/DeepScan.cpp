// The deep scan as the front ends run it: the sweep, then the volumes, folders
// and carved files built from its finds.
#include "SovantaCore/Scanner.h"

namespace sovanta {

DeepScanOutcome DeepScanner::scan(const std::vector<VolumePtr>& known, WorkProgress& reporter,
                                  const std::function<void(const DeepScanStats&)>& onUpdate,
                                  const std::function<void(const DeepScanResult&)>& onSwept) {
    DeepScanOutcome outcome;
    outcome.result = run(reporter, onUpdate);
    if (onSwept) onSwept(outcome.result);
    // A stop ends the sweep, not what the swept part gave: the volumes and
    // folders are built from every find so far, with their progress passed
    // on to the reporter but no cancel of its own.
    WorkProgress building([&reporter](double fraction, const std::string& message) { reporter.report(fraction, message); });
    outcome.volumes = buildVolumes(*src_, outcome.result, known, building);
    std::vector<VolumePtr> all = known;
    all.insert(all.end(), outcome.volumes.begin(), outcome.volumes.end());
    outcome.folders = extraFolders(*src_, all, outcome.result, building);
    if (!outcome.result.carved.empty()) outcome.carved = carvedVolume(outcome.result.carved);
    return outcome;
}

}  // namespace sovanta
