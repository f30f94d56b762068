// The file browser over scanned fixture images and small synthetic trees:
// navigation, the flat listings of the search and the filters against the
// manifests, the multi-key sort, the cap of the flat walk, the gallery's
// thumbnails and selection, the recover menu and the jump to the sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "SovantaApp/BrowserView/Breadcrumb.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/BrowserView/FileRowsModel.h"
#include "SovantaApp/BrowserView/FileTable.h"
#include "SovantaApp/BrowserView/FolderTree.h"
#include "SovantaApp/BrowserView/GalleryView.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaApp/SovantaApp.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// Sets an environment variable for the life of the object.
struct ScopedEnv {
    std::string name;
    ScopedEnv(std::string n, const std::string& value) : name(std::move(n)) { ::setenv(name.c_str(), value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name.c_str()); }
};

std::unique_ptr<BrowserView> shown(const SessionPtr& session) {
    auto view = std::make_unique<BrowserView>(session);
    view->resize(1300, 800);
    view->show();
    drainEvents();
    return view;
}

std::vector<std::string> names(const std::vector<FileNodePtr>& nodes) {
    std::vector<std::string> out;
    for (auto& node : nodes) out.push_back(node->name);
    return out;
}

std::set<std::string> paths(const std::vector<FileNodePtr>& nodes) {
    std::set<std::string> out;
    for (auto& node : nodes) out.insert(node->path());
    return out;
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The manifest's files (not folders) that pass the test, as paths from the root.
template <class Test>
std::set<std::string> manifestFiles(const std::string& fixtureName, Test&& passes) {
    std::set<std::string> out;
    for (auto& row : readManifest(fixtureName))
        if (!row.isFolder() && passes(row)) out.insert("/" + row.path);
    return out;
}

FileNodePtr child(const FileNodePtr& folder, const std::string& name) {
    for (auto& c : folder->children())
        if (c->name == name) return c;
    return nullptr;
}

FileNodePtr folderAt(const FileNodePtr& root, const std::vector<std::string>& path) {
    FileNodePtr node = root;
    for (auto& name : path) node = node ? child(node, name) : nullptr;
    return node;
}

FileNodePtr addFile(const FileNodePtr& folder, const std::string& name, uint64_t size = 10,
                    EntryStatus status = EntryStatus::existing, Recoverability chance = Recoverability::good) {
    auto node = FileNode::make(name, false, size, status, chance);
    folder->add(node);
    return node;
}

FileNodePtr addFolder(const FileNodePtr& folder, const std::string& name, EntryStatus status = EntryStatus::existing) {
    auto node = FileNode::make(name, true, 0, status);
    folder->add(node);
    return node;
}

std::unordered_set<int64_t> idsOf(const std::vector<FileNodePtr>& nodes) {
    std::unordered_set<int64_t> ids;
    for (auto& node : nodes) ids.insert(node->id);
    return ids;
}

}  // namespace

// MARK: Navigation

TEST(BrowserView, OpensOnTheSelectedVolumeAndFollowsTreeAndBreadcrumb) {
    auto session = scannedSession("exfat");
    ASSERT_EQ(session->volumes().size(), 1u);
    auto view = shown(session);
    const FileNodePtr root = session->volumes().front()->root;
    ASSERT_EQ(view->folder(), root);
    EXPECT_FALSE(view->flattened());

    // The root's own children, folders first, each part by name.
    auto rows = view->rows();
    ASSERT_EQ(rows.size(), root->children().size());
    auto firstFile = std::find_if(rows.begin(), rows.end(), [](auto& n) { return !n->isDirectory; });
    EXPECT_TRUE(std::all_of(firstFile, rows.end(), [](auto& n) { return !n->isDirectory; }));
    for (auto part : {std::pair(rows.begin(), firstFile), std::pair(firstFile, rows.end())})
        EXPECT_TRUE(std::is_sorted(part.first, part.second,
                                   [](auto& a, auto& b) { return compareNamesLocalized(a->name, b->name) < 0; }));
    EXPECT_EQ(view->statusTexts(), QStringList{QString::fromStdString(Fmt::number(static_cast<int64_t>(rows.size())) + " elementer")});
    EXPECT_EQ(view->breadcrumb()->titles(), QStringList{"Rod"});

    // Opening folders down to the deepest one: the breadcrumb shortens at four.
    const std::vector<std::pair<std::vector<std::string>, QStringList>> steps = {
        {{"Dokumenter"}, {"Rod", "Dokumenter"}},
        {{"Dokumenter", "Opskrifter"}, {"Rod", "Dokumenter", "Opskrifter"}},
        {{"Dokumenter", "Opskrifter", "Gamle"}, {"Rod", "…", "Opskrifter", "Gamle"}},
        {{"Dokumenter", "Opskrifter", "Gamle", "Arkiv"}, {"Rod", "…", "Gamle", "Arkiv"}},
    };
    for (auto& [path, crumbs] : steps) {
        FileNodePtr target = folderAt(root, path);
        ASSERT_TRUE(target);
        view->open(target);
        EXPECT_EQ(view->folder(), target);
        EXPECT_EQ(view->breadcrumb()->titles(), crumbs);
        EXPECT_EQ(paths(view->rows()), paths(target->children()));
        // The folder tree shows the same folder as its chosen row.
        EXPECT_EQ(view->folderTree()->folderModel()->node(view->folderTree()->currentIndex()), target);
    }
    EXPECT_EQ(names(view->rows()), std::vector<std::string>{"Smørrebrød på Ærø.txt"});

    // The breadcrumb's first button goes back to the root.
    drainEvents();
    auto buttons = view->breadcrumb()->buttons();
    ASSERT_EQ(buttons.size(), 3u);
    QTest::mouseClick(buttons.front(), Qt::LeftButton);
    EXPECT_EQ(view->folder(), root);

    // Choosing a row of the folder tree makes it the current folder.
    FolderTree* tree = view->folderTree();
    FolderTreeModel* model = tree->folderModel();
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->data(model->index(0, 0)).toString(),
              QString::fromStdString("exFAT · " + formatBytes(session->volumes().front()->size)));
    QModelIndex volumeRow = model->index(0, 0, model->index(0, 0));
    EXPECT_EQ(model->data(volumeRow).toString(), "SOMMERHUS");
    FileNodePtr billeder = child(root, "Billeder");
    QModelIndex billederRow = model->indexOf(billeder);
    ASSERT_TRUE(billederRow.isValid());
    tree->setCurrentIndex(billederRow);
    EXPECT_EQ(view->folder(), billeder);
    // Folders only: the tree never lists a file.
    for (int row = 0; row < model->rowCount(volumeRow); ++row)
        EXPECT_TRUE(model->node(model->index(row, 0, volumeRow))->isDirectory);
}

