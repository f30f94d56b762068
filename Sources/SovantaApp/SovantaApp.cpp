#include "SovantaApp/SovantaApp.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileOpenEvent>
#include <QIcon>
#include <QImageWriter>
#include <QKeySequence>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenuBar>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>
#include <QWindow>

#include "SovantaApp/Components.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/Preview.h"

namespace sovanta::app {

namespace {

// A path as a file URL would make it: relative paths from the current folder.
std::string absolutePath(const QString& path) { return QDir::current().absoluteFilePath(path).toStdString(); }

}  // namespace

// MARK: Launch options and environment

void prepareApplication() {
    QApplication::setApplicationName(QStringLiteral("Sovanta"));
    QApplication::setDesktopFileName(QStringLiteral("sovanta"));
    QApplication::setQuitOnLastWindowClosed(true);
    // Lives as long as the application.
    static QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_da"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    Style::setUpApplicationLook();
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("sovanta"), QIcon(QStringLiteral(":/sovanta.svg"))));
}

LaunchOptions parseLaunchOptions(const QStringList& arguments) {
    LaunchOptions options;
    const QString open = QStringLiteral("--open"), tab = QStringLiteral("--tab");
    qsizetype openAt = arguments.indexOf(open);
    if (openAt >= 0 && openAt + 1 < arguments.size()) {
        options.open = arguments[openAt + 1].toStdString();
        // The tab counts only with a path; its first occurrence is searched
        // from the start, and only the case names match.
        qsizetype tabAt = arguments.indexOf(tab);
        if (tabAt >= 0 && tabAt + 1 < arguments.size()) {
            for (SessionTab candidate : allSessionTabs())
                if (arguments[tabAt + 1].toStdString() == caseName(candidate)) {
                    options.tab = candidate;
                    break;
                }
        }
    }
    // Every other argument that is no option or an option's value is a file
    // the desktop hands over.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == open || argument == tab) {
            ++i;
            continue;
        }
        if (argument.isEmpty() || argument.startsWith(u'-')) continue;
        options.files.push_back(argument.toStdString());
    }
    return options;
}

std::optional<SnapshotRequest> snapshotRequest(const QProcessEnvironment& environment) {
    if (!environment.contains(QStringLiteral("SOVANTA_SNAPSHOT"))) return std::nullopt;
    SnapshotRequest request;
    request.path = environment.value(QStringLiteral("SOVANTA_SNAPSHOT")).toStdString();
    bool ok = false;
    double delay = environment.value(QStringLiteral("SOVANTA_SNAPSHOT_DELAY")).trimmed().toDouble(&ok);
    // A wait that is no finite number is no number; a negative one is no wait.
    if (ok && std::isfinite(delay)) request.delay = std::max(0.0, delay);
    request.keep = environment.contains(QStringLiteral("SOVANTA_SNAPSHOT_KEEP"));
    return request;
}

bool writeWindowPicture(const std::string& path) {
    QWidget* window = nullptr;
    for (QWidget* candidate : QApplication::topLevelWidgets()) {
        auto* main = qobject_cast<QMainWindow*>(candidate);
        if (main && main->isVisible() && main->centralWidget()) {
            window = main;
            break;
        }
    }
    if (!window) return false;
    QPixmap picture = window->grab();
    if (picture.isNull()) return false;
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) return false;
    QImageWriter writer(&file, "png");
    if (!writer.write(picture.toImage())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// MARK: Window

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Sovanta"));
    setMinimumSize(1220, 700);
    resize(1440, 900);
    setUnifiedTitleAndToolBarOnMac(true);

    content_ = new ContentView(model, this);
    setCentralWidget(content_);

    auto* toolbar = addToolBar(QStringLiteral("Værktøjslinje"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->setIconSize(QSize(16, 16));
    toolbar->toggleViewAction()->setVisible(false);
    refresh_ = toolbar->addAction(Style::buttonIcon("arrow.clockwise"), QStringLiteral("Opdater"));
    refresh_->setToolTip(QStringLiteral("Opdater listen over diske"));
    connect(refresh_, &QAction::triggered, &model, [&model] { model.refreshDisks(); });
    toolbar->addSeparator();
    title_ = new QLabel(toolbar);
    title_->setTextFormat(Qt::PlainText);
    title_->setFont(Style::font(Style::TextStyle::headline));
    title_->setContentsMargins(8, 0, 0, 0);
    toolbar->addWidget(title_);
    auto followPage = [this](QWidget* page) { title_->setText(page ? page->windowTitle() : QString()); };
    connect(content_, &ContentView::pageChanged, this, followPage);
    followPage(content_->page());

    // The file menu's command in place of a new window, the view menu's
    // after the sidebar's place.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&Fil"));
    openImage_ = file->addAction(QStringLiteral("Åbn diskbillede …"));
    openImage_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(openImage_, &QAction::triggered, &model, [&model] { model.presentOpenImagePanel(); });
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Afslut"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    QMenu* view = menuBar()->addMenu(QStringLiteral("&Vis"));
    refreshList_ = view->addAction(QStringLiteral("Opdater diskliste"));
    refreshList_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(refreshList_, &QAction::triggered, &model, [&model] { model.refreshDisks(); });
}

QString MainWindow::pageTitle() const { return title_->text(); }

// MARK: Signals

namespace {

int signalPipe[2] = {-1, -1};
struct sigaction earlierTerm {}, earlierInt {};

void noteSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) emit received(byte);
    });
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
    ::sigaction(SIGTERM, &action, &earlierTerm);
    ::sigaction(SIGINT, &action, &earlierInt);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_) return;
    ::sigaction(SIGTERM, &earlierTerm, nullptr);
    ::sigaction(SIGINT, &earlierInt, nullptr);
    delete notifier_;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

