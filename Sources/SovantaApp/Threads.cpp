#include "SovantaApp/Threads.h"

namespace sovanta::app {

QThreadPool& Background::previewQueue() {
    static QThreadPool* queue = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(2);
        return pool;
    }();
    return *queue;
}

}  // namespace sovanta::app
