// A person's journey through the real program: the window that main makes,
// driven through its own widgets under a display server, step after step,
// with a picture of the window after each step. Exits 0 when every step
// held, 1 at the first that did not, naming it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
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
#include <QListWidget>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolButton>

#include <fcntl.h>
#include <unistd.h>

#include "LoopDisk.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/BrowserView/FileTable.h"
#include "SovantaApp/BrowserView/FolderTree.h"
#include "SovantaApp/BrowserView/GalleryView.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/DiskDetailView.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/SectorView.h"
#include "SovantaApp/SessionView/DeepScanCard.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "SovantaApp/SovantaApp.h"
#include "SovantaApp/Threads.h"

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

// A copy of a fixture image on a read-only loop device: a disk of this
// machine, gone with this process however the process ends.
std::unique_ptr<test::LoopDisk> attachCopy(const fs::path& image) {
    // A name of its own: the disk list names a loop device after its file.
    auto loop = std::make_unique<test::LoopDisk>(image, test::LoopDisk::Access::readOnly,
                                                 "journey-" + image.filename().string());
    if (!loop->ready()) throw Failure("the fixture's copy is attached as a loop device");
    return loop;
}

// The blocks of a GNU ddrescue mapfile: position, size and status character.
struct MapBlock {
    uint64_t pos = 0, size = 0;
    char status = '?';
};

std::vector<MapBlock> readMapfile(const fs::path& path) {
    std::ifstream in(path);
    require(in.good(), "the mapfile " + path.string() + " reads");
    std::vector<MapBlock> blocks;
    bool statusLine = true;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string first, second, third;
        fields >> first >> second >> third;
        // The first line that is no comment is the copy's position and pass.
        if (statusLine) {
            statusLine = false;
            continue;
        }
        require(third.size() == 1, "a mapfile line of three fields: " + line);
        blocks.push_back({std::stoull(first, nullptr, 0), std::stoull(second, nullptr, 0), third[0]});
    }
    return blocks;
}

