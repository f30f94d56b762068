// The small value types the session and the jobs share with the views.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <QMetaType>

namespace sovanta::app {

namespace phase {
struct Running {
    std::optional<double> fraction;  // none: indeterminate
    std::string message;
    bool operator==(const Running&) const = default;
};
struct Failed {
    std::string message;
    bool operator==(const Failed&) const = default;
};
struct Idle {
    bool operator==(const Idle&) const = default;
};
struct Finished {
    bool operator==(const Finished&) const = default;
};
struct Cancelled {
    bool operator==(const Cancelled&) const = default;
};
}  // namespace phase

// The state of a background task.
using TaskPhase = std::variant<phase::Running, phase::Failed, phase::Idle, phase::Finished, phase::Cancelled>;

inline bool isRunning(const TaskPhase& p) { return std::holds_alternative<phase::Running>(p); }

// The tabs of the session page.
enum class SessionTab { overview, files, sectors };
const std::vector<SessionTab>& allSessionTabs();
// "Oversigt", "Filer", "Sektorer".
std::string text(SessionTab tab);
// "overview", "files", "sectors": what the launch option for the tab matches.
std::string caseName(SessionTab tab);
// Only from one of the three texts exactly.
std::optional<SessionTab> sessionTabFromText(const std::string& text);

// The totals of one volume's tree.
struct VolumeStats {
    int64_t files = 0;
    int64_t folders = 0;  // the root not counted
    uint64_t bytes = 0;
    int64_t deleted = 0;  // files whose status is not existing
    bool operator==(const VolumeStats&) const = default;
};

}  // namespace sovanta::app

Q_DECLARE_METATYPE(sovanta::app::TaskPhase)
Q_DECLARE_METATYPE(sovanta::app::SessionTab)
