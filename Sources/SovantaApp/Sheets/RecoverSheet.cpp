#include "SovantaApp/Sheets/RecoverSheet.h"

#include <tuple>
#include <unordered_set>
#include <utility>

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Models/Destination.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "SovantaApp/Threads.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

namespace fs = std::filesystem;

// The count runs on a worker: it reads the trees through snapshots of each
// folder's children, which stay as they are while the session adds to the
// trees on the GUI thread; what they add after the sheet opened is not counted.
struct RecoverSheet::Count {
    std::unordered_set<int64_t> seen;
    Summary summary;

    void take(const FileNode& file) {
        if (!seen.insert(file.id).second) return;
        summary.files += 1;
        summary.bytes += file.size;
        if (file.status != EntryStatus::existing) summary.lost += 1;
    }

    void run(const std::vector<FileNodePtr>& nodes, uint64_t addedUpTo) {
        std::unordered_set<int64_t> walked;
        std::vector<FileNodePtr> folders;
        for (const auto& node : nodes) {
            if (!node) continue;
            if (!node->isDirectory) {
                take(*node);
                continue;
            }
            folders.push_back(node);
            while (!folders.empty()) {
                FileNodePtr folder = std::move(folders.back());
                folders.pop_back();
                if (!walked.insert(folder->id).second) continue;
                const FileNode::Children children = folder->childrenSnapshot();
                for (const auto& child : *children) {
                    if (child->addedAt() > addedUpTo) continue;
                    if (child->isDirectory)
                        folders.push_back(child);
                    else
                        take(*child);
                }
            }
        }
    }
};

std::string RecoverSheet::summaryLine(const Summary& summary) {
    std::string line = Fmt::number(summary.files) + " filer · " + formatBytes(summary.bytes);
    if (summary.lost >= 1) line += " · " + Fmt::number(summary.lost) + " slettede/fundne";
    return line;
}

RecoverSheet::Outcome RecoverSheet::outcome(const RecoveryResult& result) {
    // The files a stop left untouched are counted too, where there are any.
    const std::string notTried =
        result.notTried > 0 ? ", " + Fmt::number(result.notTried) + " ikke forsøgt" : std::string();
    if (result.cancelled)
        return {static_cast<int>(Callout::Kind::warning), "Gendannelsen blev stoppet",
                Fmt::number(result.recovered + result.withErrors) + " filer nåede at blive gendannet" + notTried +
                    "."};
    // A run with a failure line of its own (the source gone before a file was
    // tried, a report that could not be written) is no clean success either.
    if (result.failed > 0 || result.withErrors > 0 || result.notTried > 0 || !result.failures.empty())
        return {static_cast<int>(Callout::Kind::warning), "Færdig med bemærkninger",
                Fmt::number(result.recovered) + " filer gendannet uden fejl, " + Fmt::number(result.withErrors) +
                    " med ulæselige sektorer (udfyldt med nuller), " + Fmt::number(result.failed) + " mislykkedes" +
                    notTried + "."};
    return {static_cast<int>(Callout::Kind::success), "Færdig",
            Fmt::number(result.recovered) + " filer (" + formatBytes(result.bytes) + ") er gendannet."};
}

RecoverSheet::RecoverSheet(SessionPtr session, std::vector<FileNodePtr> nodes, std::string rootName, QWidget* parent)
    : QDialog(parent),
      session_(std::move(session)),
      nodes_(std::move(nodes)),
      rootName_(std::move(rootName)),
      job_(RecoveryJob::make()) {
    setWindowTitle(QStringLiteral("Gendan filer"));
    setWindowModality(Qt::WindowModal);

    // 580 wide: the column is 532 inside the margins.
    SheetFrame frame = makeSheetFrame(this, 532, 16, "arrow.down.doc.fill", QStringLiteral("Gendan filer"),
                                      QStringLiteral("Tæller filer …"));
    QVBoxLayout* stack = frame.stack;
    QWidget* body = stack->parentWidget();
    summaryLabel_ = frame.subtitle;

    pages_ = {makeSetupPage(body), makeProgressPage(body), makeResultPage(body)};
    for (QWidget* page : pages_) stack->addWidget(page);

    connect(chooseButton_, &QPushButton::clicked, this, &RecoverSheet::choose);
    connect(keepFolders_, &QCheckBox::toggled, this, [this](bool on) { options_.keepFolderStructure = on; });
    connect(restoreDates_, &QCheckBox::toggled, this, [this](bool on) { options_.restoreDates = on; });
    connect(writeReport_, &QCheckBox::toggled, this, [this](bool on) { options_.writeReport = on; });
    connect(notices_, &DestinationNotices::changed, this, &RecoverSheet::updateButtons);
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
    connect(recoverButton_, &QPushButton::clicked, this, &RecoverSheet::start);
    connect(stopButton_, &QPushButton::clicked, this, [this] { job_->reporter->cancel(); });
    connect(job_.get(), &RecoveryJob::progressChanged, this, &RecoverSheet::showProgress);
    connect(job_.get(), &RecoveryJob::runningChanged, this, &RecoverSheet::followJob);
    connect(job_.get(), &RecoveryJob::resultChanged, this, &RecoverSheet::followJob);

    updateDestination();
    updateButtons();
    followJob();
    beginCount();
}

