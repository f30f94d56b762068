// Assignment of an observed member: on the GUI thread only, and a signal only
// on a real change (types without equality always signal).
#pragma once

#include <concepts>
#include <utility>

#include "SovantaApp/Threads.h"

namespace sovanta::app {

template <class Object, class T, class V>
void assignObserved(Object* object, T& member, V&& value, void (Object::*changed)()) {
    assertMainThread();
    if constexpr (std::equality_comparable<T>) {
        if (member == value) return;
    }
    member = std::forward<V>(value);
    emit(object->*changed)();
}

}  // namespace sovanta::app
