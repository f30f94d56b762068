#include <gtest/gtest.h>

#include <QApplication>
#include <QThreadPool>

#include "SovantaApp/Preview.h"

int main(int argc, char** argv) {
    // Test discovery runs the program without CTest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    // Background work still ending, and objects it released, go before the application.
    QThreadPool::globalInstance()->waitForDone();
    sovanta::app::Background::previewQueue().waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