RecoverSheet::~RecoverSheet() = default;

// The setup: where the files go and how, the warnings of the destination, the buttons.
QWidget* RecoverSheet::makeSetupPage(QWidget* body) {
    auto* setup = new QWidget(body);
    auto* setupStack = new QVBoxLayout(setup);
    setupStack->setContentsMargins(0, 0, 0, 0);
    setupStack->setSpacing(14);
    setupStack->addWidget(makeDestinationBox(setup));

    note_ = textLabel(qs("Filerne lægges i en ny mappe med navnet \"" + visibleText(RecoveryEngine::sanitize(rootName_)) +
                         "\". Eksisterende filer overskrives aldrig."),
                      Style::font(Style::TextStyle::caption), Style::secondaryText(), setup);
    note_->setWordWrap(true);
    setupStack->addWidget(note_);

    notices_ = new DestinationNotices(
        "Vælg en anden placering",
        "Det kan ikke afgøres, om mappen ligger på den disk, du gendanner fra. Gendannelse dertil kan overskrive "
        "netop de data, du prøver at redde.",
        "Mappen ligger ikke på den disk, jeg gendanner fra", setup);
    setupStack->addWidget(notices_);

    std::tie(cancelButton_, recoverButton_) =
        addSheetButtons(setupStack, setup, QStringLiteral("Annuller"), QStringLiteral("Gendan"));
    return setup;
}

QWidget* RecoverSheet::makeDestinationBox(QWidget* setup) {
    auto* box = new DestinationBox(QStringLiteral("Gem i:"), QStringLiteral("Ingen mappe valgt"),
                                   QStringLiteral("Vælg mappe …"), setup);
    destinationBox_ = box;
    destinationLabel_ = box->pathLabel();
    chooseButton_ = box->chooseButton();
    QVBoxLayout* boxStack = box->rows();
    keepFolders_ = new QCheckBox(QStringLiteral("Bevar mappestrukturen"), box);
    restoreDates_ = new QCheckBox(QStringLiteral("Gendan oprindelige datoer"), box);
    writeReport_ = new QCheckBox(QStringLiteral("Skriv en rapport (CSV) over alle gendannede filer"), box);
    keepFolders_->setChecked(options_.keepFolderStructure);
    restoreDates_->setChecked(options_.restoreDates);
    writeReport_->setChecked(options_.writeReport);
    boxStack->addWidget(keepFolders_);
    boxStack->addWidget(restoreDates_);
    boxStack->addWidget(writeReport_);
    return box;
}

// The copy while it runs: its progress, counts, the file being copied, the stop button.
QWidget* RecoverSheet::makeProgressPage(QWidget* body) {
    auto* running = new QWidget(body);
    auto* runStack = new QVBoxLayout(running);
    runStack->setContentsMargins(0, 0, 0, 0);
    runStack->setSpacing(12);
    progressBar_ = new QProgressBar(running);
    progressBar_->setRange(0, 1000);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    runStack->addWidget(progressBar_);
    auto* counts = new QHBoxLayout;
    QFont callout = Style::font(Style::TextStyle::callout);
    countLabel_ = textLabel(QString(), callout, std::nullopt, running);
    bytesLabel_ = textLabel(QString(), callout, std::nullopt, running);
    counts->addWidget(countLabel_);
    counts->addStretch(1);
    counts->addWidget(bytesLabel_);
    runStack->addLayout(counts);
    auto* current = new PathLabel(running);
    current->setFont(Style::font(Style::TextStyle::caption));
    setTextColour(current, Style::secondaryText());
    currentFile_ = current;
    runStack->addWidget(currentFile_);
    auto* runButtons = new QHBoxLayout;
    runButtons->addStretch(1);
    stopButton_ = new QPushButton(QStringLiteral("Stop"), running);
    stopButton_->setAutoDefault(false);
    runButtons->addWidget(stopButton_);
    runStack->addLayout(runButtons);
    return running;
}

// The result, filled when it comes.
QWidget* RecoverSheet::makeResultPage(QWidget* body) {
    auto* done = new QWidget(body);
    resultStack_ = new QVBoxLayout(done);
    resultStack_->setContentsMargins(0, 0, 0, 0);
    resultStack_->setSpacing(12);
    return done;
}

int RecoverSheet::page() const { return page_; }

