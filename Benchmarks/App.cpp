// The application's figures, in one run, each measured in a process of its own:
//   start-up   from the process's start to its window being exposed, the window
//              built as the program builds it, beside a bare Qt window shown the
//              same way;
//   session    opening and quick-scanning a large volume in the window until the
//              file browser lists the volume's root, with the lateness of a 10 ms
//              timer on the GUI thread (how long the thread was kept from it),
//              and the resident memory before, after and at its peak, beside
//              `sovanta-cli scan` of the same image;
//   recovery   then "Gendan alle" of the volume's root: the sheet opened and
//              started at once, to the copy's first file in the destination,
//              with the GUI thread's lateness and longest event from the click,
//              beside the plan made on the GUI thread as it once was;
//   merge      then a deep scan of the session while the browser lists the
//              root, to its merge into the session's trees, with the same;
//   plan       the recovery plan of the volume's files: its heap per file,
//              beside the plan as it held each file before (every field
//              copied), measured by bench-RecoveryPlan, which counts its heap.
//   previews   selecting, in a browser session, files whose previews are
//              heavy (a 1 MiB text file of zeros, 30 MB of text on one line, a
//              35 MB and a 200 MB damaged PDF, the last through "Vis
//              forhåndsvisning"), each until its preview is shown: the GUI
//              thread's worst lateness and its longest event. The benchmark
//              makes these files, on a FAT32 image of its own (mkfs.fat, mcopy).
// Needs a display (run it under xvfb-run: Benchmarks/app-figures does). The
// image comes from scripts/make-ntfs-bench-image.sh.
//   bench-App [--runs N] [--previews | --only recovery|merge|plan] [IMAGE]
//   (default IMAGE /tmp/sovanta-bench/ntfs-100k.img; --previews measures the
//   previews only, --only one of the three others)
// While the session runs, every event that keeps the GUI thread longer than
// 20 ms is written to standard error: what was handled, how much of that time
// the thread spent working (the rest it waited for a processor or the display
// server), and inside it, by when they began, the events of 3 ms or more (a
// widget's paint) and the model's and the session's signals.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <filesystem>
#include <fstream>
#include <random>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMainWindow>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>
#include <QWindow>

#include "BenchSupport.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/QuickLookView.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaApp/SovantaApp.h"
#include "SovantaApp/Threads.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::app;

namespace {

using Clock = std::chrono::steady_clock;

// steady_clock is CLOCK_MONOTONIC: one time line for every process of the machine.
int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }
// The calling thread's processor time: what it spent working, not waiting for a processor.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}
// The calling thread's waits (it gave up the processor: a lock, a read, a
// page brought in from disk), preemptions and page faults that needed a read.
struct ThreadCounts {
    long waits = 0, preemptions = 0, faults = 0;
    static ThreadCounts now() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return {usage.ru_nvcsw, usage.ru_nivcsw, usage.ru_majflt};
    }
    ThreadCounts operator-(const ThreadCounts& o) const {
        return {waits - o.waits, preemptions - o.preemptions, faults - o.faults};
    }
};
double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// MARK: Child: start-up

// Calls done once, after the window's first expose has been handled (the
// window painted), from the event loop.
class ExposeWatch : public QObject {
public:
    ExposeWatch(QWidget& window, std::function<void()> done) : window_(window), done_(std::move(done)) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!fired_ && event->type() == QEvent::Expose && watched == window_.windowHandle() &&
            window_.windowHandle()->isExposed()) {
            fired_ = true;
            QMetaObject::invokeMethod(this, done_, Qt::QueuedConnection);
        }
        return false;
    }

private:
    QWidget& window_;
    std::function<void()> done_;
    bool fired_ = false;
};

void reportExposed() {
    std::printf("exposed %lld\n", static_cast<long long>(nowNs()));
    std::fflush(stdout);
    QApplication::quit();
}

// As the program's main does it.
int startApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    prepareApplication();
    auto& model = AppModel::shared();
    MainWindow window(model);
    AppDelegate delegate(model);
    ExposeWatch watch(window, reportExposed);
    window.show();
    delegate.applicationDidFinishLaunching(QStringList{QApplication::applicationFilePath()},
                                           QProcessEnvironment::systemEnvironment());
    return QApplication::exec();
}

// The reference: an empty window of the same size.
int startBare(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(1440, 900);
    ExposeWatch watch(window, reportExposed);
    window.show();
    return QApplication::exec();
}

// MARK: Child: session