TEST(BrowserView, BreadcrumbKeepsAtMostSixtyFourNodes) {
    auto root = FileNode::make("", true);
    FileNodePtr node = root;
    for (int i = 1; i <= 70; ++i) node = addFolder(node, "m" + std::to_string(i));
    auto path = breadcrumbPath(node);
    ASSERT_EQ(path.size(), 64u);
    EXPECT_EQ(path.front()->name, "m7");
    EXPECT_EQ(path.back(), node);

    Breadcrumb crumb([](FileNodePtr) {});
    crumb.setNode(node);
    // The chain starts at a node that still has a parent: its own name, not "Rod".
    EXPECT_EQ(crumb.titles(), (QStringList{"m7", "…", "m69", "m70"}));
}

// MARK: Search and filters

TEST(BrowserView, SearchAndEachFilterListExactlyTheMatchingFilesOfTheManifest) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    const auto lower = [](std::string s) { return lowercased(s); };
    const auto extension = [&](const ManifestRow& row) { return lower(pathExtension(baseName(row.path))); };

    struct Case {
        const char* what;
        std::function<void(BrowserView&)> set;
        std::function<bool(const ManifestRow&)> expected;
    };
    const std::vector<Case> cases = {
        {"search in capitals with spaces around", [](BrowserView& b) { b.setSearch("  README \t"); },
         [&](const ManifestRow& r) { return lower(baseName(r.path)).find("readme") != std::string::npos; }},
        {"search with Danish letters", [](BrowserView& b) { b.setSearch("ÆØÅ"); },
         [&](const ManifestRow& r) { return lower(baseName(r.path)).find("æøå") != std::string::npos; }},
        {"deleted and found", [](BrowserView& b) { b.setStatusFilter(StatusFilter::lost); },
         [](const ManifestRow& r) { return r.status != "existing"; }},
        {"existing", [](BrowserView& b) { b.setStatusFilter(StatusFilter::existing); },
         [](const ManifestRow& r) { return r.status == "existing"; }},
        {"pictures", [](BrowserView& b) { b.setCategory(FileCategory::image); },
         [&](const ManifestRow& r) { return extension(r) == "jpg" || extension(r) == "png" || extension(r) == "tif"; }},
        {"other types", [](BrowserView& b) { b.setCategory(FileCategory::other); },
         [&](const ManifestRow& r) { return extension(r) == "bin" || extension(r).empty(); }},
        {"search and status together",
         [](BrowserView& b) {
             b.setSearch("hul");
             b.setStatusFilter(StatusFilter::lost);
         },
         [](const ManifestRow& r) { return r.path.find("hul_") != std::string::npos && r.status != "existing"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        view->setSearch("");
        view->setStatusFilter(StatusFilter::all);
        view->setCategory(std::nullopt);
        c.set(*view);
        EXPECT_TRUE(view->flattened());
        auto expected = manifestFiles("exfat", c.expected);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(paths(view->rows()), expected);
        EXPECT_TRUE(std::none_of(view->rows().begin(), view->rows().end(), [](auto& n) { return n->isDirectory; }));
        const std::string count = Fmt::number(static_cast<int64_t>(expected.size())) + " filer fundet";
        // The note on a filtered listing shows only while the search text is empty.
        QStringList status{QString::fromStdString(count)};
        if (view->search().empty()) status << "Filtreret visning af alle filer under mappen";
        EXPECT_EQ(view->statusTexts(), status);
    }

    // "God chance" keeps the files rated good: the overwritten deleted files go.
    view->setSearch("");
    view->setStatusFilter(StatusFilter::all);
    view->setCategory(std::nullopt);
    view->goodOnlyBox()->click();
    EXPECT_TRUE(view->goodOnly());
    EXPECT_TRUE(std::all_of(view->rows().begin(), view->rows().end(),
                            [](auto& n) { return n->recoverability == Recoverability::good; }));
    auto overwritten = manifestFiles("exfat", [](const ManifestRow& r) { return r.note.rfind("overwritten", 0) == 0; });
    ASSERT_FALSE(overwritten.empty());
    for (auto& path : overwritten) EXPECT_EQ(paths(view->rows()).count(path), 0u) << path;
    EXPECT_EQ(paths(view->rows()).count("/Æbleskiver opskrift.txt"), 1u);

    // No match: the empty state of a filtered listing.
    view->setSearch("findes ikke");
    EXPECT_TRUE(view->rows().empty());
    EXPECT_EQ(view->emptyTitle(), "Ingen filer matcher");
    EXPECT_EQ(view->emptyText(), "Prøv at ændre søgningen eller filtrene.");
}

TEST(BrowserView, ControlsDriveTheFiltersAndOpeningAFolderClearsThem) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    const FileNodePtr root = view->folder();

    QTest::keyClicks(view->searchField(), "jpg");
    EXPECT_EQ(view->search(), "jpg");
    EXPECT_EQ(view->rows().size(), 2u);
    view->statusPicker()->setCurrentIndex(1);
    emit view->statusPicker()->activated(1);
    EXPECT_EQ(view->statusFilter(), StatusFilter::lost);
    EXPECT_EQ(names(view->rows()), std::vector<std::string>{"DSC00017.JPG"});
    int images = view->typePicker()->findText("Billeder");
    ASSERT_GT(images, 1);
    emit view->typePicker()->activated(images);
    EXPECT_EQ(view->category(), FileCategory::image);

    // "Vis i mappe" on the one row: its folder, every filter reset.
    auto menu = std::unique_ptr<QMenu>(view->makeContextMenu(idsOf(view->rows()), nullptr));
    QStringList texts;
    for (QAction* action : menu->actions()) texts << action->text();
    EXPECT_EQ(texts, (QStringList{"Gendan …", "Vis i sektorvisning", "Vis i mappe"}));
    menu->actions().last()->trigger();
    EXPECT_EQ(view->folder(), child(root, "Billeder"));
    EXPECT_EQ(view->search(), "");
    EXPECT_EQ(view->searchField()->text(), "");
    EXPECT_EQ(view->statusFilter(), StatusFilter::all);
    EXPECT_EQ(view->category(), std::nullopt);
    EXPECT_FALSE(view->flattened());

    // Opening a folder from a flat listing also resets the filters.
    view->setFolder(root);
    view->setGoodOnly(true);
    view->setSearch("x");
    view->open(child(root, "Dokumenter"));
    EXPECT_EQ(view->folder(), child(root, "Dokumenter"));
    EXPECT_FALSE(view->goodOnly());
    EXPECT_FALSE(view->goodOnlyBox()->isChecked());
    EXPECT_EQ(view->search(), "");
    // Opening a file selects it alone and shows the inspector.
    view->setShowInspector(false);
    FileNodePtr recipe = child(child(root, "Dokumenter"), "gammel kladde æøå.txt");
    ASSERT_TRUE(recipe);
    view->open(recipe);
    EXPECT_EQ(view->selection(), std::unordered_set<int64_t>{recipe->id});
    EXPECT_TRUE(view->showInspector());
    EXPECT_TRUE(view->inspector()->isVisible());
}

