#include "SovantaApp/Sheets/ImagingSetupSheet.h"

#include <tuple>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/Destination.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "SovantaCore/Model.h"

namespace sovanta::app {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t maxSkip = 268435456;

}  // namespace

std::string ImagingSetupSheet::proposedName(const std::string& title, const QDateTime& now) {
    return title + " " + now.toString(QStringLiteral("yyyy-MM-dd HH.mm")).toStdString() + ".img";
}

fs::path ImagingSetupSheet::mapFile(const fs::path& image) { return fs::path(image.string() + ".map"); }

ImagingSetupSheet::ImagingSetupSheet(std::string title, uint64_t size, std::optional<std::string> sourceDisk,
                                     StartAction onStart, QWidget* parent, DiskSourcePtr source)
    : QDialog(parent),
      title_(std::move(title)),
      size_(size),
      sourceDisk_(std::move(sourceDisk)),
      onStart_(std::move(onStart)),
      source_(std::move(source)) {
    setWindowTitle(QStringLiteral("Lav diskbillede"));
    setWindowModality(Qt::WindowModal);

    // 560 wide: the column is 512 inside the margins.
    SheetFrame frame = makeSheetFrame(this, 512, 18, "square.and.arrow.down.on.square",
                                      QStringLiteral("Lav diskbillede"), qs(title_ + " · " + formatBytes(size_)));
    QVBoxLayout* stack = frame.stack;
    heading_ = frame.subtitle;

    stack->addWidget(makeExplanation());
    stack->addWidget(makeDestinationBox());

    resume_ = new Callout(Callout::Kind::info, "Tidligere kopiering fundet",
                          "Der findes allerede en map-fil for dette billede. Kopieringen fortsætter, hvor den slap.",
                          this);
    resume_->setVisible(false);
    stack->addWidget(resume_);

    notices_ = new DestinationNotices(
        "Kan ikke bruges",
        "Det kan ikke afgøres, om billedet gemmes på den disk, der kopieres fra. Skrivning dertil kan overskrive "
        "netop de data, du prøver at redde.",
        "Billedet gemmes ikke på den disk, der kopieres fra", this);
    stack->addWidget(notices_);

    std::tie(cancelButton_, startButton_) =
        addSheetButtons(stack, this, QStringLiteral("Annuller"), QStringLiteral("Start kopiering"));

    connect(chooseButton_, &QPushButton::clicked, this, &ImagingSetupSheet::choose);
    connect(notices_, &DestinationNotices::changed, this, &ImagingSetupSheet::updateButtons);
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
    connect(startButton_, &QPushButton::clicked, this, &ImagingSetupSheet::start);

    updateDestination();
    updateButtons();
}

ImagingSetupSheet::~ImagingSetupSheet() = default;

QLabel* ImagingSetupSheet::makeExplanation() {
    auto* explanation = textLabel(
        QStringLiteral("Hele disken kopieres til en billedfil. Først kopieres alt, der kan læses let, og dårlige "
                       "områder springes over. Bagefter læses de vanskelige områder sektor for sektor. Fremskridtet "
                       "gemmes løbende, så kopieringen kan genoptages."),
        font(), Style::secondaryText(), this);
    explanation->setWordWrap(true);
    return explanation;
}

// Where the image goes, and how hard the copy tries.
QWidget* ImagingSetupSheet::makeDestinationBox() {
    auto* box = new DestinationBox(QStringLiteral("Gem som:"), QStringLiteral("Ingen placering valgt"),
                                   QStringLiteral("Vælg …"), this);
    destinationBox_ = box;
    destinationLabel_ = box->pathLabel();
    chooseButton_ = box->chooseButton();
    QVBoxLayout* boxStack = box->rows();
    boxStack->addLayout(makeRetriesRow(box));
    boxStack->addWidget(makeBlockSizePicker(box));
    return box;
}

QHBoxLayout* ImagingSetupSheet::makeRetriesRow(QWidget* box) {
    auto* retriesRow = new QHBoxLayout;
    retriesLabel_ = textLabel(QStringLiteral("Nye forsøg på dårlige sektorer: "), font(), std::nullopt, box);
    retriesBox_ = new QSpinBox(box);
    retriesBox_->setRange(0, 5);
    retriesBox_->setSingleStep(1);
    retriesBox_->setValue(1);
    retriesRow->addWidget(retriesLabel_);
    retriesRow->addWidget(retriesBox_);
    retriesRow->addStretch(1);
    return retriesRow;
}

QWidget* ImagingSetupSheet::makeBlockSizePicker(QWidget* box) {
    auto* pickerRow = new QWidget(box);
    pickerRow->setMaximumWidth(320);
    auto* picker = new QHBoxLayout(pickerRow);
    picker->setContentsMargins(0, 0, 0, 0);
    picker->addWidget(textLabel(QStringLiteral("Blokstørrelse"), font(), std::nullopt, pickerRow));
    blockSize_ = new QComboBox(pickerRow);
    blockSize_->addItem(QStringLiteral("256 KB"), 256);
    blockSize_->addItem(QStringLiteral("1 MB (anbefalet)"), 1024);
    blockSize_->addItem(QStringLiteral("4 MB"), 4096);
    blockSize_->setCurrentIndex(1);
    picker->addWidget(blockSize_, 1);
    return pickerRow;
}

int ImagingSetupSheet::retries() const { return retriesBox_->value(); }

int ImagingSetupSheet::chunkKB() const { return blockSize_->currentData().toInt(); }

ImagingOptions ImagingSetupSheet::options() const {
    ImagingOptions options;
    options.retries = retries();
    options.chunkSize = static_cast<int64_t>(chunkKB()) * 1024;
    options.maxSkip = maxSkip;
    return options;
}

void ImagingSetupSheet::choose() {
    auto chosen = Panels::saveFile({"Gem diskbillede", proposedName(title_)});
    if (!chosen || chosen->empty()) return;
    validate(*chosen);
}

void ImagingSetupSheet::validate(const fs::path& image) {
    destination_ = image;
    updateDestination();
    notices_->clear();
    std::error_code ec;
    resuming_ = fs::exists(mapFile(image), ec);
    resume_->setVisible(resuming_);
    switch (Destination::forImage(image, sourceDisk_, source_)) {
    case SourceOverlap::same:
        notices_->setProblem("Billedet kan ikke gemmes på den disk, der kopieres fra.");
        return;
    case SourceOverlap::unknown:
        notices_->showDoubt();
        break;
    case SourceOverlap::different:
        break;
    }
    if (auto free = Destination::shortOfSpace(image.parent_path(), size_))
        notices_->setWarning("Der er kun " + formatBytes(*free) + " ledig plads, men disken er " + formatBytes(size_) +
                             ". Tomme områder fylder normalt ikke, men kopieringen kan stoppe, hvis pladsen slipper op.");
}

void ImagingSetupSheet::start() {
    if (!destination_ || !notices_->allowsStart()) return;
    if (onStart_) onStart_(*destination_, options());
    accept();
}

void ImagingSetupSheet::updateDestination() { destinationBox_->showPath(destination_); }

void ImagingSetupSheet::updateButtons() {
    startButton_->setEnabled(destination_ && notices_->allowsStart());
    adjustSize();
}

}  // namespace sovanta::app
