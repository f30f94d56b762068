// What the sidebar has selected: a disk, a session, an imaging job or the start page.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "SovantaCore/Model.h"

namespace sovanta::app {

namespace sidebar {
struct Disk {
    std::string bsdName;
    bool operator==(const Disk&) const = default;
};
struct Session {
    Uuid id;
    bool operator==(const Session&) const = default;
};
struct Imaging {
    Uuid id;
    bool operator==(const Imaging&) const = default;
};
struct Welcome {
    bool operator==(const Welcome&) const = default;
};
}  // namespace sidebar

using SidebarItem = std::variant<sidebar::Disk, sidebar::Session, sidebar::Imaging, sidebar::Welcome>;

}  // namespace sovanta::app

template <>
struct std::hash<sovanta::app::sidebar::Disk> {
    size_t operator()(const sovanta::app::sidebar::Disk& item) const noexcept {
        return std::hash<std::string>{}(item.bsdName);
    }
};
template <>
struct std::hash<sovanta::app::sidebar::Session> {
    size_t operator()(const sovanta::app::sidebar::Session& item) const noexcept {
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(item.id.bytes.data()), item.id.bytes.size()));
    }
};
template <>
struct std::hash<sovanta::app::sidebar::Imaging> {
    size_t operator()(const sovanta::app::sidebar::Imaging& item) const noexcept {
        return std::hash<sovanta::app::sidebar::Session>{}({item.id});
    }
};
template <>
struct std::hash<sovanta::app::sidebar::Welcome> {
    size_t operator()(const sovanta::app::sidebar::Welcome&) const noexcept { return 0; }
};