// Times every event the GUI thread handles at the top level and keeps a line
// for those that take long, with what happened inside them.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!logging) return QApplication::notify(receiver, event);
        // Named after the event only when it took long; the receiver may be
        // gone by then (a deferred delete), so what names it is taken now.
        const Target target{event->type(), receiver->metaObject()->className(), receiver->objectName(),
                            receiver->parent() ? receiver->parent()->metaObject()->className() : nullptr};
        const auto start = Clock::now();
        if (depth_ > 0) {
            // Inside a top-level event: events that take a while are named (a
            // widget's paint, a layout request).
            ++depth_;
            const bool handled = QApplication::notify(receiver, event);
            --depth_;
            const double ms = msSince(start);
            if (ms >= 3)
                parts_.emplace_back(std::to_string(static_cast<int>(ms)) + " ms " + target.text(),
                                    std::chrono::duration<double, std::milli>(start - eventStart_).count());
            return handled;
        }
        ++depth_;
        parts_.clear();
        eventStart_ = start;
        const double cpuStart = threadCpuMs();
        const ThreadCounts countsStart = ThreadCounts::now();
        const bool handled = QApplication::notify(receiver, event);
        const double ms = msSince(start);
        const double cpu = threadCpuMs() - cpuStart;
        const ThreadCounts counts = ThreadCounts::now() - countsStart;
        --depth_;
        busiest = std::max(busiest, cpu);
        if (ms > 20) {
            std::string line = "  " + std::to_string(static_cast<int>(ms)) + " ms (" + std::to_string(static_cast<int>(cpu)) +
                               " ms working, " + std::to_string(counts.waits) + " waits, " +
                               std::to_string(counts.preemptions) + " preemptions, " + std::to_string(counts.faults) +
                               " faults read) in " + target.text() + ", at " +
                               std::to_string(static_cast<int>(std::chrono::duration<double, std::milli>(start - since).count())) +
                               " ms";
            std::stable_sort(parts_.begin(), parts_.end(), [](auto& a, auto& b) { return a.second < b.second; });
            for (const auto& [name, at] : parts_) line += "\n      " + std::to_string(static_cast<int>(at)) + " ms: " + name;
            slow.push_back(line);
        }
        return handled;
    }

    // Notes a signal sent while an event is handled.
    void noteSignal(std::string name) {
        if (depth_ > 0) parts_.emplace_back(std::move(name), msSince(eventStart_));
    }

    bool logging = false;
    Clock::time_point since;  // the opening's start
    double busiest = 0;       // the most processor time one event took, ms
    std::vector<std::string> slow;

private:
    struct Target {
        QEvent::Type type;
        const char* className;
        QString objectName;
        const char* parentClassName;

        std::string text() const {
            static const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
            const char* typeName = types.valueToKey(type);
            std::string result = std::string(typeName ? typeName : "event") + " to " + className;
            if (!objectName.isEmpty()) result += " \"" + objectName.toStdString() + "\"";
            if (parentClassName) result += std::string(" in ") + parentClassName;
            return result;
        }
    };

    int depth_ = 0;
    Clock::time_point eventStart_;
    // What happened inside the current top-level event, with when it began.
    std::vector<std::pair<std::string, double>> parts_;
};

// Hears every signal of an object and hands its name to the application's log.
class SignalNames : public QObject {
    Q_OBJECT
public:
    SignalNames(TimedApplication& app, QObject* parent) : QObject(parent), app_(app) {}

    void listen(QObject* sender) {
        if (std::find(heard_.begin(), heard_.end(), sender) != heard_.end()) return;
        heard_.push_back(sender);
        const QMetaObject* meta = sender->metaObject();
        const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("heard()"));
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(sender, meta->method(i), this, slot, Qt::DirectConnection);
    }

public slots:
    void heard() {
        QObject* from = sender();
        if (!from) return;
        app_.noteSignal(std::string(from->metaObject()->className()) + "::" +
                        from->metaObject()->method(senderSignalIndex()).name().toStdString());
    }

private:
    TimedApplication& app_;
    std::vector<QObject*> heard_;
};

struct Lateness {
    std::vector<double> ticks;  // ms late, one per tick
    Clock::time_point last;

    void start() { last = Clock::now(); }
    void tick() {
        auto now = Clock::now();
        ticks.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(now - last).count() - 10.0));
        last = now;
    }
    double max() const { return ticks.empty() ? 0 : *std::max_element(ticks.begin(), ticks.end()); }
    double percentile(double p) const {
        if (ticks.empty()) return 0;
        auto sorted = ticks;
        std::sort(sorted.begin(), sorted.end());
        auto at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
        return sorted[std::min(at, sorted.size() - 1)];
    }
};