TEST(BrowserView, SelectionFollowsTheRowsAndTheSelectHookRefillsIt) {
    auto session = scannedSession("exfat");
    ScopedEnv select("SOVANTA_TEST_SELECT", "kendt tid.txt");
    auto view = shown(session);
    auto selected = view->selectedNodes();
    ASSERT_EQ(names(selected), std::vector<std::string>{"kendt tid.txt"});
    // The inspector previews the selection.
    EXPECT_EQ(view->previewPane()->nodes(), selected);
    EXPECT_EQ(view->statusTexts().at(1).toStdString(), "1 markeret · " + formatBytes(444));

    // A filter that drops the selected file drops it from the selection.
    view->setCategory(FileCategory::image);
    EXPECT_TRUE(view->selection().empty());
    EXPECT_EQ(view->statusTexts().size(), 2);  // count and filter note, no selection

    // Clearing the selection and reloading selects the named row again; a
    // search of spaces is no query, yet typing it reloads.
    view->setCategory(std::nullopt);
    view->setSelection({});
    EXPECT_TRUE(view->previewPane()->nodes().empty());
    view->setSearch("   ");
    EXPECT_FALSE(view->flattened());
    EXPECT_EQ(names(view->selectedNodes()), std::vector<std::string>{"kendt tid.txt"});
    // Selecting in the table is the browser's selection.
    view->table()->selectAll();
    EXPECT_EQ(view->selection().size(), view->rows().size());
}

