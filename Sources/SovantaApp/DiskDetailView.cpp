#include "SovantaApp/DiskDetailView.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <QEnterEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/Threads.h"
#include "SovantaApp/TileGrid.h"

namespace sovanta::app {

namespace {

QLabel* makeLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent,
                  bool wraps = false) {
    QLabel* label = textLabel(text, font, colour, parent);
    label->setWordWrap(wraps);
    return label;
}

QFont monospaced(const QFont& like) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (like.pixelSize() > 0)
        f.setPixelSize(like.pixelSize());
    else
        f.setPointSizeF(like.pointSizeF());
    return f;
}

// The stat tiles of the health card, in their order: title, counter, symbol.
struct SmartTile {
    const char* title;
    const char* counter;
    const char* symbol;
};

const SmartTile smartCounters[] = {
    {"Temperatur", "TEMPERATURE", "thermometer.medium"},
    {"Driftstimer", "POWER_ON_HOURS_0", "clock"},
    {"Slidtage", "PERCENTAGE_USED", "gauge.with.dots.needle.33percent"},
    {"Mediefejl", "MEDIA_ERRORS_0", "exclamationmark.triangle"},
    {"Usikre nedlukninger", "UNSAFE_SHUTDOWNS_0", "bolt.slash"},
    {"Reserveblokke", "AVAILABLE_SPARE", "square.stack.3d.up"},
};

}  // namespace

// MARK: ActionTile

ActionTile::ActionTile(std::string symbol, std::string title, std::string text, bool prominent,
                       std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), symbol_(std::move(symbol)), prominent_(prominent) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    QString plain = qs(title);
    setText(plain);
    setAccessibleName(plain);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(8);
    QFont title2 = Style::font(Style::TextStyle::title2);
    int side = QFontMetrics(title2).height();
    QColor iconColour = prominent ? QColor(Qt::white) : Style::accent();
    auto* icon = new SymbolView(symbol_, iconColour, side, side * 4 / 5, this);
    column->addWidget(icon, 0, Qt::AlignLeft);
    title_ = makeLabel(plain, Style::font(Style::TextStyle::headline),
                       prominent ? QColor(Qt::white) : Style::primaryText(), this);
    column->addWidget(title_);
    text_ = makeLabel(qs(text), Style::font(Style::TextStyle::callout),
                      prominent ? Style::faded(Qt::white, 0.85) : Style::secondaryText(), this, true);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(text_);
    column->addStretch(1);
    // The whole tile is the button: its parts take no clicks of their own.
    for (QWidget* part : {static_cast<QWidget*>(icon), static_cast<QWidget*>(title_), static_cast<QWidget*>(text_)})
        part->setAttribute(Qt::WA_TransparentForMouseEvents);

    // Run after the click has been handled: an action may replace the page
    // that holds the tile.
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); },
                Qt::QueuedConnection);
    applyOpacity();
}

QString ActionTile::title() const { return title_->text(); }

void ActionTile::setTitle(const QString& title) {
    title_->setText(title);
    setText(title);
    setAccessibleName(title);
}
QString ActionTile::text() const { return text_->text(); }

QSize ActionTile::sizeHint() const {
    int width = 220;
    return {width, heightForWidth(width)};
}

QSize ActionTile::minimumSizeHint() const { return {120, 130}; }

int ActionTile::heightForWidth(int width) const {
    return std::max(130, layout() ? layout()->totalHeightForWidth(width) : 130);
}

void ActionTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 12, 12);
    if (prominent_) {
        QColor accent = Style::accent();
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setColorAt(0, accent.lighter(112));
        gradient.setColorAt(1, accent.darker(108));
        painter.fillPath(shape, gradient);
    } else {
        painter.fillPath(shape, Style::faded(Style::secondaryText(), hover_ ? 0.14 : 0.08));
    }
    // The focus ring only when the keyboard brought the focus, as buttons draw it.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        painter.setPen(QPen(Style::faded(Style::accent(), 0.8), 2));
        painter.drawPath(shape);
    }
}

