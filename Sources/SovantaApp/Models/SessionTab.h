// The tabs of the session page, by their texts and by the launch option's names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QMetaType>

namespace sovanta::app {

// The tabs of the session page.
enum class SessionTab { overview, files, sectors };
const std::vector<SessionTab>& allSessionTabs();
// "Oversigt", "Filer", "Sektorer".
std::string text(SessionTab tab);
// "overview", "files", "sectors": what the launch option for the tab matches.
std::string caseName(SessionTab tab);
// Only from one of the three texts exactly.
std::optional<SessionTab> sessionTabFromText(const std::string& text);

}  // namespace sovanta::app

Q_DECLARE_METATYPE(sovanta::app::SessionTab)