// MARK: Sorting

TEST(BrowserView, SortsByEveryColumnBothWaysWithTiesInOrder) {
    using std::chrono::seconds;
    auto root = FileNode::make("", true);
    auto alpha = addFolder(root, "alpha 10");
    auto beta = addFolder(root, "Alpha 9", EntryStatus::deleted);
    auto gamma = addFolder(alpha, "Gamma");
    // Stored order: a, b, c, d, e, f; sizes, dates and statuses with ties.
    auto a = addFile(gamma, "fil 10.txt", 300, EntryStatus::existing, Recoverability::good);
    auto b = addFile(beta, "Fil 9.txt", 100, EntryStatus::deleted, Recoverability::poor);
    auto c = addFile(alpha, "fil 9.txt", 200, EntryStatus::orphaned, Recoverability::partial);
    auto d = addFile(root, "billede.jpg", 100, EntryStatus::carved, Recoverability::unknown);
    auto e = addFile(beta, "ebbe.txt", 300, EntryStatus::existing, Recoverability::good);
    auto f = addFile(gamma, "zebra.txt", 200, EntryStatus::deleted, Recoverability::good);
    a->modified = Date(seconds(2000));
    b->modified = Date(seconds(1000));
    c->modified = std::nullopt;
    d->modified = Date(seconds(3000));
    e->modified = Date(seconds(1000));
    f->modified = std::nullopt;
    const std::vector<FileNodePtr> stored = {a, b, c, d, e, f};

    using C = SortColumn;
    struct Case {
        SortOrder order;
        std::vector<FileNodePtr> expected;
    };
    const std::vector<Case> cases = {
        // Digit runs by value, case ignored: the two "fil 9" tie and keep their order.
        {{{C::name, true}}, {d, e, b, c, a, f}},
        {{{C::name, false}}, {f, a, b, c, e, d}},
        {{{C::size, true}}, {b, d, c, f, a, e}},
        {{{C::size, false}}, {a, e, c, f, b, d}},
        // Undated first.
        {{{C::modified, true}}, {c, f, b, e, a, d}},
        {{{C::modified, false}}, {d, a, b, e, c, f}},
        // "Eksisterende", "Forældreløs", "Signaturfund", "Slettet".
        {{{C::status, true}}, {a, e, c, d, b, f}},
        {{{C::status, false}}, {b, f, d, c, a, e}},
        // unknown, poor, partial, good.
        {{{C::chance, true}}, {d, b, c, a, e, f}},
        {{{C::chance, false}}, {a, e, f, c, b, d}},
        // "/", "/alpha 10", "/alpha 10/Gamma", "/Alpha 9": digits by value put 9 before 10.
        {{{C::location, true}}, {d, b, e, c, a, f}},
        {{{C::location, false}}, {a, f, c, b, e, d}},
        // Ties of the first key are ordered by the next.
        {{{C::size, true}, {C::name, false}}, {b, d, f, c, a, e}},
        {{{C::status, false}, {C::modified, true}, {C::name, true}}, {f, b, d, c, e, a}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        auto rows = stored;
        sortRows(rows, cases[i].order, false);
        EXPECT_EQ(names(rows), names(cases[i].expected));
    }

    // Folders go first in a folder's listing, also when sorted descending;
    // "Chance" puts folders before every file.
    std::vector<FileNodePtr> listing = {d, alpha, beta};
    sortRows(listing, {{C::name, false}}, true);
    EXPECT_EQ(names(listing), (std::vector<std::string>{"alpha 10", "Alpha 9", "billede.jpg"}));
    listing = {d, alpha};
    sortRows(listing, {{C::chance, true}}, false);
    EXPECT_EQ(names(listing), (std::vector<std::string>{"alpha 10", "billede.jpg"}));
}

TEST(BrowserView, ClickingAColumnTitleResortsTheSameRows) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    FileNodePtr root = view->folder();
    view->setSelection({child(root, "kendt tid.txt")->id});
    auto before = view->rows();

    // A new column comes first, ascending; a second click turns it.
    EXPECT_EQ(FileTable::clicked({{SortColumn::name, true}}, SortColumn::size),
              (SortOrder{{SortColumn::size, true}, {SortColumn::name, true}}));
    EXPECT_EQ(FileTable::clicked({{SortColumn::size, true}, {SortColumn::name, true}}, SortColumn::size),
              (SortOrder{{SortColumn::size, false}, {SortColumn::name, true}}));

    QHeaderView* header = view->table()->header();
    const int nameColumn = static_cast<int>(SortColumn::name);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(nameColumn) + 20, header->height() / 2));
    EXPECT_EQ(view->sortOrder(), (SortOrder{{SortColumn::name, false}}));
    auto rows = view->rows();
    EXPECT_EQ(paths(rows), paths(before));
    // Folders first, in descending order, then the files.
    auto firstFile = std::find_if(rows.begin(), rows.end(), [](auto& n) { return !n->isDirectory; });
    EXPECT_TRUE(std::all_of(rows.begin(), firstFile, [](auto& n) { return n->isDirectory; }));
    EXPECT_TRUE(std::is_sorted(rows.begin(), firstFile,
                               [](auto& x, auto& y) { return compareNamesLocalized(x->name, y->name) > 0; }));
    EXPECT_EQ(names(view->selectedNodes()), std::vector<std::string>{"kendt tid.txt"});
    EXPECT_EQ(view->table()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
}