void ActionTile::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    hover_ = true;
    update();
}

void ActionTile::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    hover_ = false;
    update();
}

void ActionTile::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) applyOpacity();
}

void ActionTile::applyOpacity() {
    if (isEnabled()) {
        setGraphicsEffect(nullptr);
        return;
    }
    auto* effect = new QGraphicsOpacityEffect(this);
    effect->setOpacity(0.45);
    setGraphicsEffect(effect);
}

// MARK: DiskDetailView

std::string DiskDetailView::prettyContent(const std::string& content) {
    if (content == "Apple_APFS") return "APFS-container";
    if (content == "Apple_HFS") return "HFS+";
    if (content == "Microsoft Basic Data") return "Windows-data";
    if (content == "EFI") return "EFI";
    if (content == "Windows_NTFS") return "NTFS";
    if (content == "DOS_FAT_32") return "FAT32";
    if (content.empty()) return "Ukendt";
    // A partition-type GUID: what the disk tool reports for an APFS volume.
    if (content.size() == 36 && content.find('-') != std::string::npos) return "APFS-volumen";
    std::string shown = content;
    std::replace(shown.begin(), shown.end(), '_', ' ');
    return shown;
}

DiskDetailView::DiskDetailView(AppModel& model, DiskInfo disk, QWidget* parent)
    : QScrollArea(parent), model_(model), disk_(std::move(disk)) {
    setWindowTitle(qs(disk_.displayName()));
    stack_ = makePageColumn(this, 1000, 28, 20);
    column_ = stack_->parentWidget();
    rebuild();

    // A reloaded list brings the disk's new state; the page's own state stays.
    connect(&model_, &AppModel::disksChanged, this, [this] {
        if (const DiskInfo* fresh = model_.disk(disk_.bsdName)) setDisk(*fresh);
    });
}

void DiskDetailView::setDisk(DiskInfo disk) {
    if (disk == disk_) return;
    disk_ = std::move(disk);
    setWindowTitle(qs(disk_.displayName()));
    rebuild();
}

void DiskDetailView::rebuild() {
    while (QLayoutItem* item = stack_->takeAt(0)) {
        if (QWidget* widget = item->widget()) delete widget;
        delete item;
    }
    scanTile_ = imagingTile_ = unmountTile_ = nullptr;
    healthNotice_ = bootNotice_ = nullptr;
    partitionBar_ = nullptr;
    noPartitions_ = nullptr;
    tableRows_.clear();
    smartCard_ = nullptr;
    smartTiles_ = nullptr;

    header_ = makeHeader(column_);
    stack_->addWidget(header_);
    DiskHealth health = disk_.health();
    if (health == DiskHealth::warning || health == DiskHealth::failing) {
        healthNotice_ = new Callout(health == DiskHealth::failing ? Callout::Kind::danger : Callout::Kind::warning,
                                    "Disken melder om problemer",
                                    "Lav et diskbillede først, og scan derefter billedet. Så belastes disken mindst "
                                    "muligt, og du risikerer ikke at miste mere.",
                                    column_);
        stack_->addWidget(healthNotice_);
    }
    if (disk_.isBootDisk()) {
        bootNotice_ = new Callout(Callout::Kind::info, "Dette er din startdisk",
                                  "Du kan godt scanne den, men filerne på en fungerende startdisk er normalt "
                                  "tilgængelige direkte i Finder. Krypterede APFS-volumener (FileVault) kan ikke "
                                  "læses på rå diskniveau.",
                                  column_);
        stack_->addWidget(bootNotice_);
    }
    stack_->addWidget(makeActions(column_));
    stack_->addWidget(makePartitions(column_));
    if (!disk_.smartDetails.empty()) stack_->addWidget(makeSmartCard(column_));
    stack_->addStretch(1);
}

