#include "SovantaApp/SectorView.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {

const std::string middleDot = "\u00B7";

// The red outline the text field carries while its input is not usable.
class Outline : public QWidget {
public:
    explicit Outline(QWidget* field) : QWidget(field) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        field->installEventFilter(this);
        setGeometry(field->rect());
    }
    void setShown(bool shown) {
        if (shown_ == shown) return;
        shown_ = shown;
        update();
    }
    bool isShown() const { return shown_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parent() && event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        if (!shown_) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Style::Colors::red, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }

private:
    bool shown_ = false;
};

QColor tintColour(HexRow::Tint tint) {
    switch (tint) {
        case HexRow::Tint::primary: return Style::primaryText();
        case HexRow::Tint::secondary: return Style::secondaryText();
        case HexRow::Tint::accent: return Style::accent();
    }
    return Style::primaryText();
}

// White space other than line breaks: spaces of every kind and tabs.
bool isBlank(QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; }

// An unsigned number in the radix, digits only after at most one "+"; none
// when empty, with another character, or past 64 bits.
std::optional<uint64_t> parseUnsigned(const QString& text, unsigned radix) {
    qsizetype start = text.startsWith(QLatin1Char('+')) ? 1 : 0;
    if (start >= text.size()) return std::nullopt;
    uint64_t value = 0;
    for (qsizetype i = start; i < text.size(); ++i) {
        char16_t c = text[i].unicode();
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = static_cast<unsigned>(c - u'0');
        else if (radix == 16 && c >= u'a' && c <= u'f')
            digit = static_cast<unsigned>(c - u'a') + 10;
        else
            return std::nullopt;
        if (digit >= radix) return std::nullopt;
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / radix) return std::nullopt;
        value = value * radix + digit;
    }
    return value;
}

}  // namespace

// MARK: HexRow

std::array<HexRow::Run, 3> HexRow::line() const {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%012" PRIX64 "  ", offset);
    std::string offsetText = buffer;

    std::string hex;
    hex.reserve(width * 3 + 2);
    bool allZero = true;
    for (size_t i = 0; i < width; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<unsigned>(bytes[i]));
        hex += buffer;
        if (i == 7) hex += ' ';
        if (bytes[i] != 0) allZero = false;
    }
    hex += ' ';

    std::string characters;
    for (uint8_t byte : bytes) {
        if (byte >= 0x20 && byte <= 0x7E)
            characters += static_cast<char>(byte);
        else
            characters += middleDot;
    }
    return {Run{std::move(offsetText), Tint::secondary}, Run{std::move(hex), allZero ? Tint::secondary : Tint::primary},
            Run{std::move(characters), Tint::accent}};
}

std::string HexRow::text() const {
    auto runs = line();
    return runs[0].text + runs[1].text + runs[2].text;
}

// MARK: SectorView

uint64_t SectorView::lastSector(uint64_t size, uint64_t sectorSize) {
    if (sectorSize == 0) return 0;
    uint64_t count = size < sectorSize ? 1 : size / sectorSize;
    return count - 1;
}

std::optional<uint64_t> SectorView::inputOffset(const QString& input, uint64_t sectorSize) {
    qsizetype begin = 0, end = input.size();
    while (begin < end && isBlank(input[begin])) ++begin;
    while (end > begin && isBlank(input[end - 1])) --end;
    QString text = input.mid(begin, end - begin).toLower();

    if (text.startsWith(QStringLiteral("0x"))) {
        if (auto offset = parseUnsigned(text.mid(2), 16)) return offset;
    }
    // A sector number, with the Danish grouping dots ("1.000" is sector 1000).
    QString digits = text;
    digits.remove(QLatin1Char('.'));
    auto number = parseUnsigned(digits, 10);
    if (!number || sectorSize == 0) return std::nullopt;
    if (*number > std::numeric_limits<uint64_t>::max() / sectorSize) return std::nullopt;
    return *number * sectorSize;
}

std::string SectorView::statusText(uint64_t sector, uint64_t last, uint64_t offset) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%" PRIX64, offset);
    return "Sektor " + Fmt::number(static_cast<int64_t>(sector)) + " af " + Fmt::number(static_cast<int64_t>(last)) +
           "  " + middleDot + "  " + hex;
}

std::string SectorView::separatorText(uint64_t sector) {
    return "\u2014 sektor " + Fmt::number(static_cast<int64_t>(sector)) + " \u2014";
}

SectorView::SectorView(SessionPtr session, QWidget* parent) : QWidget(parent), session_(std::move(session)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(makeToolbar());
    column->addWidget(divider(this));
    column->addWidget(makeRowsView(), 1);

    connect(session_.get(), &Session::sectorOffsetChanged, this, [this] {
        refresh();
        if (isVisible()) load();
    });
    connect(session_.get(), &Session::layoutChanged, this, &SectorView::rebuildMenu);
    connect(session_.get(), &Session::volumesChanged, this, &SectorView::rebuildMenu);
    rebuildMenu();
    refresh();
}