// The window at its default size shows every date and status of the table
// whole: the columns after the name give way only down to what their texts
// need.
TEST(BrowserView, TheDefaultWindowShowsDatesAndStatusesWhole) {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    auto model = AppModel::make(std::move(services));
    MainWindow window(*model);
    window.show();
    model->openImage(fixtureImage("exfat"), SessionTab::files);
    BrowserView* view = nullptr;
    ASSERT_TRUE(spinUntil([&] {
        view = window.findChild<BrowserView*>();
        return view && view->isVisible() && !view->rows().empty();
    }));
    drainEvents();
    FileTable* table = view->table();
    ASSERT_TRUE(table->isVisible());
    const QFontMetrics metrics(table->font());
    const int margin = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1);
    // Every status of the fixture, and undated rows beside dated ones.
    view->setStatusFilter(StatusFilter::all);
    view->setSearch(".");
    ASSERT_GT(view->rows().size(), 10u);
    for (SortColumn column : {SortColumn::modified, SortColumn::status, SortColumn::size}) {
        const int width = table->header()->sectionSize(static_cast<int>(column));
        for (const auto& node : view->rows()) {
            const QString text = FileRowsModel::cellText(*node, column);
            EXPECT_LE(metrics.horizontalAdvance(text) + margin, width) << text.toStdString();
        }
    }
    // The name takes the rest of the width; in the narrowest window it keeps
    // its minimum and the table scrolls sideways.
    const int nameColumn = static_cast<int>(SortColumn::name);
    EXPECT_EQ(table->header()->length(), table->viewport()->width());
    EXPECT_GE(table->header()->sectionSize(nameColumn), 180);
    window.resize(window.minimumSize());
    drainEvents();
    EXPECT_EQ(table->header()->sectionSize(nameColumn), 180);
    EXPECT_GT(table->header()->length(), table->viewport()->width());
    EXPECT_TRUE(table->horizontalScrollBar()->isVisible());
    for (auto& session : std::vector<SessionPtr>(model->sessions())) model->close(session);

    // Floors above a column's minimum hold while there is room for them, and
    // only then do the columns give way towards their minimums; a floor above
    // the ideal width widens the column.
    struct Case {
        int width;
        std::vector<int> floors;
        std::vector<int> expected;
    };
    const std::vector<Case> cases = {
        {180 + 586, {}, {86, 140, 100, 80, 180}},
        {180 + 374, {}, {64, 100, 70, 60, 80}},
        {180 + 480, {}, {75, 120, 85, 70, 130}},
        {180 + 480, {0, 130, 95, 0, 0}, {71, 133, 96, 66, 112}},
        {180 + 429, {0, 130, 95, 0, 0}, {64, 130, 95, 60, 80}},
        {180 + 400, {0, 130, 95, 0, 0}, {64, 114, 81, 60, 80}},
        {180 + 300, {0, 130, 95, 0, 0}, {64, 100, 70, 60, 80}},
        {2000, {0, 150, 0, 0, 0}, {86, 150, 100, 80, 180}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(FileTable::otherColumnWidths(c.width, c.floors), c.expected);
    }
}

// MARK: The cap