class Journey {
public:
    // disk, diskManifest: the fixture put on a loop device and imaged.
    Journey(MainWindow& window, AppModel& model, fs::path pictures, fs::path image, fs::path manifest,
            fs::path disk, fs::path diskManifest)
        : window_(window), model_(model), pictures_(std::move(pictures)), image_(std::move(image)),
          manifest_(std::move(manifest)), disk_(std::move(disk)), diskManifest_(std::move(diskManifest)) {}

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
        // Imaging needs a disk: a loop device, which only root can make.
        std::vector<std::pair<std::string, std::function<void()>>> imaging = {
            {"disk-page", [this] { diskPage(); }},
            {"imaging-sheet", [this] { imagingSheet(); }},
            {"imaging-paused", [this] { startAndPause(); }},
            {"imaging-stopped", [this] { stopImaging(); }},
            {"imaging-resumed", [this] { resumeImaging(); }},
            {"image-scanned", [this] { scanImage(); }},
            {"image-closed", [this] { closeImageSession(); }},
            {"disk-session", [this] { scanDisk(); }},
            {"session-imaging", [this] { imageFromSession(); }},
        };
        if (test::isRoot())
            steps.insert(steps.end(), imaging.begin(), imaging.end());
        else
            std::printf("skip the imaging steps: making a loop device needs root\n");
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
                cleanUp();
                return 1;
            }
        }
        cleanUp();
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

    // A page made just now is shown once the event loop has run.
    template <class T>
    T* shown(const std::string& what) const {
        waitFor([this] { return findVisible<T>(&window_) != nullptr; }, what);
        return visible<T>();
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

    // MARK: Imaging a disk with damage

    // Also after a failed step: no copy left running, no variable set, no device kept.
    void cleanUp() {
        ::unsetenv("SOVANTA_SIMULATE_BAD");
        for (const ImagingJobPtr& job : model_.imagingJobs()) job->stop();
        try {
            waitFor(
                [this] {
                    return std::none_of(model_.imagingJobs().begin(), model_.imagingJobs().end(),
                                        [](const ImagingJobPtr& job) { return job->running(); });
                },
                "the copies to end", std::chrono::seconds(60));
        } catch (const Failure& failure) {
            std::printf("FAIL cleaning up: %s\n", failure.what());
        }
        loop_.reset();
    }

    // The byte ranges that the disk fails to read: 64 KiB inside the picture
    // photo_exif.jpg of the first volume, which the fixture holds from byte
    // 1,640,960 on, and 2 MiB of the space behind the last partition.
    static std::vector<ByteRange> badRanges() { return {{1673728, 1739264}, {62914560, 65011712}}; }

    ImagingJobPtr job() const {
        require(!model_.imagingJobs().empty(), "an imaging job");
        return model_.imagingJobs().back();
    }

    ImagingView* imagingView() const { return visible<ImagingView>(); }

    // The fixture on a loop device, found by the disk list and shown on its page.
    void diskPage() {
        loop_ = attachCopy(disk_);
        std::string name = loop_->name();
        std::string file = loop_->backing().filename().string();
        // Other tests attach and detach loop devices too, and the kernel hands
        // their names out again: the list shows this disk once it names its file.
        waitFor(
            [this, name, file] {
                const DiskInfo* disk = model_.disk(name);
                if (disk && disk->mediaName == file) return true;
                if (!model_.loadingDisks()) window_.refreshListAction()->trigger();
                return false;
            },
            "the disk list to show " + name);
        SidebarView* sidebar = window_.content()->sidebar();
        waitFor([sidebar, name] { return sidebar->itemFor(sidebar::Disk{name}) != nullptr; }, "the disk's row");
        QListWidget* list = sidebar->list();
        QListWidgetItem* row = sidebar->itemFor(sidebar::Disk{name});
        list->scrollToItem(row);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
        waitFor([this, name] { return window_.content()->pageKey() == "disk:" + name; }, "the disk's page");
        auto* page = shown<DiskDetailView>("the disk's page to show");
        require(page->disk().size == loop_->size(), "the page shows the disk's size");
    }

    // The sheet through its own fields: the file from the save panel, two
    // retries of bad sectors.
    void imagingSheet() {
        auto* page = visible<DiskDetailView>();
        click(page->imagingTile(), "\"Lav diskbillede\"");
        waitFor([] { return qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget()) != nullptr; },
                "the imaging sheet");
        auto* sheet = qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget());
        imageFile_ = fs::path(destination_.path().toStdString()) / "kopi.img";
        std::string chosen = imageFile_.string();
        Panels::saveFile = [chosen](const Panels::SaveFile&) { return std::optional<std::string>(chosen); };
        click(sheet->chooseButton(), "\"Vælg …\"");
        waitFor([sheet] { return sheet->destination().has_value(); }, "the destination");
        require(!sheet->notices()->hasProblem(), "the destination is accepted");
        // A folder whose disk cannot be told is used once the user confirms it.
        if (sheet->notices()->hasDoubt()) click(sheet->notices()->confirmBox(), "the confirmation");
        QSpinBox* retries = sheet->retriesBox();
        retries->setFocus();
        QTest::keyClick(retries, Qt::Key_Up);
        require(sheet->retries() == 2, "the stepper gives two retries");
        require(sheet->startButton()->isEnabled(), "\"Start kopiering\" can be pressed");
    }

    // The copy starts on the imaging page and is paused there: nothing more is read.
    void startAndPause() {
        auto* sheet = qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget());
        require(sheet != nullptr, "the sheet is up");
        std::string ranges;
        for (const ByteRange& range : badRanges())
            ranges += (ranges.empty() ? "" : ",") + std::to_string(range.lower) + "-" + std::to_string(range.upper);
        ::setenv("SOVANTA_SIMULATE_BAD", ranges.c_str(), 1);
        // This small disk copies in less time than the window takes to show
        // the page, so the copy is held before its first read (the page's own
        // button then lets it run and pauses it again); a copy that ended
        // before the click could not be paused at all.
        auto hold = QObject::connect(&model_, &AppModel::imagingJobsChanged, &model_, [this] {
            if (model_.imagingJobs().empty()) return;
            const ImagingJobPtr& fresh = model_.imagingJobs().back();
            if (!fresh->running() && !fresh->paused()) fresh->togglePause();
        });
        click(sheet->startButton(), "\"Start kopiering\"");
        waitFor(
            [this] {
                if (model_.errorMessage()) throw Failure("the disk opens: " + *model_.errorMessage());
                return !model_.imagingJobs().empty() && job()->running();
            },
            "the copy to start");
        // Only this device is opened with the damage.
        ::unsetenv("SOVANTA_SIMULATE_BAD");
        QObject::disconnect(hold);
        waitFor([this] { return window_.content()->pageKey() == "imaging:" + job()->id.string(); }, "the imaging page");
        ImagingView* view = shown<ImagingView>("the imaging page to show");
        require(job()->paused() && view->pauseButton()->text() == "Fortsæt", "the copy waits before its first read");
        // The page acts on a click once the click has been handled: each is
        // carried out at once, so that the copy cannot end in between.
        click(view->pauseButton(), "\"Fortsæt\"");
        QCoreApplication::sendPostedEvents();
        require(!job()->paused() && view->pauseButton()->text() == "Pause", "the copy runs");
        click(view->pauseButton(), "\"Pause\"");
        QCoreApplication::sendPostedEvents();
        waitFor([this] { return job()->paused(); }, "the pause");
        require(job()->imager->options.retries == 2, "the copy has the sheet's retries");
        require(view->stateLabel()->text() == "Sat på pause", "the state line says the copy is paused");
        require(view->buttonTexts() == QStringList({"Fortsæt", "Stop"}), "a paused copy offers \"Fortsæt\" and \"Stop\"");
        // The copy may finish the piece it reads; after that it stands still.
        settle(600);
        ImagingStats before = job()->imager->currentStats();
        settle(800);
        ImagingStats after = job()->imager->currentStats();
        std::printf("     paused in pass %s at byte %s\n", std::to_string(after.pass).c_str(),
                    std::to_string(after.position).c_str());
        require(job()->running(), "the paused copy still runs");
        require(after.rescued == before.rescued && after.bad == before.bad && after.pending == before.pending,
                "a paused copy reads nothing");
    }

    // "Stop" on the paused copy ends it at once, with its map saved.
    void stopImaging() {
        ImagingView* view = imagingView();
        click(view->stopButton(), "\"Stop\"");
        waitFor([this] { return job()->finished() && !job()->running(); }, "the copy to stop");
        settle(100);
        view = imagingView();
        require(!job()->paused(), "the stop lifts the pause");
        require(view->stateLabel()->text().startsWith("Stoppet."), "the state line says the copy stopped");
        require(view->buttonTexts() == QStringList({"Vis i filhåndtering", "Genoptag", "Scan billedet"}),
                "a stopped copy offers the finished actions");
        require(view->resumeButton()->isEnabled(), "\"Genoptag\" can continue the copy");
        require(fs::exists(fs::path(imageFile_.string() + ".map")), "the mapfile is saved");
    }

    // "Genoptag" copies the rest; the image holds the disk's good bytes, zeros
    // where the disk failed, and the mapfile marks exactly those ranges bad.
    void resumeImaging() {
        ImagingView* view = imagingView();
        std::optional<Uuid> firstSample;
        if (!job()->samples().empty()) firstSample = job()->samples().front().id;
        click(view->resumeButton(), "\"Genoptag\"");
        waitFor([this] { return job()->running(); }, "the copy to continue");
        waitFor([this] { return job()->finished() && !job()->running(); }, "the copy to end");
        settle(100);
        view = imagingView();
        const ImagingStats& stats = job()->stats();
        require(view->stateLabel()->text() == "Færdig", "the state line says the copy is done");
        require(!firstSample || job()->samples().front().id == *firstSample, "the rate history of the first run is kept");

        std::vector<ByteRange> bad = badRanges();
        uint64_t badBytes = 0;
        for (const ByteRange& range : bad) badBytes += range.upper - range.lower;
        require(stats.pending == 0, "nothing is left to try");
        require(stats.bad == badBytes, "the bad bytes are the damaged ranges");
        require(stats.rescued == loop_->size() - badBytes, "every other byte is rescued");
        require(view->resumeButton()->isEnabled(), "\"Genoptag\" stays for the bad sectors");

        // The disk as the mapfile should have it: finished but for the damage.
        std::vector<MapBlock> expected;
        uint64_t at = 0;
        for (const ByteRange& range : bad) {
            if (range.lower > at) expected.push_back({at, range.lower - at, '+'});
            expected.push_back({range.lower, range.upper - range.lower, '-'});
            at = range.upper;
        }
        if (at < loop_->size()) expected.push_back({at, loop_->size() - at, '+'});
        std::vector<MapBlock> blocks = readMapfile(imageFile_.string() + ".map");
        require(blocks.size() == expected.size() &&
                    std::equal(blocks.begin(), blocks.end(), expected.begin(),
                               [](const MapBlock& x, const MapBlock& y) {
                                   return x.pos == y.pos && x.size == y.size && x.status == y.status;
                               }),
                "the mapfile marks the damaged ranges bad and the rest finished");

        // The image against the disk: the same bytes where the disk read, zeros where it failed.
        require(fs::file_size(imageFile_) == loop_->size(), "the image is as large as the disk");
        std::ifstream image(imageFile_, std::ios::binary), source(loop_->backing(), std::ios::binary);
        std::vector<char> copied(1048576), original(1048576);
        bool damageHeldData = false;
        for (const MapBlock& block : expected) {
            for (uint64_t done = 0; done < block.size;) {
                auto length = static_cast<std::streamsize>(std::min<uint64_t>(copied.size(), block.size - done));
                image.read(copied.data(), length);
                source.read(original.data(), length);
                require(image.gcount() == length && source.gcount() == length, "the image and the disk read");
                auto end = static_cast<size_t>(length);
                if (block.status == '+') {
                    require(std::memcmp(copied.data(), original.data(), end) == 0,
                            "the image holds the disk's bytes from byte " + std::to_string(block.pos + done));
                } else {
                    require(std::all_of(copied.begin(), copied.begin() + length, [](char c) { return c == 0; }),
                            "the image holds zeros where the disk failed");
                    damageHeldData = damageHeldData ||
                                     std::any_of(original.begin(), original.begin() + length, [](char c) { return c != 0; });
                }
                done += static_cast<uint64_t>(length);
            }
        }
        require(damageHeldData, "the damaged ranges hold data on the disk");
    }

    // "Scan billedet" opens the image in a session whose scan finds the
    // fixture's volumes where its manifest puts them.
    void scanImage() {
        click(imagingView()->scanButton(), "\"Scan billedet\"");
        std::string image = imageFile_.string();
        auto imageSession = [this, image]() -> SessionPtr {
            for (const SessionPtr& s : model_.sessions())
                if (s->imageURL() == image) return s;
            return nullptr;
        };
        waitFor([&] { return imageSession() != nullptr; }, "the image's session");
        SessionPtr session = imageSession();
        waitFor([session] { return std::holds_alternative<phase::Finished>(session->quick()); }, "the image's scan");
        require(window_.content()->pageKey() == "session:" + session->id.string(), "the image's session is shown");
        shown<SessionView>("the image's session page");

        QFile file(QString::fromStdString(diskManifest_.string()));
        require(file.open(QIODevice::ReadOnly), "the disk's manifest reads");
        std::regex volume("^p[0-9]+:\t.*start sector ([0-9]+),.*file system ([A-Za-z0-9]+)");
        size_t volumes = 0;
        for (const QByteArray& line : file.readAll().split('\n')) {
            std::smatch match;
            std::string text = line.toStdString();
            if (!std::regex_search(text, match, volume)) continue;
            ++volumes;
            uint64_t offset = std::stoull(match[1].str()) * 512;
            std::string type = match[2].str();
            bool found = std::any_of(session->volumes().begin(), session->volumes().end(), [&](const VolumePtr& v) {
                return v->offset == offset && rawValue(v->type) == type;
            });
            require(found, "the scan of the image finds the " + type + " volume at byte " + std::to_string(offset));
        }
        require(volumes > 0, "the disk's manifest lists volumes");
    }

    void closeImageSession() {
        QAction* close = sessionView()->closeAction();
        close->trigger();
        waitFor([this] { return model_.sessions().empty(); }, "the image's session to close");
    }

    // The disk again, this time scanned in a session of its own.
    void scanDisk() {
        std::string name = loop_->name();
        SidebarView* sidebar = window_.content()->sidebar();
        QListWidget* list = sidebar->list();
        QListWidgetItem* row = sidebar->itemFor(sidebar::Disk{name});
        require(row != nullptr, "the disk's row");
        list->scrollToItem(row);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
        auto* page = shown<DiskDetailView>("the disk's page to show");
        click(page->scanTile(), "\"Scan disken\"");
        waitFor([this] { return !model_.sessions().empty(); }, "the disk's session");
        waitFor([this] { return std::holds_alternative<phase::Finished>(session()->quick()); }, "the disk's scan");
        require(window_.content()->pageKey() == "session:" + session()->id.string(), "the disk's session is shown");
        require(session()->source->isDevice, "the session reads the device");
    }

    // "Mere" → "Lav diskbillede af kilden …" on the session page: the sheet
    // closes, the copy's page shows, and the image equals the disk.
    void imageFromSession() {
        SessionView* view = shown<SessionView>("the session page");
        QAction* imaging = view->imagingAction();
        require(imaging->isEnabled(), "\"Lav diskbillede af kilden …\" in the menu");
        imaging->trigger();
        waitFor([] { return qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget()) != nullptr; },
                "the imaging sheet");
        auto* sheet = qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget());
        fs::path image = fs::path(destination_.path().toStdString()) / "fra-scanning.img";
        std::string chosen = image.string();
        Panels::saveFile = [chosen](const Panels::SaveFile&) { return std::optional<std::string>(chosen); };
        click(sheet->chooseButton(), "\"Vælg …\"");
        waitFor([sheet] { return sheet->destination().has_value(); }, "the destination");
        if (sheet->notices()->hasDoubt()) click(sheet->notices()->confirmBox(), "the confirmation");
        size_t before = model_.imagingJobs().size();
        click(sheet->startButton(), "\"Start kopiering\"");
        waitFor([this, before] { return model_.imagingJobs().size() > before; }, "the copy to start");
        ImagingJobPtr copy = job();
        waitFor([this, copy] { return window_.content()->pageKey() == "imaging:" + copy->id.string(); },
                "the copy's page");
        shown<ImagingView>("the copy's page to show");
        require(QApplication::activeModalWidget() == nullptr, "the sheet has closed");
        waitFor([copy] { return copy->finished() && !copy->running(); }, "the copy to end");
        settle(100);
        require(imagingView()->stateLabel()->text() == "Færdig", "the copy is complete");
        QFile copied(QString::fromStdString(chosen)), original(QString::fromStdString(loop_->backing().string()));
        require(copied.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly), "the image and the disk read");
        require(QCryptographicHash::hash(copied.readAll(), QCryptographicHash::Sha256) ==
                    QCryptographicHash::hash(original.readAll(), QCryptographicHash::Sha256),
                "the image equals the disk");
    }

    MainWindow& window_;
    AppModel& model_;
    VolumePtr fat32_;
    FileNodePtr photo_;
    QTemporaryDir destination_;
    fs::path pictures_;
    fs::path image_;
    fs::path manifest_;
    fs::path disk_;
    fs::path diskManifest_;
    std::unique_ptr<test::LoopDisk> loop_;
    fs::path imageFile_;
};

// A painter that Qt refuses draws nothing: any such warning fails the journey.
int painterWarnings = 0;
QtMessageHandler qtHandler = nullptr;

void countPainterWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("QPainter::begin")) || message.contains(QStringLiteral("Painter not active")))
        ++painterWarnings;
    if (qtHandler) qtHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    qtHandler = qInstallMessageHandler(countPainterWarnings);
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s IMAGE MANIFEST PICTURE-FOLDER DISK-IMAGE DISK-MANIFEST\n", argv[0]);
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
        Journey journey(window, model, pictures, argv[1], argv[2], argv[4], argv[5]);
        QTimer::singleShot(0, &app, [&] {
            status = journey.run();
            QApplication::quit();
        });
        QApplication::exec();
        delegate.applicationWillTerminate();
    }
    sovanta::app::backgroundPool().waitForDone();
    Background::previewQueue().waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (painterWarnings > 0) {
        std::printf("FAIL Qt refused a painter %d times\n", painterWarnings);
        return 1;
    }
    return status;
}
