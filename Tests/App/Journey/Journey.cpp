// A person's journey through the real program: the window that main makes,
// driven through its own widgets under a display server, step after step,
// with a picture of the window after each step. Exits 0 when every step
// held, 1 at the first that did not, naming it.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProcessEnvironment>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>

#include "SovantaApp/ContentView.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/SovantaApp.h"

namespace fs = std::filesystem;
using namespace sovanta;
using namespace sovanta::app;

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void require(bool condition, const std::string& what) {
    if (!condition) throw Failure(what);
}

// Processes events until done() holds; fails the step after the bound.
void waitFor(const std::function<bool()>& done, const std::string& what,
             std::chrono::seconds bound = std::chrono::seconds(120)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) throw Failure("timed out waiting for " + what);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

void settle(int milliseconds = 300) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

template <class T>
T* findVisible(QWidget* root) {
    for (T* widget : root->findChildren<T*>())
        if (widget->isVisible()) return widget;
    return nullptr;
}

class Journey {
public:
    Journey(MainWindow& window, AppModel& model, fs::path pictures, fs::path image, fs::path manifest)
        : window_(window), model_(model), pictures_(std::move(pictures)), image_(std::move(image)),
          manifest_(std::move(manifest)) {}

    int run() {
        std::vector<std::pair<std::string, std::function<void()>>> steps = {
            {"start", [this] { startPage(); }},
            {"open", [this] { openImage(); }},
        };
        int number = 0;
        for (auto& [name, step] : steps) {
            ++number;
            std::string label = (number < 10 ? "0" : "") + std::to_string(number) + "-" + name;
            try {
                step();
                settle();
                picture(label);
                std::printf("ok   %s\n", label.c_str());
            } catch (const std::exception& error) {
                picture(label + "-failed");
                std::printf("FAIL %s: %s\n", label.c_str(), error.what());
                return 1;
            }
        }
        return 0;
    }

private:
    // The window, and any sheet over it, as PNG files.
    void picture(const std::string& label) {
        window_.grab().save(QString::fromStdString((pictures_ / (label + ".png")).string()));
        if (QWidget* sheet = QApplication::activeModalWidget(); sheet && sheet != &window_)
            sheet->grab().save(QString::fromStdString((pictures_ / (label + "-sheet.png")).string()));
    }

    SessionPtr session() const {
        require(!model_.sessions().empty(), "a session is open");
        return model_.sessions().back();
    }

    void startPage() {
        waitFor([this] { return window_.isVisible() && window_.content()->page(); }, "the window");
        require(window_.content()->pageKey() == "welcome", "the start page is shown first");
    }

    // Through the open panel, as the user would: the menu command, the panel
    // answered with the image's path.
    void openImage() {
        std::string path = image_.string();
        Panels::openFile = [path](const Panels::OpenFile&) { return std::optional<std::string>(path); };
        window_.openImageAction()->trigger();
        waitFor([this] { return !model_.sessions().empty(); }, "the session");
        waitFor([this] { return std::holds_alternative<phase::Finished>(session()->quick()); }, "the quick scan");
        require(window_.content()->pageKey() == "session:" + session()->id.string(), "the session's page is shown");
    }

    MainWindow& window_;
    AppModel& model_;
    fs::path pictures_;
    fs::path image_;
    fs::path manifest_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE MANIFEST PICTURE-FOLDER\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    prepareApplication();
    fs::path pictures = argv[3];
    fs::create_directories(pictures);
    int status = 1;
    {
        auto& model = AppModel::shared();
        MainWindow window(model);
        AppDelegate delegate(model);
        window.show();
        delegate.applicationDidFinishLaunching(QStringList{QApplication::applicationFilePath()},
                                               QProcessEnvironment::systemEnvironment());
        Journey journey(window, model, pictures, argv[1], argv[2]);
        QTimer::singleShot(0, &app, [&] {
            status = journey.run();
            QApplication::quit();
        });
        QApplication::exec();
        delegate.applicationWillTerminate();
    }
    QThreadPool::globalInstance()->waitForDone();
    Background::previewQueue().waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