TEST(BrowserView, TheFlatWalkStopsAtTheCap) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    // 500 folders of 500 files: exactly as many files as the cap.
    auto top = FileNode::make("stor", true);
    for (int f = 0; f < 500; ++f) {
        auto folder = addFolder(top, "mappe " + std::to_string(f));
        for (int i = 0; i < 500; ++i) addFile(folder, "f" + std::to_string(i) + ".txt");
    }
    view->setFolder(top);
    EXPECT_EQ(view->rows().size(), 500u);
    EXPECT_FALSE(view->truncated());
    view->setStatusFilter(StatusFilter::existing);
    EXPECT_EQ(view->rows().size(), flatLimit);
    EXPECT_TRUE(view->truncated());
    EXPECT_EQ(view->statusTexts(), (QStringList{"250.000 filer fundet", "(viser de første 250.000)",
                                                "Filtreret visning af alle filer under mappen"}));

    // One more file: the walk stops before the folders entered last (the
    // first ones, as siblings are entered last-first).
    addFile(child(top, "mappe 0"), "ekstra.txt");
    Listing listing = list(*top, Filters{"", StatusFilter::existing, std::nullopt, false});
    EXPECT_EQ(listing.rows.size(), flatLimit);
    EXPECT_TRUE(listing.truncated);
    EXPECT_EQ(listing.rows.back()->parent(), child(top, "mappe 0"));
    EXPECT_EQ(listing.rows.back()->name, "f499.txt");
    // Below the cap nothing is cut.
    listing = list(*child(top, "mappe 3"), Filters{"", StatusFilter::existing, std::nullopt, false});
    EXPECT_EQ(listing.rows.size(), 500u);
    EXPECT_FALSE(listing.truncated);
}

// MARK: Empty states

TEST(BrowserView, EmptyStatesForNoVolumesAndAnEmptyFolder) {
    auto empty = scannedSession("gpt_empty");
    ASSERT_TRUE(empty->volumes().empty());
    for (auto mode : {BrowserMode::list, BrowserMode::gallery}) {
        auto view = shown(empty);
        view->setMode(mode);
        EXPECT_EQ(view->emptyTitle(), "Ingen filer endnu");
        EXPECT_EQ(view->emptyText(), "Kør en scanning under Oversigt.");
        view->selectVolume(std::nullopt);
        EXPECT_EQ(view->folder(), nullptr);
        EXPECT_FALSE(view->recoverFolderAction()->isVisible());
    }

    auto session = scannedSession("exfat");
    auto view = shown(session);
    view->setFolder(FileNode::make("tom", true));
    EXPECT_EQ(view->emptyTitle(), "Mappen er tom");
    EXPECT_EQ(view->emptyText(), "Der er ingen filer i denne mappe.");
    EXPECT_EQ(view->statusTexts(), QStringList{"0 elementer"});
}

// MARK: Recovery and the sector jump

TEST(BrowserView, RecoverMenuTextsAndTheRootName) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    FileNodePtr root = view->folder();
    EXPECT_EQ(view->recoverFolderAction()->text(), "Gendan hele mappen \"roden\"");
    EXPECT_FALSE(view->recoverSelectedAction()->isEnabled());

    // Nothing selected: the button recovers every row, named after the volume.
    view->recoverButton()->click();
    ASSERT_TRUE(view->recoverRequest());
    EXPECT_EQ(view->recoverRequest()->nodes, view->rows());
    EXPECT_EQ(view->recoverRequest()->rootName, session->volumes().front()->title());
    // The request shows the recovery sheet; dismissing it ends the request.
    auto sheets = view->findChildren<RecoverSheet*>();
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_TRUE(sheets.front()->isVisible());
    static_cast<QDialog*>(sheets.front())->reject();
    drainEvents();
    EXPECT_FALSE(view->recoverRequest());
    EXPECT_TRUE(view->findChildren<RecoverSheet*>().isEmpty());

    view->recoverButton()->click();
    const Uuid first = view->recoverRequest()->id;
    view->recoverFolderAction()->trigger();
    EXPECT_NE(view->recoverRequest()->id, first);
    EXPECT_EQ(view->recoverRequest()->nodes, std::vector<FileNodePtr>{root});

    // A folder of 1234 files that belongs to no volume: the session's title.
    auto loose = FileNode::make("løs", true);
    for (int i = 0; i < 1234; ++i) addFile(loose, "fil " + std::to_string(i));
    view->setFolder(loose);
    view->setSelection(idsOf(view->rows()));
    EXPECT_EQ(view->recoverSelectedAction()->text(), "Gendan markerede (1234)");
    EXPECT_EQ(view->recoverShownAction()->text(), "Gendan alle viste (1.234)");
    EXPECT_EQ(view->recoverFolderAction()->text(), "Gendan hele mappen \"roden\"");
    view->recoverSelectedAction()->trigger();
    EXPECT_EQ(view->recoverRequest()->nodes.size(), 1234u);
    EXPECT_EQ(view->recoverRequest()->rootName, "exfat.img");
    view->setFolder(addFolder(loose, "Under & over"));
    EXPECT_EQ(view->recoverFolderAction()->text(), "Gendan hele mappen \"Under && over\"");

    // The first node decides: a volume found later (as by the deep scan) names it.
    auto lostRoot = FileNode::make("", true);
    auto found = addFile(addFolder(lostRoot, "x"), "y.jpg");
    auto lostVolume = Volume::make(FileSystemType::ntfs, "Gammel", 0, 1000, lostRoot, origin::deepScanBackupBoot);
    auto volumes = session->volumes();
    volumes.push_back(lostVolume);
    EXPECT_EQ(rootName({found, child(root, "kendt tid.txt")}, volumes, "s"), "Gammel (NTFS)");
    EXPECT_EQ(rootName({child(root, "kendt tid.txt"), found}, volumes, "s"), session->volumes().front()->title());
    EXPECT_EQ(rootName({FileNode::make("z", false)}, volumes, "s"), "s");

    // An empty list asks for nothing.
    view->clearRecoverRequest();
    view->recover({});
    EXPECT_FALSE(view->recoverRequest());
}