// The toolbar: paging, the jump field and its menu, the read's state.
QWidget* SectorView::makeToolbar() {
    auto* toolbar = new QWidget(this);
    auto* row = new QHBoxLayout(toolbar);
    row->setContentsMargins(14, 8, 14, 8);
    row->setSpacing(10);
    makePaging(toolbar, row);
    makeJumpControls(toolbar, row);
    row->addStretch(1);

    status_ = new QLabel(toolbar);
    status_->setTextFormat(Qt::PlainText);
    setTextColour(status_, Style::secondaryText());
    row->addWidget(status_, 0, Qt::AlignVCenter);

    spinner_ = new Spinner(toolbar);
    spinner_->hide();
    row->addWidget(spinner_, 0, Qt::AlignVCenter);
    return toolbar;
}

// One window of sectors back and forward.
void SectorView::makePaging(QWidget* toolbar, QHBoxLayout* row) {
    back_ = new QToolButton(toolbar);
    back_->setIcon(Style::buttonIcon("chevron.left"));
    back_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Left));
    back_->setAutoRaise(true);
    connect(back_, &QToolButton::clicked, this, [this] {
        uint64_t offset = session_->sectorOffset(), step = windowBytes();
        jump(offset > step ? offset - step : 0);
    });
    row->addWidget(back_, 0, Qt::AlignVCenter);

    forward_ = new QToolButton(toolbar);
    forward_->setIcon(Style::buttonIcon("chevron.right"));
    forward_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Right));
    forward_->setAutoRaise(true);
    connect(forward_, &QToolButton::clicked, this, [this] {
        uint64_t offset = session_->sectorOffset(), step = windowBytes();
        jump(offset > std::numeric_limits<uint64_t>::max() - step ? std::numeric_limits<uint64_t>::max()
                                                                   : offset + step);
    });
    row->addWidget(forward_, 0, Qt::AlignVCenter);
}

// The field that takes a sector or an offset, and the menu of the places to go to.
void SectorView::makeJumpControls(QWidget* toolbar, QHBoxLayout* row) {
    input_ = new QLineEdit(toolbar);
    input_->setPlaceholderText(QStringLiteral("Sektor, eller 0x-offset"));
    input_->setFixedWidth(200);
    outline_ = new Outline(input_);
    input_->installEventFilter(this);
    connect(input_, &QLineEdit::returnPressed, this, &SectorView::go);
    row->addWidget(input_, 0, Qt::AlignVCenter);

    menuButton_ = new QToolButton(toolbar);
    menuButton_->setText(QStringLiteral("Gå til"));
    menuButton_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    menuButton_->setPopupMode(QToolButton::InstantPopup);
    menuButton_->setFixedWidth(110);
    menu_ = new QMenu(menuButton_);
    menuButton_->setMenu(menu_);
    row->addWidget(menuButton_, 0, Qt::AlignVCenter);
}

// The rows on the text background, selectable and copyable as text.
QTextEdit* SectorView::makeRowsView() {
    rows_ = new QTextEdit(this);
    rows_->setReadOnly(true);
    rows_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    rows_->setFrameShape(QFrame::NoFrame);
    rows_->setLineWrapMode(QTextEdit::NoWrap);
    rows_->setUndoRedoEnabled(false);
    rows_->document()->setDocumentMargin(14);
    return rows_;
}

SectorView::~SectorView() = default;

QWidget* SectorView::progressIndicator() const { return spinner_; }

uint64_t SectorView::sectorSize() const {
    return static_cast<uint64_t>(std::max<int64_t>(session_->source->sectorSize, 512));
}

uint64_t SectorView::windowBytes() const { return windowSectors * sectorSize(); }

uint64_t SectorView::sector() const { return session_->sectorOffset() / sectorSize(); }

uint64_t SectorView::lastSector() const { return lastSector(session_->source->size, sectorSize()); }

void SectorView::jump(uint64_t offset) {
    uint64_t ss = sectorSize();
    uint64_t aligned = offset - offset % ss;
    if (aligned >= session_->source->size) aligned = lastSector() * ss;
    // An equal offset is not stored again, so it reads nothing.
    session_->setSectorOffset(aligned);
}

void SectorView::go() {
    setInputError(false);
    if (auto offset = inputOffset(input_->text(), sectorSize()))
        jump(*offset);
    else
        setInputError(true);
}

void SectorView::load() {
    setLoading(true);
    DiskSourcePtr source = session_->source;
    uint64_t offset = session_->sectorOffset();
    auto length = static_cast<int64_t>(windowBytes());
    const Ticket::Token ticket = reads_.next();
    ++readsStarted_;
    QPointer<SectorView> self(this);
    auto read = [self, source, offset, length, ticket]() mutable {
        Bytes sectors = source->readReporting(offset, length, ReadMode::thorough).data;
        onMain(std::move(self), [offset, ticket, sectors = std::move(sectors)](SectorView& view) mutable {
            view.applyRead(offset, ticket, std::move(sectors));
        });
    };
    if (runner_)
        runner_(std::move(read));
    else
        Background::onPreviewQueue(std::move(read));
}