QWidget* DiskDetailView::makeHeader(QWidget* parent) {
    auto* header = new QWidget(parent);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(18);
    row->addWidget(new DiskIcon(disk_, 64, header), 0, Qt::AlignVCenter);

    auto* names = new QVBoxLayout;
    names->setSpacing(6);
    names->addWidget(makeLabel(qs(disk_.displayName()), Style::systemFont(26, QFont::Bold), std::nullopt, header));
    auto* facts = new QHBoxLayout;
    facts->setSpacing(8);
    QFont body = Style::font(Style::TextStyle::body);
    QColor secondary = Style::secondaryText();
    auto fact = [&](const QString& text, const QFont& font) {
        facts->addWidget(makeLabel(text, font, secondary, header));
    };
    fact(qs(formatBytes(disk_.size)), body);
    fact(QStringLiteral("·"), body);
    fact(qs(disk_.bsdName), monospaced(body));
    if (!disk_.busProtocol.empty()) {
        fact(QStringLiteral("·"), body);
        fact(qs(disk_.busProtocol), body);
    }
    fact(QStringLiteral("·"), body);
    QString kind = disk_.isSolidState ? QStringLiteral("SSD")
                   : disk_.isDiskImage ? QStringLiteral("Diskbillede")
                                       : QStringLiteral("Harddisk/flash");
    fact(kind, body);
    facts->addStretch(1);
    names->addLayout(facts);
    auto* badgeRow = new QHBoxLayout;
    badgeRow->addWidget(new HealthBadge(disk_.health(), header));
    badgeRow->addStretch(1);
    names->addLayout(badgeRow);
    row->addLayout(names, 1);
    return header;
}

QWidget* DiskDetailView::makeActions(QWidget* parent) {
    auto* card = new Card(16, parent);
    card->add(new CardTitle("Hvad vil du gøre?", "wand.and.stars", card));
    auto* tiles = new QHBoxLayout;
    tiles->setSpacing(14);
    bool failing = disk_.health() == DiskHealth::failing;
    scanTile_ = new ActionTile(
        "magnifyingglass", "Scan disken",
        "Find filsystemer, mapper og slettede filer. Disken åbnes skrivebeskyttet.", !failing,
        [this] { model_.open(disk_); }, card);
    imagingTile_ = new ActionTile(
        "square.and.arrow.down.on.square", "Lav diskbillede",
        "Kopiér hele disken til en billedfil med skånsom håndtering af dårlige sektorer.", failing,
        [this] { openImagingSheet(); }, card);
    unmountTile_ = new ActionTile(
        "eject", unmounting_ ? "Afmonterer …" : "Afmonter",
        "Afmonter diskens volumener, så macOS ikke skriver til den under redningen.", false, [this] { unmount(); },
        card);
    unmountTile_->setEnabled(!disk_.mountedVolumes().empty() && !unmounting_ && !disk_.isBootDisk());
    for (ActionTile* tile : {scanTile_, imagingTile_, unmountTile_}) tiles->addWidget(tile, 1, Qt::AlignTop);
    card->content()->addLayout(tiles);

    auto* note = new QHBoxLayout;
    note->setSpacing(5);
    QFont caption = Style::font(Style::TextStyle::caption);
    int side = QFontMetrics(caption).height();
    note->addWidget(new SymbolView("lock", Style::secondaryText(), side, side * 4 / 5, card), 0, Qt::AlignVCenter);
    note->addWidget(makeLabel(QStringLiteral("Læsning af en fysisk disk kræver din administratoradgangskode."),
                              caption, Style::secondaryText(), card),
                    0, Qt::AlignVCenter);
    note->addStretch(1);
    card->content()->addLayout(note);
    return card;
}