TEST(BrowserView, TheSectorJumpGoesToTheStartOfTheSector) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    auto loose = FileNode::make("løs", true);
    auto placed = FileNode::make("a.bin", false, 10, EntryStatus::existing, Recoverability::good,
                                 std::vector<Extent>{{std::nullopt, 512}, {1000, 10}});
    loose->add(placed);
    auto resident = addFile(loose, "b.bin");
    view->setFolder(loose);
    ASSERT_EQ(session->source->sectorSize, 512);

    auto menu = std::unique_ptr<QMenu>(view->makeContextMenu({placed->id}, nullptr));
    QAction* jump = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == "Vis i sektorvisning") jump = action;
    ASSERT_TRUE(jump);
    jump->trigger();
    EXPECT_EQ(session->sectorOffset(), 512u);
    EXPECT_EQ(session->tab(), SessionTab::sectors);

    // A file without a place on the source offers no jump.
    menu.reset(view->makeContextMenu({resident->id}, nullptr));
    for (QAction* action : menu->actions()) EXPECT_NE(action->text(), "Vis i sektorvisning");
    // Without rows the menu's one entry is disabled.
    menu.reset(view->makeContextMenu({}, nullptr));
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_FALSE(menu->actions().front()->isEnabled());
}

// MARK: Gallery

TEST(BrowserView, GalleryShowsThumbnailsAndMarksWhatDidNotDecode) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    FileNodePtr root = view->folder();
    // A picture whose bytes are the volume's boot sector: it cannot decode.
    auto broken = FileNode::make("kaput.jpg", false, 4096, EntryStatus::deleted, Recoverability::good,
                                 std::vector<Extent>{{0, 4096}});
    child(root, "Billeder")->add(broken);
    view->galleryButton()->click();
    EXPECT_EQ(view->mode(), BrowserMode::gallery);
    view->setCategory(FileCategory::image);
    ASSERT_EQ(view->shownContent(), view->gallery());
    ASSERT_EQ(view->rows().size(), 5u);

    GalleryView* gallery = view->gallery();
    auto byName = [&](const std::string& name) {
        auto it = std::find_if(view->rows().begin(), view->rows().end(), [&](auto& n) { return n->name == name; });
        return it == view->rows().end() ? nullptr : *it;
    };
    FileNodePtr photo = byName("Øresund ved aften.jpg");
    ASSERT_TRUE(photo);
    ASSERT_TRUE(spinUntil([&] {
        auto* cell = gallery->cell(photo->id);
        auto* bad = gallery->cell(broken->id);
        return cell && cell->image && bad && !bad->loading;
    }));
    const QImage& image = *gallery->cell(photo->id)->image;
    EXPECT_EQ(std::max(image.width(), image.height()), Preview::galleryPixels);
    EXPECT_TRUE(gallery->cell(broken->id)->broken);
    EXPECT_FALSE(gallery->cell(broken->id)->image);

    // A plain click selects one cell; a click with Ctrl adds or removes one.
    auto click = [&](const FileNodePtr& node, Qt::KeyboardModifiers modifiers) {
        int row = static_cast<int>(std::find(view->rows().begin(), view->rows().end(), node) - view->rows().begin());
        QRect r = gallery->visualRect(gallery->model()->index(row, 0));
        QTest::mouseClick(gallery->viewport(), Qt::LeftButton, modifiers, r.center());
    };
    click(photo, Qt::NoModifier);
    EXPECT_EQ(view->selection(), std::unordered_set<int64_t>{photo->id});
    click(broken, Qt::ControlModifier);
    EXPECT_EQ(view->selection(), (std::unordered_set<int64_t>{photo->id, broken->id}));
    click(photo, Qt::ControlModifier);
    EXPECT_EQ(view->selection(), std::unordered_set<int64_t>{broken->id});
    // The table shares the selection.
    view->listButton()->click();
    EXPECT_EQ(view->shownContent(), view->table());
    EXPECT_EQ(view->table()->selectionModel()->selectedRows().size(), 1);

    // Files of other types show their icon and never queue a decode.
    view->setCategory(FileCategory::document);
    view->setMode(BrowserMode::gallery);
    // Decodes of pictures that left the screen may still be finishing.
    EXPECT_TRUE(spinUntil([&] { return gallery->loadsInFlight() == 0; }));
    for (auto& node : view->rows())
        if (auto* cell = gallery->cell(node->id)) {
            EXPECT_FALSE(cell->loading || cell->image);
        }
}

