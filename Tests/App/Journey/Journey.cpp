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
#include <QPointer>
#include <QProcessEnvironment>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>

#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/BrowserView/FileTable.h"
#include "SovantaApp/BrowserView/FolderTree.h"
#include "SovantaApp/BrowserView/GalleryView.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/RecoverSheet.h"
#include "SovantaApp/SectorView.h"
#include "SovantaApp/SessionView/DeepScanCard.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/SessionView/SessionView.h"
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
            {"deep-scan", [this] { deepScan(); }},
            {"browse", [this] { browse(); }},
            {"search", [this] { searchFiles(); }},
            {"filter", [this] { filterLost(); }},
            {"gallery", [this] { gallery(); }},
            {"preview", [this] { previewPicture(); }},
            {"recover-sheet", [this] { openRecoverSheet(); }},
            {"recovered", [this] { recoverFolder(); }},
            {"sectors", [this] { sectors(); }},
            {"close", [this] { closeSession(); }},
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

    template <class T>
    T* visible() const {
        T* widget = findVisible<T>(&window_);
        require(widget != nullptr, std::string("a visible ") + typeid(T).name());
        return widget;
    }

    void click(QAbstractButton* button, const std::string& what) {
        require(button && button->isVisible() && button->isEnabled(), what + " can be pressed");
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // The manifest's rows of the first volume (p1, FAT32): path below the
    // volume's root, status and SHA-256 of the files.
    struct Row {
        std::string path, status, sha256;
    };
    std::vector<Row> manifestFiles() const {
        std::vector<Row> rows;
        QFile file(QString::fromStdString(manifest_.string()));
        require(file.open(QIODevice::ReadOnly), "the manifest reads");
        for (const QByteArray& line : file.readAll().split('\n')) {
            QList<QByteArray> fields = line.split('\t');
            if (fields.size() < 4 || !fields[0].startsWith("p1:") || fields[0].endsWith("/") || fields[2] == "-")
                continue;
            rows.push_back({fields[0].mid(3).toStdString(), fields[3].toStdString(), fields[2].toStdString()});
        }
        require(!rows.empty(), "the manifest lists files");
        return rows;
    }

    SessionView* sessionView() const { return visible<SessionView>(); }
    BrowserView* browser() const { return visible<BrowserView>(); }

    void showTab(SessionTab tab) {
        auto& buttons = sessionView()->tabButtons();
        size_t at = static_cast<size_t>(tab);
        require(at < buttons.size(), "the tab picker has the tab");
        click(buttons[at], "the tab's segment");
        waitFor([this, tab] { return session()->tab() == tab; }, "the tab");
        settle(200);
    }

    // The deep scan from its card: the volumes that no table points to appear.
    void deepScan() {
        auto* overview = visible<OverviewView>();
        click(overview->deepScanCard()->startButton(), "\"Start dyb scanning\"");
        waitFor([this] { return isRunning(session()->deep()); }, "the deep scan to start");
        settle(100);
        picture("03a-deep-scan-running");
        waitFor([this] { return std::holds_alternative<phase::Finished>(session()->deep()); }, "the deep scan");
        settle(200);
        const VolumePtr* fat32 = nullptr;
        for (const VolumePtr& volume : session()->volumes())
            if (volume->type == FileSystemType::fat32) fat32 = &volume;
        require(fat32 != nullptr, "the lost FAT32 volume was found");
        require(visible<OverviewView>()->volumeRows().size() == session()->volumes().size(),
                "the overview lists every volume");
        fat32_ = *fat32;
    }

    // A row of the table by its name; the table's model in display order.
    QModelIndex rowNamed(const std::string& name) {
        FileTable* table = browser()->table();
        QAbstractItemModel* rows = table->model();
        for (int row = 0; row < rows->rowCount(); ++row) {
            QModelIndex index = rows->index(row, 0);
            if (rows->data(index, Qt::DisplayRole).toString().toStdString() == name) return index;
        }
        throw Failure("no row named " + name);
    }

    void browse() {
        showTab(SessionTab::files);
        BrowserView* view = browser();
        FolderTree* tree = view->folderTree();
        QModelIndex root = tree->folderModel()->indexOf(fat32_->root);
        require(root.isValid(), "the folder tree lists the FAT32 volume");
        tree->scrollTo(root);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(root).center());
        waitFor([view, this] { return view->folder() == fat32_->root; }, "the volume's root");
        FileTable* table = view->table();
        QModelIndex folder = rowNamed("Ålborg tur");
        table->scrollTo(folder);
        QPoint at = table->visualRect(folder).center();
        QTest::mousePress(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
        waitFor([view] { return view->folder() && view->folder()->name == "Ålborg tur"; }, "the folder to open");
    }

    void searchFiles() {
        BrowserView* view = browser();
        QTest::keyClicks(view->searchField(), "  SLET ");
        waitFor([view] { return view->flattened(); }, "the flat listing");
        size_t expected = 0;
        for (const Row& row : manifestFiles())
            if (row.path.starts_with("Ålborg tur/") && QString::fromStdString(row.path).section('/', -1).toLower().contains("slet"))
                ++expected;
        require(static_cast<size_t>(view->table()->model()->rowCount()) == expected, "the search lists the manifest's matches");
        rowNamed("slet mig.txt");
    }

    void filterLost() {
        BrowserView* view = browser();
        view->searchField()->clear();
        QComboBox* status = view->statusPicker();
        int lost = status->findText(QStringLiteral("Slettede/fundne"));
        status->setCurrentIndex(lost);
        emit status->activated(lost);
        waitFor([view] { return view->flattened() && view->search().empty(); }, "the filtered listing");
        size_t expected = 0;
        for (const Row& row : manifestFiles())
            if (row.path.starts_with("Ålborg tur/") && row.status != "existing") ++expected;
        require(static_cast<size_t>(view->table()->model()->rowCount()) == expected, "the filter lists the manifest's lost files");
    }

    void gallery() {
        BrowserView* view = browser();
        QComboBox* status = view->statusPicker();
        status->setCurrentIndex(0);
        emit status->activated(0);
        waitFor([view] { return !view->flattened(); }, "the folder's own listing");
        click(view->galleryButton(), "\"Galleri\"");
        waitFor([view] { return view->gallery()->isVisible(); }, "the gallery");
        settle(1500);
    }

    void previewPicture() {
        BrowserView* view = browser();
        click(view->listButton(), "\"Liste\"");
        waitFor([view] { return view->table()->isVisible(); }, "the table");
        FileTable* table = view->table();
        QModelIndex photo = rowNamed("photo_exif.jpg");
        table->scrollTo(photo);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(photo).center());
        PreviewPane* pane = view->previewPane();
        waitFor([pane] { return pane->single() && pane->single()->image().has_value(); }, "the picture's preview");
        photo_ = pane->single()->node();
    }

    void openRecoverSheet() {
        BrowserView* view = browser();
        QAction* folder = view->recoverFolderAction();
        require(folder->isEnabled() && folder->text().contains(QStringLiteral("Ålborg tur")), "\"Gendan hele mappen\"");
        std::string destination = destination_.path().toStdString();
        Panels::chooseFolder = [destination](const Panels::ChooseFolder&) { return std::optional<std::string>(destination); };
        folder->trigger();
        waitFor([] { return qobject_cast<RecoverSheet*>(QApplication::activeModalWidget()) != nullptr; }, "the sheet");
        auto* sheet = qobject_cast<RecoverSheet*>(QApplication::activeModalWidget());
        click(sheet->chooseButton(), "the destination button");
        waitFor([sheet] { return sheet->summary().has_value() && sheet->recoverButton()->isEnabled(); }, "the count and the destination");
    }

    void recoverFolder() {
        QPointer<RecoverSheet> sheet = qobject_cast<RecoverSheet*>(QApplication::activeModalWidget());
        require(sheet != nullptr, "the sheet is up");
        click(sheet->recoverButton(), "\"Gendan\"");
        waitFor([sheet] { return !sheet || (sheet->closeButton() && sheet->closeButton()->isVisible()); }, "the recovery");
        require(sheet != nullptr, "the sheet stays up with the result");
        settle(200);
        picture("09a-recovered");
        // Every file of the folder, deleted ones included, byte for byte.
        for (const Row& row : manifestFiles()) {
            if (!row.path.starts_with("Ålborg tur/")) continue;
            std::string name = QString::fromStdString(row.path).section('/', -1).toStdString();
            bool found = false;
            for (const auto& entry : fs::recursive_directory_iterator(destination_.path().toStdString())) {
                if (!entry.is_regular_file() || entry.path().filename().string() != name) continue;
                QFile copy(QString::fromStdString(entry.path().string()));
                require(copy.open(QIODevice::ReadOnly), "the copy reads");
                found = QCryptographicHash::hash(copy.readAll(), QCryptographicHash::Sha256).toHex().toStdString() == row.sha256;
                if (found) break;
            }
            require(found, "a byte-identical copy of " + row.path);
        }
        click(sheet->closeButton(), "\"Luk\"");
        waitFor([] { return QApplication::activeModalWidget() == nullptr; }, "the sheet to close");
    }

    // From the preview pane to the picture's first sector.
    void sectors() {
        BrowserView* view = browser();
        click(view->previewPane()->single()->sectorsButton(), "\"Sektorer\"");
        waitFor([this] { return session()->tab() == SessionTab::sectors; }, "the sectors tab");
        waitFor([this] { return findVisible<SectorView>(&window_) != nullptr; }, "the sector view");
        SectorView* sectorView = visible<SectorView>();
        waitFor([sectorView] { return !sectorView->loading() && !sectorView->bytes().empty(); }, "the sectors");
        uint64_t offset = sectorView->bytesOffset();
        QFile image(QString::fromStdString(image_.string()));
        require(image.open(QIODevice::ReadOnly) && image.seek(static_cast<qint64>(offset)), "the image reads");
        QByteArray expected = image.read(static_cast<qint64>(sectorView->bytes().size()));
        require(expected.size() == static_cast<qsizetype>(sectorView->bytes().size()) &&
                    std::equal(expected.begin(), expected.end(), sectorView->bytes().begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }),
                "the sector view shows the image's bytes");
        require(offset <= static_cast<uint64_t>(session()->sectorOffset()) + 0, "the view starts at the session's offset");
    }

    void closeSession() {
        QAction* close = sessionView()->closeAction();
        require(close->isEnabled(), "\"Luk\" in the menu");
        close->trigger();
        waitFor([this] { return model_.sessions().empty(); }, "the session to close");
        waitFor([this] { return window_.content()->pageKey() == "welcome"; }, "the start page");
    }

    MainWindow& window_;
    AppModel& model_;
    VolumePtr fat32_;
    FileNodePtr photo_;
    QTemporaryDir destination_;
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