// Whether the window shows the session's files tab with the browser listing
// the root of the session's first volume.
bool browserShowsRoot(const MainWindow& window, const SessionPtr& session) {
    if (!session || !std::holds_alternative<phase::Finished>(session->quick()) || session->volumes().empty())
        return false;
    for (auto* browser : window.findChildren<BrowserView*>())
        if (browser->isVisible() && browser->folder() == session->volumes().front()->root && !browser->rows().empty())
            return true;
    return false;
}

// Watches a folder from a thread of its own for the first file below it
// other than the report, and notes when it appeared.
class FirstFile {
public:
    explicit FirstFile(std::filesystem::path folder)
        : folder_(std::move(folder)), thread_([this] { watch(); }) {}
    ~FirstFile() {
        stop_ = true;
        thread_.join();
    }
    // When the first file appeared; the epoch while none has.
    Clock::time_point seen() const { return Clock::time_point(Clock::duration(seen_.load())); }

private:
    void watch() {
        while (!stop_) {
            std::error_code error;
            for (auto it = std::filesystem::recursive_directory_iterator(folder_, error);
                 !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
                if (it->is_regular_file(error) && it->path().filename() != RecoveryEngine::reportName) {
                    seen_ = Clock::now().time_since_epoch().count();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    std::filesystem::path folder_;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> seen_{0};
    std::thread thread_;
};

// A new folder below /tmp, removed with everything in it.
struct Scratch {
    std::filesystem::path path;
    Scratch() {
        char name[] = "/tmp/sovanta-bench-recovery-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~Scratch() {
        std::error_code error;
        if (!path.empty()) std::filesystem::remove_all(path, error);
    }
};

BrowserView* browserOf(const MainWindow& window) {
    for (auto* browser : window.findChildren<BrowserView*>())
        if (browser->isVisible()) return browser;
    return nullptr;
}

int runSession(int argc, char** argv, const std::string& image, const std::string& task) {
    TimedApplication app(argc, argv);
    prepareApplication();
    int status = 0;
    {
        auto& model = AppModel::shared();
        // Connected before the window's and the pages' own connections, so that
        // a signal is noted when it is sent, before its receivers run.
        SignalNames names(app, &app);
        names.listen(&model);
        QObject::connect(&model, &AppModel::sessionsChanged, &names, [&] {
            for (auto& session : model.sessions()) names.listen(session.get());
        });
        MainWindow window(model);
        AppDelegate delegate(model);
        window.show();
        delegate.applicationDidFinishLaunching(QStringList{QApplication::applicationFilePath()},
                                               QProcessEnvironment::systemEnvironment());

        // The window settles first: exposed, the disk list loaded.
        Clock::time_point settle = Clock::now();
        while (!(window.windowHandle() && window.windowHandle()->isExposed()) || model.loadingDisks() ||
               msSince(settle) < 1000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const int64_t beforeKiB = bench::statusKiB("VmRSS");

        Lateness lateness;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        Clock::time_point start;
        double shownMs = -1;
        SessionPtr session;
        // The task after the listing: its own lateness and longest event, from its click.
        Lateness taskLateness;
        double taskBusiest = 0, taskMs = -1, referenceMs = -1;
        Clock::time_point clicked;
        bool inTask = false;
        std::unique_ptr<FirstFile> firstFile;
        Scratch destination;
        auto endTask = [&](double ms) {
            taskMs = ms;
            inTask = false;
            taskBusiest = app.busiest;
            if (auto* browser = browserOf(window))
                if (auto* sheet = browser->findChild<RecoverSheet*>()) sheet->job()->reporter->cancel();
            QTimer::singleShot(500, &app, &QApplication::quit);
        };
        auto beginTask = [&] {
            BrowserView* browser = browserOf(window);
            const FileNodePtr root = session->volumes().front()->root;
            app.busiest = 0;
            inTask = true;
            clicked = Clock::now();
            taskLateness.start();
            if (task == "recovery") {
                firstFile = std::make_unique<FirstFile>(destination.path);
                browser->recover({root});
                auto* sheet = browser->findChild<RecoverSheet*>();
                sheet->validate(destination.path);
                sheet->start();
            } else {
                session->startDeepScan();
            }
        };
        QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
            lateness.tick();
            if (inTask) {
                taskLateness.tick();
                if (task == "recovery" && firstFile && firstFile->seen() != Clock::time_point())
                    endTask(std::chrono::duration<double, std::milli>(firstFile->seen() - clicked).count());
                else if (task == "merge" && !isRunning(session->deep()))
                    endTask(msSince(clicked));
            }
            if (shownMs < 0) {
                if (!session && !model.sessions().empty()) session = model.sessions().front();
                if (browserShowsRoot(window, session)) {
                    shownMs = msSince(start);
                    // A second more, for what follows the listing; then the task, if any.
                    if (task == "open")
                        QTimer::singleShot(1000, &app, &QApplication::quit);
                    else
                        QTimer::singleShot(1000, &app, [&] {
                            // The reference, in an event of its own before the click: the
                            // plan as the GUI thread once made it, timed alone.
                            if (task == "recovery") {
                                const auto referenceStart = Clock::now();
                                const RecoveryPlan reference = RecoveryEngine::plan(
                                    {session->volumes().front()->root}, RecoveryOptions{});
                                referenceMs = msSince(referenceStart);
                                std::printf("planned_files %zu\n", reference.files.size());
                            }
                            QTimer::singleShot(500, &app, beginTask);
                        });
                }
                if (model.errorMessage()) {
                    std::fprintf(stderr, "opening failed: %s\n", model.errorMessage()->c_str());
                    status = 1;
                    QApplication::quit();
                }
            }
        });
        QTimer::singleShot(600000, &app, [&] {
            std::fprintf(stderr, "the browser did not list the root, or the task did not end, within 600 s\n");
            status = 1;
            QApplication::quit();
        });
        app.logging = true;
        start = Clock::now();
        app.since = start;
        lateness.start();
        ticker.start();
        model.openImage(image, SessionTab::files);
        QApplication::exec();
        app.logging = false;
        ticker.stop();

        int64_t files = 0;
        if (session)
            for (auto& [id, stats] : session->volumeStats()) files += stats.files;
        std::printf("shown_ms %.1f\nlate_max_ms %.1f\nlate_p99_ms %.1f\nbusy_max_ms %.1f\nticks %zu\nfiles %lld\n",
                    shownMs, lateness.max(), lateness.percentile(0.99), app.busiest, lateness.ticks.size(),
                    static_cast<long long>(files));
        std::printf("rss_before_kib %lld\nrss_after_kib %lld\npeak_kib %lld\n", static_cast<long long>(beforeKiB),
                    static_cast<long long>(bench::statusKiB("VmRSS")), static_cast<long long>(bench::statusKiB("VmHWM")));
        if (task != "open")
            std::printf("task_ms %.1f\ntask_late_max_ms %.1f\ntask_busy_max_ms %.1f\nreference_ms %.1f\n", taskMs,
                        taskLateness.max(), taskBusiest, referenceMs);
        if (task != "open" && taskMs < 0) status = 1;
        std::fflush(stdout);
        for (auto& line : app.slow) std::fprintf(stderr, "%s\n", line.c_str());
        delegate.applicationWillTerminate();
    }
    sovanta::app::backgroundPool().waitForDone();
    Background::previewQueue().waitForDone();
    return status;
}


// MARK: Child: previews

// The files whose previews are measured: name in the image, and whether the
// preview is shown only on request ("Vis forhåndsvisning").
struct HeavyFile {
    const char* name;
    const char* label;
    bool onRequest;
};
const HeavyFile heavyFiles[] = {
    {"nuller.txt", "1 MiB text file of zeros", false},
    {"linje.txt", "30 MB of text on one line", false},
    {"skadet35.pdf", "35 MB damaged PDF", false},
    {"skadet200.pdf", "200 MB damaged PDF (\"Vis forhåndsvisning\")", true},
};

// Whether the pane shows the node's preview as far as it goes: the load has
// ended, and a copy, when there is one, has been looked at by the viewer.
bool previewSettled(PreviewPane* pane, const FileNodePtr& node) {
    auto* single = pane->single();
    if (!single || single->node() != node || single->loading()) return false;
    if (single->quickLookURL() && single->quickLookView()->kind() == QuickLookView::Kind::none) return false;
    return true;
}

int runPreviews(int argc, char** argv, const std::string& image) {
    TimedApplication app(argc, argv);
    prepareApplication();
    int status = 0;
    {
        auto& model = AppModel::shared();
        MainWindow window(model);
        AppDelegate delegate(model);
        window.show();
        delegate.applicationDidFinishLaunching(QStringList{QApplication::applicationFilePath()},
                                               QProcessEnvironment::systemEnvironment());
        auto spin = [](const std::function<bool()>& done, double boundMs) {
            const auto start = Clock::now();
            while (!done()) {
                if (msSince(start) > boundMs) return false;
                QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            }
            return true;
        };
        Clock::time_point settle = Clock::now();
        spin([&] { return window.windowHandle() && window.windowHandle()->isExposed() && !model.loadingDisks() &&
                          msSince(settle) >= 1000; },
             30000);
        model.openImage(image, SessionTab::files);
        BrowserView* browser = nullptr;
        SessionPtr session;
        bool listed = spin(
            [&] {
                if (!session && !model.sessions().empty()) session = model.sessions().front();
                if (!browserShowsRoot(window, session)) return false;
                for (auto* b : window.findChildren<BrowserView*>())
                    if (b->isVisible()) browser = b;
                return browser != nullptr;
            },
            120000);
        if (!listed) {
            std::fprintf(stderr, "the browser did not list the image's root\n");
            return 1;
        }
        spin([] { return false; }, 500);

        Lateness lateness;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, &app, [&] { lateness.tick(); });
        for (const auto& file : heavyFiles) {
            FileNodePtr node;
            for (auto& row : browser->rows())
                if (row->name == file.name) node = row;
            if (!node) {
                std::fprintf(stderr, "%s is not in the image\n", file.name);
                status = 1;
                continue;
            }
            std::fprintf(stderr, "%s: events that kept the GUI thread over 20 ms\n", file.name);
            lateness = Lateness{};
            app.busiest = 0;
            app.slow.clear();
            app.logging = true;
            const auto start = Clock::now();
            app.since = start;
            lateness.start();
            ticker.start();
            // As a click does it: from an event of the GUI thread.
            QMetaObject::invokeMethod(browser, [browser, node] { browser->setSelection({node->id}); },
                                      Qt::QueuedConnection);
            PreviewPane* pane = browser->previewPane();
            bool shown = spin([&] { return previewSettled(pane, node); }, 120000);
            if (shown && file.onRequest) {
                auto* button = pane->single()->manualLoadButton();
                if (button) {
                    QMetaObject::invokeMethod(button, [button] { button->click(); }, Qt::QueuedConnection);
                    spin([&] { return pane->single()->loading(); }, 5000);
                    shown = spin([&] { return previewSettled(pane, node); }, 300000);
                }
            }
            const double shownMs = msSince(start);
            // Half a second more, for what follows the preview.
            spin([] { return false; }, 500);
            ticker.stop();
            app.logging = false;
            std::printf("%s_shown_ms %.1f\n%s_late_max_ms %.1f\n%s_busy_max_ms %.1f\n", file.name,
                        shown ? shownMs : -1.0, file.name, lateness.max(), file.name, app.busiest);
            // When the thread was latest: with no long event at that time, it
            // was not kept by our work but waited for a processor.
            if (!lateness.ticks.empty()) {
                auto worst = std::max_element(lateness.ticks.begin(), lateness.ticks.end());
                double at = 0;
                for (auto tick = lateness.ticks.begin(); tick <= worst; ++tick) at += 10 + *tick;
                std::fprintf(stderr, "  the worst lateness, %.0f ms, ended at %.0f ms\n", *worst, at);
            }
            std::fflush(stdout);
            for (auto& line : app.slow) std::fprintf(stderr, "%s\n", line.c_str());
            if (!shown) status = 1;
            QMetaObject::invokeMethod(browser, [browser] { browser->setSelection({}); }, Qt::QueuedConnection);
            spin([] { return false; }, 300);
        }
        delegate.applicationWillTerminate();
    }
    sovanta::app::backgroundPool().waitForDone();
    Background::previewQueue().waitForDone();
    return status;
}

// Writes the heavy files into a FAT32 image of their own, made without root.
bool makePreviewImage(const std::string& image) {
    namespace fs = std::filesystem;
    const fs::path work = fs::path(image).parent_path() / "previews-files";
    std::error_code error;
    fs::create_directories(work, error);
    std::mt19937_64 random(34);
    auto write = [&](const std::string& name, const std::function<void(std::ofstream&)>& body) {
        std::ofstream out(work / name, std::ios::binary | std::ios::trunc);
        body(out);
        return static_cast<bool>(out);
    };
    // A damaged PDF: a catalog, a page and a great many small objects, but its
    // end (cross-reference table and trailer) cut off, so that a reader has to
    // rebuild the table by parsing the whole file.
    auto damagedPDF = [](int64_t size) {
        return [size](std::ofstream& out) {
            out << "%PDF-1.7\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                   "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
                   "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>\nendobj\n";
            for (int64_t object = 4; out.tellp() < size; ++object)
                out << object << " 0 obj\n<< /A [1 2 3 4 5 6 7 8] /B (tekst) /C /Navn >>\nendobj\n";
        };
    };
    bool ok = write("nuller.txt", [](std::ofstream& out) {
        std::string zeros(1048576, '\0');
        out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    });
    // One line without a space, as encoded data or a minified file has it.
    ok = ok && write("linje.txt", [&random](std::ofstream& out) {
        const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string piece(1 << 20, 'A');
        for (int64_t written = 0; written < 30000000; written += static_cast<int64_t>(piece.size())) {
            for (auto& c : piece) c = letters[random() % 64];
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        }
    });
    ok = ok && write("skadet35.pdf", damagedPDF(35000000));
    ok = ok && write("skadet200.pdf", damagedPDF(200000000));
    if (!ok) return false;
    fs::remove(image, error);
    bool made = bench::runQuietly({"mkfs.fat", "-F", "32", "-n", "PREVIEWS", "-C", image, "300000"}, true).succeeded();
    for (const auto& file : heavyFiles)
        made = made && bench::runQuietly({"mcopy", "-i", image, (work / file.name).string(), "::/"}, true).succeeded();
    fs::remove_all(work, error);
    if (!made) fs::remove(image, error);
    return made;
}

// MARK: Driver

struct Run {
    bool ok = false;
    double wallMs = 0;
    long peakKiB = 0;
    std::vector<std::pair<std::string, double>> values;  // the child's "name value" lines
    int64_t startNs = 0;

    double value(const std::string& name) const {
        for (auto& [key, v] : values)
            if (key == name) return v;
        return -1;
    }
};

// Runs a program, reads the "name value" lines it prints, and waits for it.
Run spawn(const std::vector<std::string>& args, bool keepOutput) {
    Run run;
    int out[2];
    if (pipe(out) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (keepOutput)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    run.startNs = nowNs();
    const auto start = Clock::now();
    bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    if (started) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (!started) return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return run;
    run.wallMs = msSince(start);
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t space = line.find(' ');
        if (space != std::string::npos)
            run.values.emplace_back(line.substr(0, space), std::atof(line.c_str() + space + 1));
    }
    return run;
}

struct Spread {
    double min = 0, median = 0, max = 0;
    size_t count = 0;
};

Spread spread(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.count = values.size();
    s.min = values.front();
    s.max = values.back();
    s.median = values.size() % 2 ? values[values.size() / 2]
                                 : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    return s;
}

std::string ms(const Spread& s) {
    if (!s.count) return "failed";
    char text[96];
    std::snprintf(text, sizeof text, "%.0f ms (%.0f–%.0f)", s.median, s.min, s.max);
    return text;
}

std::string mib(const Spread& s) {
    if (!s.count) return "failed";
    char text[96];
    std::snprintf(text, sizeof text, "%.0f MiB (%.0f–%.0f)", s.median / 1024, s.min / 1024, s.max / 1024);
    return text;
}

std::string ownProgram() {
    std::string program(4096, '\0');
    ssize_t length = readlink("/proc/self/exe", program.data(), program.size() - 1);
    if (length <= 0) return "";
    program.resize(static_cast<size_t>(length));
    return program;
}

// The preview rows: each file selected in a session of its own process.
bool drivePreviews(int runs) {
    const std::string program = ownProgram();
    const std::string image = "/tmp/sovanta-bench/previews.img";
    std::error_code error;
    std::filesystem::create_directories("/tmp/sovanta-bench", error);
    if (access(image.c_str(), R_OK) != 0 && !makePreviewImage(image)) {
        std::fprintf(stderr, "could not make %s (needs mkfs.fat and mcopy)\n", image.c_str());
        return false;
    }
    bench::runQuietly({"cat", image});
    std::vector<std::vector<double>> late(std::size(heavyFiles)), busy(std::size(heavyFiles)),
        shown(std::size(heavyFiles));
    for (int i = 0; i < runs; ++i) {
        std::fprintf(stderr, "previews %d of %d\n", i + 1, runs);
        Run run = spawn({program, "--previews-session", image}, true);
        for (size_t f = 0; f < std::size(heavyFiles); ++f) {
            const std::string name = heavyFiles[f].name;
            if (run.value(name + "_shown_ms") < 0) continue;
            shown[f].push_back(run.value(name + "_shown_ms"));
            late[f].push_back(run.value(name + "_late_max_ms"));
            busy[f].push_back(run.value(name + "_busy_max_ms"));
        }
    }
    std::printf("\nSelecting a file in a browser session until its preview is shown, %d runs; median (min–max).\n\n",
                runs);
    std::printf("| file | GUI thread lateness, worst | longest event's processor time | shown after | target |\n"
                "|---|---|---|---|---|\n");
    bool complete = true;
    for (size_t f = 0; f < std::size(heavyFiles); ++f) {
        complete = complete && !shown[f].empty();
        std::printf("| %s | %s | %s | %s | ≤ 50 ms each |\n", heavyFiles[f].label, ms(spread(late[f])).c_str(),
                    ms(spread(busy[f])).c_str(), ms(spread(shown[f])).c_str());
    }
    return complete;
}

int drive(int runs, const std::string& image, bool previewsOnly, const std::string& only) {
    if (previewsOnly) return drivePreviews(runs) ? 0 : 1;
    const std::string program = ownProgram();
    if (program.empty()) return 1;

    // Start-up, the application and the bare window in turn.
    std::vector<double> appExposed, bareExposed, appWhole, bareWhole;
    const bool everything = only.empty();
    if (everything) {
        spawn({program, "--start", "application"}, true);  // warm-up: libraries and fonts into the page cache
        spawn({program, "--start", "bare"}, true);
    }
    for (int i = 0; everything && i < runs; ++i) {
        for (bool bare : {false, true}) {
            Run run = spawn({program, "--start", bare ? "bare" : "application"}, true);
            double exposed = run.value("exposed");
            if (!run.ok || exposed < 0) continue;
            (bare ? bareExposed : appExposed).push_back((exposed - static_cast<double>(run.startNs)) / 1e6);
            (bare ? bareWhole : appWhole).push_back(run.wallMs);
        }
    }

    // The session and the command-line scan, the image in the page cache for both.
    std::vector<double> shown, lateMax, lateP99, busyMax, before, after, peak, files, cliWall, cliPeak;
    bench::runQuietly({"cat", image});
    for (int i = 0; everything && i < runs; ++i) {
        std::fprintf(stderr, "session %d of %d: events that kept the GUI thread over 20 ms\n", i + 1, runs);
        Run run = spawn({program, "--session", "open", image}, true);
        if (run.ok && run.value("shown_ms") >= 0) {
            shown.push_back(run.value("shown_ms"));
            lateMax.push_back(run.value("late_max_ms"));
            lateP99.push_back(run.value("late_p99_ms"));
            busyMax.push_back(run.value("busy_max_ms"));
            before.push_back(run.value("rss_before_kib"));
            after.push_back(run.value("rss_after_kib"));
            peak.push_back(run.value("peak_kib"));
            files.push_back(run.value("files"));
        }
        Run cli = spawn({SOVANTA_CLI, "scan", image}, false);
        if (cli.ok) {
            cliWall.push_back(cli.wallMs);
            cliPeak.push_back(static_cast<double>(cli.peakKiB));
        }
    }

    // The tasks in the same window after the opening: "Gendan alle" and a deep scan's merge.
    struct Task {
        std::vector<double> ms, lateMax, busyMax, reference;
    };
    Task recovery, merge;
    for (int i = 0; i < runs; ++i) {
        for (auto* task : {&recovery, &merge}) {
            const char* name = task == &recovery ? "recovery" : "merge";
            if (!everything && only != name) continue;
            std::fprintf(stderr, "%s %d of %d: events that kept the GUI thread over 20 ms\n", name, i + 1, runs);
            Run run = spawn({program, "--session", name, image}, true);
            if (!run.ok || run.value("task_ms") < 0) continue;
            task->ms.push_back(run.value("task_ms"));
            task->lateMax.push_back(run.value("task_late_max_ms"));
            task->busyMax.push_back(run.value("task_busy_max_ms"));
            task->reference.push_back(run.value("reference_ms"));
        }
    }
    Run plan;
    // In a program of its own, which counts its heap: counting every
    // allocation would slow the window's runs measured here.
    if (everything || only == "plan")
        plan = spawn({std::filesystem::path(program).replace_filename("bench-RecoveryPlan").string(), image}, true);

    std::printf("\n%d runs of each; median (min–max). Image: %s, %.0f files listed.\n\n", runs, image.c_str(),
                spread(files).median);
    std::printf("| figure | result | reference | target |\n|---|---|---|---|\n");
    if (everything) {
        std::printf("| start-up to the exposed window | %s | bare Qt window: %s | |\n", ms(spread(appExposed)).c_str(),
                    ms(spread(bareExposed)).c_str());
        std::printf("| start-up, whole process (to exit) | %s | bare Qt window: %s | |\n", ms(spread(appWhole)).c_str(),
                    ms(spread(bareWhole)).c_str());
        std::printf("| open + quick scan until the browser lists the root | %s | sovanta-cli scan (whole process): %s | |\n",
                    ms(spread(shown)).c_str(), ms(spread(cliWall)).c_str());
        std::printf("| GUI thread lateness, worst (10 ms timer) | %s | | ≤ 50 ms |\n", ms(spread(lateMax)).c_str());
        std::printf("| GUI thread lateness, 99th percentile | %s | | |\n", ms(spread(lateP99)).c_str());
        std::printf("| GUI thread, the longest event's own processor time | %s | | ≤ 50 ms |\n", ms(spread(busyMax)).c_str());
        std::printf("| peak resident memory (VmHWM) with the session open | %s | sovanta-cli scan: %s | |\n",
                    mib(spread(peak)).c_str(), mib(spread(cliPeak)).c_str());
        std::printf("| resident memory after the opening | %s | the window before it: %s | |\n", mib(spread(after)).c_str(),
                    mib(spread(before)).c_str());
    }
    if (everything || only == "recovery") {
        std::printf("| \"Gendan alle\" of the root: the click to the copy's first file | %s | the plan alone, on the GUI "
                    "thread as it was: %s | |\n",
                    ms(spread(recovery.ms)).c_str(), ms(spread(recovery.reference)).c_str());
        std::printf("| GUI thread lateness, worst, from that click | %s | | ≤ 50 ms |\n", ms(spread(recovery.lateMax)).c_str());
        std::printf("| GUI thread, the longest event's own processor time, from that click | %s | | ≤ 50 ms |\n",
                    ms(spread(recovery.busyMax)).c_str());
    }
    if (everything || only == "merge") {
        std::printf("| deep scan while the browser lists the root, to its merge | %s | | |\n", ms(spread(merge.ms)).c_str());
        std::printf("| GUI thread lateness, worst, during the deep scan and its merge | %s | | ≤ 50 ms |\n",
                    ms(spread(merge.lateMax)).c_str());
        std::printf("| GUI thread, the longest event's own processor time, deep scan and merge | %s | | ≤ 50 ms |\n",
                    ms(spread(merge.busyMax)).c_str());
    }
    if (plan.ok)
        std::printf("| the recovery plan's heap per file (%.0f files; made in %.0f ms, peak while made %.0f B) | %.0f B "
                    "| every field copied per file, as before: %.0f B | ≤ 64 B |\n",
                    plan.value("plan_files"), plan.value("plan_ms"), plan.value("plan_peak_bytes_per_file"),
                    plan.value("plan_bytes_per_file"), plan.value("former_bytes_per_file"));
    if (!everything) return (only == "plan" ? plan.ok : !(only == "recovery" ? recovery : merge).ms.empty()) ? 0 : 1;
    const bool previews = drivePreviews(runs);
    const bool complete = !appExposed.empty() && !bareExposed.empty() && !shown.empty() && !cliWall.empty() &&
                          !recovery.ms.empty() && !merge.ms.empty() && plan.ok;
    return complete && previews ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--start") == 0)
        return std::strcmp(argv[2], "bare") == 0 ? startBare(argc, argv) : startApplication(argc, argv);
    if (argc > 3 && std::strcmp(argv[1], "--session") == 0) return runSession(argc, argv, argv[3], argv[2]);
    if (argc > 2 && std::strcmp(argv[1], "--previews-session") == 0) return runPreviews(argc, argv, argv[2]);
    int runs = 5;
    bool previewsOnly = false;
    std::string image = "/tmp/sovanta-bench/ntfs-100k.img", only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--previews") == 0)
            previewsOnly = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else
            image = argv[i];
    }
    if (!previewsOnly && access(image.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "%s is missing: make it with scripts/make-ntfs-bench-image.sh\n", image.c_str());
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "no display: run it under xvfb-run (Benchmarks/app-figures does)\n");
        return 1;
    }
    return drive(runs, image, previewsOnly, only);
}

#include "App.moc"
