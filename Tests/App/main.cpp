#include <gtest/gtest.h>

#include <QString>
#include <QThreadPool>
#ifdef SOVANTA_APP_MODELS_ONLY
// The models' tests alone (the ThreadSanitizer build) need no widgets.
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#else
#include <QApplication>
using TestApplication = QApplication;
#endif

#include "SovantaApp/Preview.h"
#include "SovantaApp/Threads.h"

namespace {

QtMessageHandler qtHandler = nullptr;

// A painter that Qt refuses (two painters on one device, as nested graphics
// effects make) draws nothing: any test that meets one fails.
void failOnPainterWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("QPainter::begin")) || message.contains(QStringLiteral("Painter not active")))
        ADD_FAILURE() << "Qt warned: " << message.toStdString();
    if (qtHandler) qtHandler(type, context, message);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The leak check reads the suppressions of the libraries the window loads, as
// the runs of the real program do.
extern "C" const char* __lsan_default_options() { return "suppressions=" SOVANTA_APP_LEAK_SUPPRESSIONS; }
#endif

int main(int argc, char** argv) {
    qtHandler = qInstallMessageHandler(failOnPainterWarnings);
    // Test discovery runs the program without CTest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    // Background work still ending, and objects it released, go before the application.
    sovanta::app::backgroundPool().waitForDone();
    QThreadPool::globalInstance()->waitForDone();
    sovanta::app::Background::previewQueue().waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