void SectorView::applyRead(uint64_t offset, Ticket::Token ticket, Bytes read) {
    // Reads finish in any order: one for an offset that is no longer shown
    // must not replace the window of the current one.
    if (offset == session_->sectorOffset()) {
        bytes_ = std::move(read);
        bytesOffset_ = offset;
        renderRows();
        emit bytesChanged();
    }
    if (reads_.isCurrent(ticket)) setLoading(false);
}

void SectorView::setLoading(bool value) {
    loading_ = value;
    spinner_->setVisible(value);
}

void SectorView::setInputError(bool value) {
    inputError_ = value;
    static_cast<Outline*>(outline_)->setShown(value);
}

void SectorView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) load();
}

// What the view holds of its own lives while it is shown: shown again, it
// starts empty, so it never shows the window of an offset it no longer reads.
void SectorView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) return;
    bytes_.clear();
    bytesOffset_ = session_->sectorOffset();
    rows_->document()->clear();
    input_->clear();
    setInputError(false);
}

bool SectorView::eventFilter(QObject* watched, QEvent* event) {
    // The step keys step also while the text field has the focus, instead of
    // moving its cursor by a word.
    if (watched == input_ && event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        QKeySequence pressed(key->keyCombination());
        if (pressed == back_->shortcut() || pressed == forward_->shortcut()) {
            event->ignore();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SectorView::refresh() {
    uint64_t offset = session_->sectorOffset();
    uint64_t size = session_->source->size;
    back_->setEnabled(offset != 0);
    // Forward only while the next window starts inside the source.
    forward_->setEnabled(offset < size && size - offset > windowBytes());
    status_->setText(qs(statusText(sector(), lastSector(), offset)));
}

std::vector<std::pair<std::string, uint64_t>> SectorView::jumpTargets() const {
    std::vector<std::pair<std::string, uint64_t>> targets;
    targets.emplace_back("Start af disken", 0);
    if (const auto& layout = session_->layout()) {
        for (const PartitionEntry& entry : layout->entries) {
            std::string type = entry.detected ? rawValue(*entry.detected) : entry.typeName;
            targets.emplace_back("Partition " + std::to_string(entry.index) + " (" + type + ")", entry.offset);
        }
    }
    for (const VolumePtr& volume : session_->volumes()) {
        if (volume->type == FileSystemType::carved) continue;
        targets.emplace_back("Filsystem: " + volume->title(), volume->offset);
    }
    targets.emplace_back("Sidste sektor", lastSector() * sectorSize());
    return targets;
}

void SectorView::rebuildMenu() {
    menu_->clear();
    for (auto& [text, offset] : jumpTargets()) {
        QAction* action = menu_->addAction(qs(text));
        connect(action, &QAction::triggered, this, [this, target = offset] { jump(target); });
    }
}

void SectorView::renderRows() {
    QTextDocument* document = rows_->document();
    document->clear();
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    QFont caption = Style::font(Style::TextStyle::caption);

    QTextBlockFormat rowBlock;
    rowBlock.setTopMargin(1);
    rowBlock.setBottomMargin(1);
    QTextBlockFormat separatorBlock;
    separatorBlock.setTopMargin(4);
    separatorBlock.setBottomMargin(4);
    QTextCharFormat separatorFormat;
    separatorFormat.setFont(caption);
    separatorFormat.setForeground(Style::tertiaryText());
    std::array<QTextCharFormat, 3> tints;
    for (auto tint : {HexRow::Tint::primary, HexRow::Tint::secondary, HexRow::Tint::accent}) {
        QTextCharFormat& format = tints[static_cast<size_t>(tint)];
        format.setFont(mono);
        format.setForeground(tintColour(tint));
    }

    QTextCursor cursor(document);
    cursor.beginEditBlock();
    uint64_t ss = sectorSize();
    uint64_t firstSector = bytesOffset_ / ss;
    size_t rowCount = bytes_.size() / HexRow::width;
    bool first = true;
    auto startBlock = [&](const QTextBlockFormat& format) {
        if (first)
            cursor.setBlockFormat(format);
        else
            cursor.insertBlock(format);
        first = false;
    };
    for (size_t r = 0; r < rowCount; ++r) {
        uint64_t start = r * HexRow::width;
        if (r > 0 && start % ss == 0) {
            startBlock(separatorBlock);
            cursor.insertText(qs(separatorText(firstSector + start / ss)), separatorFormat);
        }
        HexRow hexRow;
        hexRow.offset = bytesOffset_ + start;
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(start), HexRow::width, hexRow.bytes.begin());
        startBlock(rowBlock);
        for (const HexRow::Run& run : hexRow.line()) cursor.insertText(qs(run.text), tints[static_cast<size_t>(run.tint)]);
    }
    cursor.endEditBlock();
}

QString SectorView::rowsText() const { return rows_->document()->toPlainText(); }

}  // namespace sovanta::app