QWidget* DiskDetailView::makePartitions(QWidget* parent) {
    auto* card = new Card(16, parent);
    card->add(new CardTitle("Partitioner", "chart.bar.doc.horizontal", card));

    // The disk's own partitions first; the rest (volumes of a container on
    // the disk, named after the container's own disk) after them.
    std::vector<const PartitionSummary*> own, others;
    for (const PartitionSummary& partition : disk_.partitions)
        (DiskList::wholeDisk(partition.bsdName) == disk_.bsdName ? own : others).push_back(&partition);

    if (own.empty()) {
        QString text = disk_.content.empty()
                           ? QStringLiteral("Ingen partitioner registreret af macOS – disken kan være beskadiget. "
                                            "Scan den for at søge efter filsystemer.")
                           : QStringLiteral("Ingen partitioner – indhold: ") + qs(disk_.content);
        noPartitions_ = makeLabel(text, Style::font(Style::TextStyle::body), Style::secondaryText(), card, true);
        card->add(noPartitions_);
    } else {
        std::vector<PartitionBar::Segment> segments;
        for (size_t i = 0; i < own.size(); ++i) {
            const PartitionSummary& p = *own[i];
            segments.push_back({Uuid::random(), p.volumeName ? *p.volumeName : prettyContent(p.content), p.size,
                                PartitionBar::paletteColour(i)});
        }
        partitionBar_ = new PartitionBar(std::move(segments), disk_.size, card);
        card->add(partitionBar_);
    }

    if (!disk_.partitions.empty()) {
        card->add(divider(card));

        auto* table = new QWidget(card);
        auto* grid = new QGridLayout(table);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setHorizontalSpacing(18);
        grid->setVerticalSpacing(6);
        QFont caption = Style::font(Style::TextStyle::caption);
        QFont callout = Style::font(Style::TextStyle::callout);
        int column = 0;
        for (const char* head : {"Enhed", "Navn", "Type", "Størrelse", "Monteret"})
            grid->addWidget(makeLabel(qs(head), caption, Style::secondaryText(), table), 0, column++,
                            Qt::AlignLeft | Qt::AlignVCenter);
        std::vector<const PartitionSummary*> rows = own;
        rows.insert(rows.end(), others.begin(), others.end());
        int r = 1;
        for (const PartitionSummary* p : rows) {
            std::vector<QLabel*> cells;
            cells.push_back(makeLabel(qs(p->bsdName), monospaced(callout), std::nullopt, table));
            cells.push_back(makeLabel(p->volumeName ? qs(*p->volumeName) : QStringLiteral("–"), callout, std::nullopt,
                                      table));
            cells.push_back(makeLabel(qs(prettyContent(p->content)), callout, std::nullopt, table));
            cells.push_back(makeLabel(qs(formatBytes(p->size)), callout, std::nullopt, table));
            auto* mounted = new PathLabel(table);
            mounted->setFullText(p->mountPoint ? qs(*p->mountPoint) : QStringLiteral("–"));
            mounted->setFont(callout);
            mounted->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
            cells.push_back(mounted);
            // The mount point fills its column, which takes the rest of the width.
            for (int c = 0; c < static_cast<int>(cells.size()); ++c)
                grid->addWidget(cells[static_cast<size_t>(c)], r, c,
                                c == 4 ? Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter);
            tableRows_.push_back(std::move(cells));
            ++r;
        }
        // The mount point takes what is left and is cut when that is too little.
        grid->setColumnStretch(4, 1);
        table->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        card->add(table);
    }
    return card;
}

QWidget* DiskDetailView::makeSmartCard(QWidget* parent) {
    auto* card = new Card(16, parent);
    smartCard_ = card;
    card->add(new CardTitle("Diskens helbred", "heart.text.square", card));
    smartTiles_ = new TileGrid(150, 10, card);
    const auto& details = disk_.smartDetails;
    for (const SmartTile& tile : smartCounters) {
        std::string counter = tile.counter;
        std::optional<int64_t> value;
        if (counter == "TEMPERATURE") {
            value = disk_.temperatureCelsius();
        } else if (auto it = details.find(counter); it != details.end()) {
            value = it->second;
        }
        if (!value) continue;
        std::string text;
        std::optional<QColor> tint;
        if (counter == "TEMPERATURE")
            text = std::to_string(*value) + " °C";
        else if (counter == "PERCENTAGE_USED" || counter == "AVAILABLE_SPARE")
            text = std::to_string(*value) + " %";
        else
            text = Fmt::number(*value);
        if (counter == "MEDIA_ERRORS_0") tint = *value < 1 ? Style::Colors::green : Style::Colors::red;
        smartTiles_->add(new StatTile(tile.title, text, std::string(tile.symbol), tint, smartTiles_));
    }
    card->add(smartTiles_);
    return card;
}