// MARK: Delegate

AppDelegate::AppDelegate(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&model_, &AppModel::openingChanged, this, [this] {
        if (!model_.opening()) openNext();
    });
    if (qApp) {
        qApp->installEventFilter(this);
        connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    }
}

void AppDelegate::applicationDidFinishLaunching(const QStringList& arguments,
                                               const QProcessEnvironment& environment) {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(window) && window->isVisible()) {
            window->raise();
            window->activateWindow();
        }
    // Copies for previews that programs no longer running left behind.
    Background::onPreviewQueue([] { Preview::removeLeftovers(); });
    LaunchOptions options = parseLaunchOptions(arguments);
    // The launch option's file first, then the files handed over, one after
    // the other: a file named twice is then found open the second time.
    bool idle = pending_.empty() && !model_.opening();
    if (options.open) enqueue(*options.open, options.tab);
    for (const std::string& file : options.files) enqueue(file, std::nullopt);
    if (idle) openNext();
    scheduleSnapshotIfRequested(environment);
}

void AppDelegate::enqueue(const std::string& file, std::optional<SessionTab> tab) {
    pending_.emplace_back(absolutePath(qs(file)), tab);
}

void AppDelegate::open(const std::vector<std::string>& files) {
    bool idle = pending_.empty() && !model_.opening();
    for (const std::string& file : files) enqueue(file, std::nullopt);
    if (idle) openNext();
}

// Openings run in the background and end in any order; one at a time, the
// sessions come in the order the files were handed over.
void AppDelegate::openNext() {
    while (!pending_.empty()) {
        auto [path, tab] = pending_.front();
        pending_.pop_front();
        model_.openImage(path, tab);
        // An image already open is only selected: go on with the next at once.
        if (model_.opening()) return;
    }
}

void AppDelegate::applicationWillTerminate() { Preview::cleanup(); }

void AppDelegate::handleTerminationSignals(std::function<void(int status)> quit) {
    if (!quit) quit = [](int status) { QCoreApplication::exit(status); };
    auto* watcher = new TerminationSignals(this);
    connect(watcher, &TerminationSignals::received, this, [this, quit = std::move(quit)](int number) {
        model_.shutDown([quit, number] { quit(128 + number); });
    });
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FileOpen && watched == qApp) {
        auto* request = static_cast<QFileOpenEvent*>(event);
        QString file = request->file();
        if (file.isEmpty() && request->url().isLocalFile()) file = request->url().toLocalFile();
        if (!file.isEmpty()) open({file.toStdString()});
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::scheduleSnapshotIfRequested(const QProcessEnvironment& environment) {
    auto request = snapshotRequest(environment);
    if (!request) return;
    // Timers take whole milliseconds in an int.
    double milliseconds = std::min(request->delay * 1000.0, static_cast<double>(std::numeric_limits<int>::max()));
    QTimer::singleShot(static_cast<int>(milliseconds), this, [request = *request] {
        writeWindowPicture(request.path);
        if (!request.keep) QApplication::quit();
    });
}

}  // namespace sovanta::app
