// The phase of a session's background task (its quick scan, its deep scan),
// which the session shares with the views.
#pragma once

#include <optional>
#include <string>
#include <variant>

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

}  // namespace sovanta::app

Q_DECLARE_METATYPE(sovanta::app::TaskPhase)