// A scan's merge that puts a row above the gallery's cells: each cell stays
// with its file, so that nothing shown or failed is decoded again.
TEST(BrowserView, AMergeAboveTheGallerysCellsKeepsThem) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    FileNodePtr pictures = child(view->folder(), "Billeder");
    auto broken = FileNode::make("kaput.jpg", false, 4096, EntryStatus::deleted, Recoverability::good,
                                 std::vector<Extent>{{0, 4096}});
    pictures->add(broken);
    view->setMode(BrowserMode::gallery);
    view->setFolder(pictures);
    GalleryView* gallery = view->gallery();
    ASSERT_TRUE(spinUntil([&] {
        auto* cell = gallery->cell(broken->id);
        return cell && !cell->loading && gallery->loadsInFlight() == 0;
    }));
    ASSERT_TRUE(gallery->cell(broken->id)->broken);
    const Ticket* load = gallery->cell(broken->id)->load.get();
    auto rowOf = [&](const FileNodePtr& node) {
        return std::find(view->rows().begin(), view->rows().end(), node) - view->rows().begin();
    };
    const auto before = rowOf(broken);

    // A file that sorts first, and a merge that lands.
    pictures->add(FileNode::make("0.jpg", false, 4096, EntryStatus::deleted, Recoverability::good,
                                 std::vector<Extent>{{0, 4096}}));
    session->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }, std::chrono::seconds(300)));
    drainEvents();
    ASSERT_EQ(rowOf(broken), before + 1);
    const auto* kept = gallery->cell(broken->id);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->load.get(), load);
    EXPECT_TRUE(kept->broken);
    EXPECT_FALSE(kept->loading);
}

// Jumping from the top of a long gallery to its end: the cells that left the
// screen before their decode started read nothing; only the last screenful
// is decoded.
TEST(BrowserView, ScrollingPastTheGalleryDecodesOnlyWhatIsStillOnScreen) {
    auto session = scannedSession("exfat");
    auto view = shown(session);
    view->setSearch("Øresund ved aften.jpg");
    ASSERT_EQ(view->rows().size(), 1u);
    FileNodePtr photo = view->rows().front();
    view->setSearch("");
    auto many = FileNode::make("mange", true);
    for (int i = 0; i < 400; ++i)
        many->add(FileNode::make("p" + std::to_string(i) + ".jpg", false, photo->size, EntryStatus::existing,
                                 Recoverability::good, photo->data));
    // Both places on the preview queue are held until after the jump, so no
    // decode of the first screenful can start before it.
    auto release = std::make_shared<std::atomic<bool>>(false);
    struct Release {
        std::shared_ptr<std::atomic<bool>> flag;
        ~Release() { flag->store(true); }
    } guard{release};
    for (int i = 0; i < 2; ++i)
        Background::onPreviewQueue([release] {
            while (!release->load()) QThread::msleep(1);
        });
    view->setMode(BrowserMode::gallery);
    view->setFolder(many);
    GalleryView* gallery = view->gallery();
    auto onScreen = [&] {
        std::vector<int64_t> ids;
        for (auto& node : many->children())
            if (gallery->cell(node->id)) ids.push_back(node->id);
        return ids;
    };
    ASSERT_TRUE(spinUntil([&] { return !onScreen().empty(); }));
    const auto first = onScreen();
    ASSERT_GT(first.size(), 8u);
    gallery->scrollToBottom();
    ASSERT_TRUE(spinUntil([&] { return onScreen() != first; }));
    release->store(true);
    ASSERT_TRUE(spinUntil([&] { return gallery->loadsInFlight() == 0; }));
    const auto last = onScreen();
    ASSERT_FALSE(last.empty());
    for (int64_t id : last) EXPECT_TRUE(gallery->cell(id)->image) << id;

    size_t decoded = 0;
    for (auto& node : many->children())
        if (Preview::cached(Preview::cacheKey(node->id, Preview::galleryPixels))) ++decoded;
    EXPECT_EQ(decoded, last.size());
}

TEST(BrowserView, TestHooksAreReadWhenTheBrowserComesOnScreen) {
    auto session = scannedSession("exfat");
    ScopedEnv gallery("SOVANTA_TEST_GALLERY", "");
    ScopedEnv search("SOVANTA_TEST_SEARCH", "jpg");
    ScopedEnv select("SOVANTA_TEST_SELECT", "DSC00017.JPG");
    auto view = shown(session);
    EXPECT_EQ(view->mode(), BrowserMode::gallery);
    EXPECT_EQ(view->search(), "jpg");
    EXPECT_EQ(view->searchField()->text(), "jpg");
    EXPECT_EQ(names(view->selectedNodes()), std::vector<std::string>{"DSC00017.JPG"});
    EXPECT_TRUE(view->galleryButton()->isChecked());
}
