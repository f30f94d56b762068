#include "SovantaApp/Models/SessionTab.h"

namespace sovanta::app {

const std::vector<SessionTab>& allSessionTabs() {
    static const std::vector<SessionTab> tabs = {SessionTab::overview, SessionTab::files, SessionTab::sectors};
    return tabs;
}

std::string text(SessionTab tab) {
    switch (tab) {
    case SessionTab::overview: return "Oversigt";
    case SessionTab::files: return "Filer";
    case SessionTab::sectors: return "Sektorer";
    }
    return {};
}

std::string caseName(SessionTab tab) {
    switch (tab) {
    case SessionTab::overview: return "overview";
    case SessionTab::files: return "files";
    case SessionTab::sectors: return "sectors";
    }
    return {};
}

std::optional<SessionTab> sessionTabFromText(const std::string& value) {
    for (auto tab : allSessionTabs())
        if (text(tab) == value) return tab;
    return std::nullopt;
}

}  // namespace sovanta::app