std::vector<QLabel*> RecoverSheet::failureLabels() const {
    std::vector<QLabel*> labels;
    if (!failureList_) return labels;
    for (auto* label : failureList_->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        labels.push_back(label);
    return labels;
}

// MARK: Counting

void RecoverSheet::beginCount() {
    QPointer<RecoverSheet> sheet(this);
    inBackground([sheet, nodes = nodes_, addedUpTo = FileNode::additions()]() mutable {
        Count count;
        count.run(nodes, addedUpTo);
        // The nodes go with the step, so that they are released on the GUI thread.
        onMain(sheet, [summary = count.summary, nodes = std::move(nodes)](RecoverSheet& shown) { shown.setSummary(summary); });
    });
}

void RecoverSheet::setSummary(Summary summary) {
    summary_ = summary;
    summaryLabel_->setText(qs(summaryLine(summary)));
    emit counted();
}

// MARK: Destination

void RecoverSheet::choose() {
    auto chosen = Panels::chooseFolder({"Vælg hvor filerne skal gemmes", "Vælg"});
    if (!chosen || chosen->empty()) return;
    validate(*chosen);
}

void RecoverSheet::validate(const fs::path& folder) {
    destination_ = folder;
    updateDestination();
    notices_->clear();
    std::optional<fs::path> imageFile;
    if (session_->imageURL()) imageFile = fs::path(*session_->imageURL());
    switch (Destination::forRecovery(folder, *session_->source, imageFile)) {
    case SourceOverlap::same:
        notices_->setProblem(
            "Mappen ligger på den disk, du gendanner fra. Gendannelse dertil kan overskrive netop de data, du "
            "prøver at redde.");
        return;
    case SourceOverlap::unknown:
        notices_->showDoubt();
        break;
    case SourceOverlap::different:
        break;
    }
    if (!summary_) return;
    if (auto free = Destination::shortOfSpace(folder, summary_->bytes))
        notices_->setWarning("Der er kun " + formatBytes(*free) + " ledig plads, men filerne fylder " +
                             formatBytes(summary_->bytes) + ".");
}

void RecoverSheet::updateDestination() { destinationBox_->showPath(destination_); }

void RecoverSheet::updateButtons() {
    recoverButton_->setEnabled(destination_ && notices_->allowsStart() && !job_->running() && !job_->result());
    adjustSize();
}

// MARK: Running

void RecoverSheet::start() {
    if (!destination_ || !notices_->allowsStart()) return;
    job_->start(nodes_, rootName_, session_->source, *destination_, options_);
}

void RecoverSheet::followJob() {
    int wanted = job_->result() ? 2 : job_->running() ? 1 : 0;
    if (wanted == 2 && page_ != 2) showResult();
    if (wanted == 1) showProgress();
    // Only the view shown takes room: the sheet is as high as that view.
    page_ = wanted;
    for (int i = 0; i < 3; ++i) pages_[size_t(i)]->setVisible(i == wanted);
    updateButtons();
}

void RecoverSheet::showProgress() {
    const RecoveryProgress& progress = job_->progress();
    progressBar_->setValue(progress.bytesTotal == 0
                               ? 0
                               : static_cast<int>(1000.0 * static_cast<double>(progress.bytesDone) /
                                                  static_cast<double>(progress.bytesTotal)));
    countLabel_->setText(qs(Fmt::number(progress.filesDone) + " af " + Fmt::number(progress.filesTotal) + " filer"));
    bytesLabel_->setText(qs(formatBytes(progress.bytesDone) + " af " + formatBytes(progress.bytesTotal)));
    static_cast<PathLabel*>(currentFile_)->setFullText(qs(visibleText(progress.currentFile)));
}

void RecoverSheet::showResult() {
    const RecoveryResult& result = *job_->result();
    QWidget* page = pages_[2];
    Outcome notice = outcome(result);
    outcome_ = new Callout(static_cast<Callout::Kind>(notice.kind), notice.title, notice.message, page);
    resultStack_->addWidget(outcome_);

    if (!result.failures.empty()) {
        failureArea_ = new QScrollArea(page);
        failureArea_->setWidgetResizable(true);
        failureArea_->setFrameShape(QFrame::NoFrame);
        failureArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        failureArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        failureList_ = new QWidget;
        auto* lines = new QVBoxLayout(failureList_);
        lines->setContentsMargins(0, 0, 0, 0);
        lines->setSpacing(3);
        QFont caption = Style::font(Style::TextStyle::caption);
        size_t shown = std::min(result.failures.size(), shownFailures);
        for (size_t i = 0; i < shown; ++i) {
            auto* line = textLabel(qs(visibleText(result.failures[i])), caption, Style::secondaryText(), failureList_);
            line->setWordWrap(true);
            lines->addWidget(line);
        }
        lines->addStretch(1);
        failureArea_->setWidget(failureList_);
        failureArea_->setMaximumHeight(120);
        failureArea_->setMinimumHeight(std::min(120, failureList_->sizeHint().height()));
        resultStack_->addWidget(failureArea_);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    if (result.folder) {
        revealButton_ = new QPushButton(QStringLiteral("Vis i filhåndtering"), page);
        revealButton_->setAutoDefault(false);
        connect(revealButton_, &QPushButton::clicked, this,
                [folder = *result.folder] { Panels::showInFileManager(folder.string()); });
        buttons->addWidget(revealButton_);
    }
    closeButton_ = new QPushButton(QStringLiteral("Luk"), page);
    closeButton_->setDefault(true);
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(closeButton_);
    resultStack_->addLayout(buttons);
    closeButton_->setFocus();
}

void RecoverSheet::reject() {
    // The running recovery offers no way out but "Stop".
    if (job_->running()) return;
    QDialog::reject();
}

void RecoverSheet::closeEvent(QCloseEvent* event) {
    if (job_->running()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace sovanta::app
