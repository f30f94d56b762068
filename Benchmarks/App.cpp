// The application's figures, in one run, each measured in a process of its own:
//   start-up   from the process's start to its window being exposed, the window
//              built as the program builds it, beside a bare Qt window shown the
//              same way;
//   session    opening and quick-scanning a large volume in the window until the
//              file browser lists the volume's root, with the lateness of a 10 ms
//              timer on the GUI thread (how long the thread was kept from it),
//              and the resident memory before, after and at its peak, beside
//              `sovanta-cli scan` of the same image.
// Needs a display (run it under xvfb-run: Benchmarks/app-figures does). The
// image comes from scripts/make-ntfs-bench-image.sh.
//   bench-App [--runs N] [IMAGE]     (default IMAGE /tmp/sovanta-bench/ntfs-100k.img)
// While the session runs, every event that keeps the GUI thread longer than
// 20 ms is written to standard error: what was handled, how much of that time
// the thread spent working (the rest it waited for a processor or the display
// server), and inside it, by when they began, the events of 3 ms or more (a
// widget's paint) and the model's and the session's signals.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
#include <QThreadPool>
#include <QTimer>
#include <QWindow>

#include "BenchSupport.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/SovantaApp.h"

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

int runSession(int argc, char** argv, const std::string& image) {
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
        QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
            lateness.tick();
            if (shownMs < 0) {
                if (!session && !model.sessions().empty()) session = model.sessions().front();
                if (browserShowsRoot(window, session)) {
                    shownMs = msSince(start);
                    // A second more, for what follows the listing.
                    QTimer::singleShot(1000, &app, &QApplication::quit);
                }
                if (model.errorMessage()) {
                    std::fprintf(stderr, "opening failed: %s\n", model.errorMessage()->c_str());
                    status = 1;
                    QApplication::quit();
                }
            }
        });
        QTimer::singleShot(120000, &app, [&] {
            std::fprintf(stderr, "the browser did not list the root within 120 s\n");
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
        std::fflush(stdout);
        for (auto& line : app.slow) std::fprintf(stderr, "%s\n", line.c_str());
        delegate.applicationWillTerminate();
    }
    QThreadPool::globalInstance()->waitForDone();
    Background::previewQueue().waitForDone();
    return status;
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

int drive(int runs, const std::string& image) {
    const std::string self = "/proc/self/exe";
    std::string program(4096, '\0');
    ssize_t length = readlink(self.c_str(), program.data(), program.size() - 1);
    if (length <= 0) return 1;
    program.resize(static_cast<size_t>(length));

    // Start-up, the application and the bare window in turn.
    std::vector<double> appExposed, bareExposed, appWhole, bareWhole;
    spawn({program, "--start", "application"}, true);  // warm-up: libraries and fonts into the page cache
    spawn({program, "--start", "bare"}, true);
    for (int i = 0; i < runs; ++i) {
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
    for (int i = 0; i < runs; ++i) {
        std::fprintf(stderr, "session %d of %d: events that kept the GUI thread over 20 ms\n", i + 1, runs);
        Run run = spawn({program, "--session", image}, true);
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

    std::printf("\n%d runs of each; median (min–max). Image: %s, %.0f files listed.\n\n", runs, image.c_str(),
                spread(files).median);
    std::printf("| figure | result | reference | target |\n|---|---|---|---|\n");
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
    const bool complete = !appExposed.empty() && !bareExposed.empty() && !shown.empty() && !cliWall.empty();
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--start") == 0)
        return std::strcmp(argv[2], "bare") == 0 ? startBare(argc, argv) : startApplication(argc, argv);
    if (argc > 2 && std::strcmp(argv[1], "--session") == 0) return runSession(argc, argv, argv[2]);
    int runs = 5;
    std::string image = "/tmp/sovanta-bench/ntfs-100k.img";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            image = argv[i];
    }
    if (access(image.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "%s is missing: make it with scripts/make-ntfs-bench-image.sh\n", image.c_str());
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "no display: run it under xvfb-run (Benchmarks/app-figures does)\n");
        return 1;
    }
    return drive(runs, image);
}

#include "App.moc"
