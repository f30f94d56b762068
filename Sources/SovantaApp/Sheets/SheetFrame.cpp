#include "SovantaApp/Sheets/SheetFrame.h"

#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sovanta::app {

namespace fs = std::filesystem;

SheetFrame makeSheetFrame(QDialog* sheet, int width, int spacing, const std::string& symbol, const QString& title,
                          const QString& subtitle) {
    // The column is width wide inside the margins, and the sheet takes the
    // height the content needs at that width.
    auto* outer = new QVBoxLayout(sheet);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto* body = new QWidget(sheet);
    body->setFixedWidth(width);
    outer->addWidget(body);
    auto* stack = new QVBoxLayout(body);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(spacing);

    auto* heading = new QHBoxLayout;
    heading->setSpacing(12);
    // The large title is a third larger than title1.
    int side = QFontMetrics(Style::font(Style::TextStyle::title1)).height() * 4 / 3;
    heading->addWidget(new SymbolView(symbol, Style::accent(), side, side * 4 / 5, body), 0, Qt::AlignVCenter);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    names->addWidget(textLabel(title, Style::font(Style::TextStyle::title2, QFont::Bold), std::nullopt, body));
    QLabel* line = textLabel(subtitle, Style::font(Style::TextStyle::body), Style::secondaryText(), body);
    names->addWidget(line);
    heading->addLayout(names, 1);
    stack->addLayout(heading);
    return {stack, line};
}

DestinationBox::DestinationBox(const QString& label, const QString& placeholder, const QString& chooseText,
                               QWidget* parent)
    : QGroupBox(parent), placeholder_(placeholder) {
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(6, 6, 6, 6);
    rows_->setSpacing(10);
    auto* where = new QHBoxLayout;
    where->addWidget(textLabel(label, font(), std::nullopt, this));
    path_ = new PathLabel(this);
    where->addWidget(path_, 1);
    choose_ = new QPushButton(chooseText, this);
    choose_->setAutoDefault(false);
    where->addWidget(choose_);
    rows_->addLayout(where);
    showPath(std::nullopt);
}

void DestinationBox::showPath(const std::optional<fs::path>& path) {
    path_->setFullText(path ? QString::fromStdString(path->string()) : placeholder_);
    setTextColour(path_, path ? Style::primaryText() : Style::secondaryText());
}

std::pair<QPushButton*, QPushButton*> addSheetButtons(QBoxLayout* stack, QWidget* parent, const QString& cancel,
                                                      const QString& action) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    auto* cancelButton = new QPushButton(cancel, parent);
    cancelButton->setAutoDefault(false);
    auto* actionButton = new QPushButton(action, parent);
    actionButton->setDefault(true);
    row->addWidget(cancelButton);
    row->addWidget(actionButton);
    stack->addLayout(row);
    return {cancelButton, actionButton};
}

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
