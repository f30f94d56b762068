// The application's window, menu commands and delegate: launch options, files
// handed over by the desktop, the window picture and the clean-up at the end.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <QMainWindow>
#include <QObject>
#include <QStringList>

#include "SovantaApp/Models/AppModel.h"

class QAction;
class QLabel;
class QProcessEnvironment;
class QSocketNotifier;

namespace sovanta::app {

class ContentView;

// What the launch options ask for.
struct LaunchOptions {
    // The first --open's value.
    std::optional<std::string> open;
    // The first --tab's value when it names a tab ("overview", "files",
    // "sectors"); read only together with a path to open.
    std::optional<SessionTab> tab;
    // The other arguments that are no options: files handed over by the
    // desktop (a .desktop file's %F).
    std::vector<std::string> files;

    bool operator==(const LaunchOptions&) const = default;
};

// Names the application, loads Qt's own Danish texts, and sets the look and
// the window icon: what the program does before it makes its window.
void prepareApplication();

// Reads the full argument list, the program path first.
LaunchOptions parseLaunchOptions(const QStringList& arguments);

// What the environment asks of the window picture.
struct SnapshotRequest {
    std::string path;
    double delay = 5;  // seconds
    bool keep = false;
};

// SOVANTA_SNAPSHOT, SOVANTA_SNAPSHOT_DELAY (5 when absent, empty or no
// number) and SOVANTA_SNAPSHOT_KEEP (present with any value); none without a path.
std::optional<SnapshotRequest> snapshotRequest(const QProcessEnvironment& environment);

// Writes the first visible window, menu bar and toolbar included, as PNG;
// whether a picture was written.
bool writeWindowPicture(const std::string& path);

// The application's window over the shared model: the sidebar and detail
// page, the toolbar with "Opdater" and the page's title, and the menu commands.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ContentView* content() const { return content_; }
    QAction* openImageAction() const { return openImage_; }
    QAction* refreshListAction() const { return refreshList_; }
    QAction* refreshAction() const { return refresh_; }
    QString pageTitle() const;

private:
    ContentView* content_;
    QAction* openImage_;
    QAction* refreshList_;
    QAction* refresh_;
    QLabel* title_;
};

// SIGTERM and SIGINT as events of the event loop: the handler only writes the
// signal's number into a pipe whose reading end the loop watches. Each
// handler is taken back by the system when it has run once, so a second
// signal ends the program at once, as it would have without this. One at a
// time; its end puts back the handlers it found.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};

// Connects the application to the desktop.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppModel& model, QObject* parent = nullptr);

    // Brings the window forward, opens what the launch options and the desktop
    // hand over, then schedules the window picture when the environment asks.
    void applicationDidFinishLaunching(const QStringList& arguments, const QProcessEnvironment& environment);
    // Opens files handed over by the desktop, in order, as disk images.
    void open(const std::vector<std::string>& files);
    // Removes the temporary preview folder.
    void applicationWillTerminate();
    // From now on SIGTERM and SIGINT end the program in order: the model's
    // work is stopped and its sources closed, then quit is called with
    // 128 + the signal's number (by default it ends the event loop with it).
    void handleTerminationSignals(std::function<void(int status)> quit = nullptr);

protected:
    // The desktop's file-open events.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void scheduleSnapshotIfRequested(const QProcessEnvironment& environment);
    void openNext();
    // Queues one file, with the tab its session opens on.
    void enqueue(const std::string& file, std::optional<SessionTab> tab);
    AppModel& model_;
    // Files handed over (and the launch option's) not yet opened.
    std::deque<std::pair<std::string, std::optional<SessionTab>>> pending_;
};

}  // namespace sovanta::app