std::vector<QStringList> DiskDetailView::partitionRows() const {
    std::vector<QStringList> rows;
    for (const auto& cells : tableRows_) {
        QStringList texts;
        for (QLabel* cell : cells) {
            if (auto* elided = qobject_cast<PathLabel*>(cell))
                texts << elided->fullText();
            else
                texts << cell->text();
        }
        rows.push_back(texts);
    }
    return rows;
}

// MARK: Actions

void DiskDetailView::openImagingSheet() {
    if (showImaging_) return;
    showImaging_ = true;
    std::weak_ptr<AppModel> model = model_.weak_from_this();
    DiskInfo disk = disk_;
    // A scan of this disk already holds its source: the sheet then also refuses that.
    SessionPtr session = model_.sessionFor(disk_.bsdName);
    auto* sheet = new ImagingSetupSheet(
        disk_.displayName(), disk_.size, disk_.bsdName,
        [model, disk](std::filesystem::path image, ImagingOptions options) {
            // Started once the sheet has closed: the job's page replaces this
            // one, and with it the sheet.
            onMain(model, [disk, image = std::move(image), options](AppModel& shared) {
                shared.startImaging(disk, image.string(), options);
            });
        },
        this, session ? session->source : nullptr);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::finished, this, [this] {
        showImaging_ = false;
        sheet_ = nullptr;
    });
    sheet_ = sheet;
    sheet->open();
}

void DiskDetailView::setUnmounting(bool value) {
    unmounting_ = value;
    if (!unmountTile_) return;
    unmountTile_->setEnabled(!disk_.mountedVolumes().empty() && !unmounting_ && !disk_.isBootDisk());
    unmountTile_->setTitle(unmounting_ ? QStringLiteral("Afmonterer …") : QStringLiteral("Afmonter"));
}

void DiskDetailView::unmount() {
    if (unmounting_) return;
    setUnmounting(true);
    QPointer<DiskDetailView> self(this);
    std::weak_ptr<AppModel> model = model_.weak_from_this();
    inBackground([self, model, bsdName = disk_.bsdName] {
        DiskList::UnmountResult result = DiskList::unmount(bsdName);
        onMain(self, [result](DiskDetailView& view) {
            view.setUnmounting(false);
            view.setUnmountMessage(result.ok ? std::string("Diskens volumener er afmonteret.")
                                             : "Kunne ikke afmontere: " + result.message);
        });
        // Also when the page has gone: the list shows the disk's new state.
        onMain(model, [](AppModel& shared) { shared.refreshDisks(); });
    });
}

void DiskDetailView::setUnmountMessage(std::optional<std::string> value) {
    unmountMessage_ = std::move(value);
    if (!unmountMessage_) {
        if (alert_) alert_->close();
        return;
    }
    if (alert_) {
        alert_->setInformativeText(qs(*unmountMessage_));
        showPlainText(alert_);
        return;
    }
    auto* alert = new QMessageBox(this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setIcon(QMessageBox::Information);
    alert->setWindowTitle(QStringLiteral("Afmontering"));
    alert->setText(QStringLiteral("Afmontering"));
    alert->setInformativeText(qs(*unmountMessage_));
    showPlainText(alert);
    QPushButton* ok = alert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
    alert->setDefaultButton(ok);
    alert->setEscapeButton(ok);
    alert->setWindowModality(Qt::WindowModal);
    // However the alert is closed, the message goes with it.
    connect(alert, &QMessageBox::finished, this, [this] {
        alert_ = nullptr;
        setUnmountMessage(std::nullopt);
    });
    alert_ = alert;
    alert->open();
}

}  // namespace sovanta::app
