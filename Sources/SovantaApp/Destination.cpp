#include "SovantaApp/Destination.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

namespace sovanta::app {

namespace fs = std::filesystem;

namespace Destination {

std::optional<int64_t> systemFreeSpace(const fs::path& folder) {
    std::error_code ec;
    fs::space_info info = fs::space(folder, ec);
    if (ec || info.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
    if (info.available > static_cast<std::uintmax_t>(INT64_MAX)) return INT64_MAX;
    return static_cast<int64_t>(info.available);
}

std::optional<uint64_t> shortOfSpace(const fs::path& folder, uint64_t needed) {
    std::optional<int64_t> free = freeSpace ? freeSpace(folder) : std::nullopt;
    if (!free || *free < 0) return std::nullopt;
    auto bytes = static_cast<uint64_t>(*free);
    if (bytes >= needed) return std::nullopt;
    return bytes;
}

SourceOverlap forRecovery(const fs::path& folder, const DiskSource& source, const std::optional<fs::path>& imageFile) {
    SourceOverlap overlap = DestinationCheck::forRecovery(folder, source, imageFile);
    if (overlap == SourceOverlap::unknown && !source.isDevice) return SourceOverlap::different;
    return overlap;
}

SourceOverlap forImage(const fs::path& image, const std::optional<std::string>& sourceDisk,
                       const DiskSourcePtr& source) {
    if (source) return DestinationCheck::forImage(image, *source);
    if (!sourceDisk || sourceDisk->empty()) return SourceOverlap::different;
    // The disk as the check knows a device source: its node and its name. It
    // is never opened; the copy opens the disk itself when it starts.
    DiskSource disk(-1, Platform::rawDevicePrefix() + *sourceDisk, *sourceDisk, 0, 512, true, *sourceDisk, nullptr);
    return DestinationCheck::forImage(image, disk);
}

}  // namespace Destination

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void PathLabel::setFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    fit();
}

QSize PathLabel::minimumSizeHint() const { return {40, QLabel::minimumSizeHint().height()}; }

void PathLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void PathLabel::fit() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(width(), 40))); }

DestinationNotices::DestinationNotices(std::string problemTitle, std::string doubtMessage, std::string confirmText,
                                       QWidget* parent)
    : QWidget(parent), problemTitle_(std::move(problemTitle)), doubtMessage_(std::move(doubtMessage)) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);

    problemCallout_ = new Callout(Callout::Kind::danger, problemTitle_, "", this);
    stack->addWidget(problemCallout_);

    doubtBox_ = new QWidget(this);
    auto* doubtStack = new QVBoxLayout(doubtBox_);
    doubtStack->setContentsMargins(0, 0, 0, 0);
    doubtStack->setSpacing(6);
    doubtCallout_ = new Callout(Callout::Kind::warning, "Kan ikke afgøre disken", doubtMessage_, doubtBox_);
    doubtStack->addWidget(doubtCallout_);
    confirm_ = new QCheckBox(QString::fromStdString(confirmText), doubtBox_);
    doubtStack->addWidget(confirm_);
    stack->addWidget(doubtBox_);
    connect(confirm_, &QCheckBox::toggled, this, [this] { emit changed(); });

    warningCallout_ = new Callout(Callout::Kind::warning, "Bemærk", "", this);
    stack->addWidget(warningCallout_);
    rebuild();
}

void DestinationNotices::clear() {
    problem_.reset();
    doubt_ = false;
    warning_.reset();
    rebuild();
}

void DestinationNotices::setProblem(const std::string& message) {
    problem_ = message;
    rebuild();
}

void DestinationNotices::showDoubt() {
    doubt_ = true;
    rebuild();
}

void DestinationNotices::setWarning(const std::string& message) {
    warning_ = message;
    rebuild();
}

bool DestinationNotices::allowsStart() const { return !problem_ && (!doubt_ || confirm_->isChecked()); }

void DestinationNotices::rebuild() {
    {
        // Unchecked again for every new doubt, without announcing it twice.
        QSignalBlocker quiet(confirm_);
        confirm_->setChecked(false);
    }
    problemCallout_->messageLabel()->setText(QString::fromStdString(problem_.value_or("")));
    problemCallout_->setVisible(problem_.has_value());
    doubtBox_->setVisible(doubt_);
    warningCallout_->messageLabel()->setText(QString::fromStdString(warning_.value_or("")));
    warningCallout_->setVisible(warning_.has_value());
    setVisible(problem_ || doubt_ || warning_);
    emit changed();
}

}  // namespace sovanta::app
