#include "SovantaApp/PreviewPane.h"

#include <algorithm>
#include <cmath>

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/QuickLookView.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

namespace {

QLabel* selectableLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent) {
    auto* label = textLabel(text, font, colour, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setWordWrap(true);
    label->setCursor(Qt::IBeamCursor);
    return label;
}

// A button in the accent colour, the one action a region leads with.
QPushButton* prominentButton(const QString& text, const std::string& symbol, QWidget* parent) {
    auto* button = new QPushButton(Style::symbolPixmap(symbol, 16, QColor(Qt::white)), text, parent);
    QPalette p = button->palette();
    p.setColor(QPalette::Button, Style::accent());
    p.setColor(QPalette::ButtonText, Qt::white);
    button->setPalette(p);
    button->setAutoDefault(false);
    return button;
}

QPushButton* plainButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

// The preview area's ground: a rounded rectangle of the secondary colour at
// 7 % that clips its content to its shape.
class PreviewGround : public QWidget {
public:
    explicit PreviewGround(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Style::faded(Style::secondaryText(), 0.07));
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }
    void resizeEvent(QResizeEvent*) override {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 12, 12);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
};

// A centred column that fills its parent.
QVBoxLayout* centredColumn(QWidget* page, int spacing) {
    auto* column = new QVBoxLayout(page);
    column->setSpacing(spacing);
    column->addStretch(1);
    return column;
}

void centre(QVBoxLayout* column, QWidget* widget) { column->addWidget(widget, 0, Qt::AlignHCenter); }

}  // namespace

// MARK: PreviewPane

std::function<void(const std::string& path)>& PreviewPane::openFileHook() {
    static std::function<void(const std::string&)> hook = [](const std::string& path) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(qs(path)));
    };
    return hook;
}

PreviewPane::PreviewPane(SessionPtr session, RecoverRequest onRecover, QWidget* parent)
    : QWidget(parent), session_(std::move(session)), onRecover_(std::move(onRecover)) {
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);

    // Nothing selected.
    empty_ = new QWidget(this);
    {
        auto* column = centredColumn(empty_, 8);
        centre(column, new SymbolView("eye", Style::secondaryText(), 44, 40, empty_));
        auto* title = textLabel(QStringLiteral("Intet markeret"), Style::font(Style::TextStyle::title2, QFont::DemiBold),
                                std::nullopt, empty_);
        title->setObjectName(QStringLiteral("emptyTitle"));
        centre(column, title);
        auto* description =
            textLabel(QStringLiteral("Markér en fil for at se en forhåndsvisning og detaljer."),
                      Style::font(Style::TextStyle::callout), Style::secondaryText(), empty_);
        description->setObjectName(QStringLiteral("emptyDescription"));
        description->setWordWrap(true);
        description->setAlignment(Qt::AlignHCenter);
        column->addWidget(description);
        column->addStretch(1);
    }
    stack_->addWidget(empty_);

    // Several selected.
    several_ = new QWidget(this);
    {
        auto* column = centredColumn(several_, 14);
        centre(column, new SymbolView("doc.on.doc", Style::secondaryText(), 44, 44, several_));
        severalCount_ = textLabel(QString(), Style::font(Style::TextStyle::headline, QFont::DemiBold), std::nullopt,
                                  several_);
        centre(column, severalCount_);
        severalBytes_ = textLabel(QString(), Style::font(Style::TextStyle::body), Style::secondaryText(), several_);
        centre(column, severalBytes_);
        severalRecover_ = prominentButton(QStringLiteral("Gendan markerede …"), "arrow.down.doc.fill", several_);
        centre(column, severalRecover_);
        column->addStretch(1);
        connect(severalRecover_, &QPushButton::clicked, this, [this] {
            if (onRecover_) onRecover_(nodes_);
        });
    }
    stack_->addWidget(several_);
    stack_->setCurrentWidget(empty_);
}

void PreviewPane::setNodes(std::vector<FileNodePtr> nodes) {
    std::erase(nodes, nullptr);
    nodes_ = std::move(nodes);
    if (nodes_.size() == 1) {
        // The preview is the node's own: the same node keeps it, another gets a fresh one.
        if (single_ && single_->node()->id == nodes_.front()->id) {
            stack_->setCurrentWidget(single_);
            return;
        }
        auto* fresh = new SingleFilePreview(session_, nodes_.front(), onRecover_, this);
        stack_->addWidget(fresh);
        stack_->setCurrentWidget(fresh);
        dropSingle();
        single_ = fresh;
        return;
    }
    dropSingle();
    if (nodes_.empty()) {
        stack_->setCurrentWidget(empty_);
        return;
    }
    showSeveral();
}

void PreviewPane::dropSingle() {
    if (!single_) return;
    // Later, as the preview may be the sender of the call that led here.
    stack_->removeWidget(single_);
    single_->hide();
    single_->deleteLater();
    single_ = nullptr;
}

void PreviewPane::showSeveral() {
    uint64_t bytes = 0;
    for (auto& node : nodes_) bytes += node->size;
    severalCount_->setText(qs(Fmt::number(static_cast<int64_t>(nodes_.size())) + " elementer markeret"));
    severalBytes_->setText(qs(formatBytes(bytes)));
    stack_->setCurrentWidget(several_);
}

// MARK: SingleFilePreview

std::optional<uint64_t> SingleFilePreview::sectorJumpOffset(const FileNode& node, int64_t sectorSize) {
    auto offset = firstOffset(node);
    if (!offset) return std::nullopt;
    if (sectorSize <= 0) return offset;
    return *offset - *offset % static_cast<uint64_t>(sectorSize);
}

SingleFilePreview::SingleFilePreview(SessionPtr session, FileNodePtr node, RecoverRequest onRecover,
                                     QWidget* parent)
    : QScrollArea(parent), session_(std::move(session)), node_(std::move(node)), onRecover_(std::move(onRecover)) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(this);
    content->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(16);

    buildPreviewArea(column);

    // Name and path.
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    name_ = selectableLabel(qs(visibleText(node_->name)), Style::font(Style::TextStyle::headline, QFont::DemiBold), std::nullopt,
                            content);
    path_ = selectableLabel(qs(visibleText(node_->path())), Style::font(Style::TextStyle::caption), Style::secondaryText(), content);
    names->addWidget(name_);
    names->addWidget(path_);
    column->addLayout(names);

    noticeSlot_ = new QVBoxLayout;
    noticeSlot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(noticeSlot_);
    refreshNotice();

    buildDetails(column);
    buildActions(column);
    column->addStretch(1);
    setWidget(content);
    viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);

    refresh();
    load(false);
}

void SingleFilePreview::buildPreviewArea(QVBoxLayout* column) {
    auto* ground = new PreviewGround(column->parentWidget());
    ground->setFixedHeight(260);
    ground->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    area_ = new QStackedLayout(ground);
    area_->setContentsMargins(0, 0, 0, 0);

    imageView_ = new FittedImage({}, ground);
    area_->addWidget(imageView_);

    quickLook_ = new QuickLookView(ground);
    area_->addWidget(quickLook_);
    // A copy that no viewer can show leaves the placeholder in its place.
    connect(quickLook_, &QuickLookView::shown, this, &SingleFilePreview::refresh);

    loadingView_ = new QWidget(ground);
    {
        auto* col = centredColumn(loadingView_, 8);
        // The shared spinner, at the size of a regular indicator.
        auto* spinner = new Spinner(loadingView_);
        spinner->setFixedSize(24, 24);
        centre(col, spinner);
        centre(col, textLabel(QStringLiteral("Indlæser forhåndsvisning …"), Style::font(Style::TextStyle::callout),
                              Style::secondaryText(), loadingView_));
        col->addStretch(1);
    }
    area_->addWidget(loadingView_);

    if (node_->isDirectory) {
        folderSummary_ = new QWidget(ground);
        auto* col = centredColumn(folderSummary_, 8);
        centre(col, new SymbolView(symbol(*node_), Style::accent(), 60, 54, folderSummary_));
        QFont body = Style::font(Style::TextStyle::body);
        folderCounts_ = textLabel(QString(), body, Style::secondaryText(), folderSummary_);
        folderCounts_->setObjectName(QStringLiteral("folderCounts"));
        centre(col, folderCounts_);
        folderBytes_ = textLabel(QString(), body, Style::secondaryText(), folderSummary_);
        folderBytes_->setObjectName(QStringLiteral("folderBytes"));
        centre(col, folderBytes_);
        col->addStretch(1);
        area_->addWidget(folderSummary_);
        refreshFolderSummary();
        // A scan that adds to the tree may add below this folder.
        if (session_)
            connect(session_.get(), &Session::treeVersionChanged, this, &SingleFilePreview::refreshFolderSummary);
    } else {
        placeholder_ = new QWidget(ground);
        auto* col = centredColumn(placeholder_, 10);
        centre(col, new SymbolView(symbol(*node_), Style::secondaryText(), 60, 54, placeholder_));
        if (node_->size > automaticLimit && node_->size <= Preview::copyLimit) {
            manualLoad_ = plainButton(qs("Vis forhåndsvisning (" + formatBytes(node_->size) + ")"), placeholder_);
            centre(col, manualLoad_);
            connect(manualLoad_, &QPushButton::clicked, this, [this] { load(true); });
        } else if (node_->size > Preview::copyLimit) {
            tooLarge_ = textLabel(QStringLiteral("For stor til forhåndsvisning"), Style::font(Style::TextStyle::caption),
                                  Style::secondaryText(), placeholder_);
            centre(col, tooLarge_);
        }
        col->addStretch(1);
        area_->addWidget(placeholder_);
    }
    column->addWidget(ground);
}

void SingleFilePreview::refreshFolderSummary() {
    // Kept on the folder as the session adds to the tree: no walk.
    const auto& totals = node_->keptTotals();
    folderCounts_->setText(qs(Fmt::number(totals.files) + " filer · " + Fmt::number(totals.folders) + " mapper"));
    folderBytes_->setText(qs(formatBytes(totals.bytes)));
}

void SingleFilePreview::buildDetails(QVBoxLayout* column) {
    auto* parent = column->parentWidget();
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(7);
    grid->setColumnStretch(1, 1);
    QFont font = Style::font(Style::TextStyle::callout);

    auto addRow = [&](const char* label, QWidget* value) {
        int row = static_cast<int>(rows_.size());
        auto* name = textLabel(QString::fromUtf8(label), font, Style::secondaryText(), parent);
        grid->addWidget(name, row, 0, Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(value, row, 1, Qt::AlignLeft | Qt::AlignTop);
        rows_.emplace_back(name, value);
    };
    auto addText = [&](const char* label, const std::string& value, std::optional<QColor> colour = std::nullopt) {
        auto* text = selectableLabel(qs(value), font, colour, parent);
        text->setWordWrap(false);
        addRow(label, text);
    };

    const FileNode& node = *node_;
    if (node.isDirectory)
        addText("Størrelse", Fmt::missing);
    else
        addText("Størrelse",
                formatBytes(node.size) + " (" + Fmt::number(static_cast<int64_t>(node.size)) + " bytes)");
    addText("Ændret", Fmt::date(node.modified));
    addText("Oprettet", Fmt::date(node.created));
    addText("Status", label(node.status), Style::statusColour(node.status));
    if (!node.isDirectory) {
        auto* chance = new QWidget(parent);
        auto* row = new QHBoxLayout(chance);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(5);
        row->addWidget(new Dot(Style::chanceColour(node.recoverability), chance), 0, Qt::AlignVCenter);
        auto* text = selectableLabel(qs(label(node.recoverability)), font, std::nullopt, chance);
        text->setWordWrap(false);
        text->setObjectName(QStringLiteral("value"));
        row->addWidget(text);
        addRow("Chance", chance);
        auto offset = firstOffset(node);
        if (offset && session_ && session_->source && session_->source->sectorSize > 0)
            addText("Placering", "sektor " + Fmt::number(static_cast<int64_t>(
                                                 *offset / static_cast<uint64_t>(session_->source->sectorSize))));
        int64_t fragments = fragmentCount(node);
        if (fragments >= 2) addText("Fragmenter", Fmt::number(fragments));
        if (std::holds_alternative<ResidentData>(node.data)) addText("Placering", "Inde i MFT-posten");
    }
    if (node.fsID != 0) addText("Id", std::to_string(node.fsID));
    column->addLayout(grid);
}

void SingleFilePreview::buildActions(QVBoxLayout* column) {
    auto* parent = column->parentWidget();
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    recover_ = prominentButton(node_->isDirectory ? QStringLiteral("Gendan mappe …") : QStringLiteral("Gendan …"),
                               "arrow.down.doc.fill", parent);
    connect(recover_, &QPushButton::clicked, this, [this] {
        if (onRecover_) onRecover_({node_});
    });
    row->addWidget(recover_);
    if (firstOffset(*node_)) {
        sectors_ = plainButton(QStringLiteral("Sektorer"), parent);
        connect(sectors_, &QPushButton::clicked, this, &SingleFilePreview::jumpToSectors);
        row->addWidget(sectors_);
    }
    open_ = plainButton(QStringLiteral("Åbn"), parent);
    open_->setToolTip(QStringLiteral("Åbn den midlertidige kopi i standardprogrammet"));
    connect(open_, &QPushButton::clicked, this, [this] {
        if (quickLookURL_) PreviewPane::openFileHook()(*quickLookURL_);
    });
    row->addWidget(open_);
    row->addStretch(1);
    column->addLayout(row);
}

void SingleFilePreview::jumpToSectors() {
    if (!session_ || !session_->source) return;
    auto offset = sectorJumpOffset(*node_, session_->source->sectorSize);
    if (!offset) return;
    session_->setSectorOffset(*offset);
    session_->setTab(SessionTab::sectors);
}

void SingleFilePreview::refreshNotice() {
    if (notice_) {
        delete notice_;
        notice_ = nullptr;
    }
    if (broken_) {
        notice_ = new Callout(Callout::Kind::warning, "Billedet kunne ikke afkodes",
                              "Filen er sandsynligvis beskadiget eller delvist overskrevet.", widget());
    } else if (!copyProblem_.empty()) {
        notice_ = new Callout(Callout::Kind::warning, "Forhåndsvisningen kunne ikke laves", copyProblem_, widget());
    } else if (node_->note) {
        notice_ = new Callout(node_->recoverability == Recoverability::poor ? Callout::Kind::warning
                                                                           : Callout::Kind::info,
                              "Bemærkning", *node_->note, widget());
    }
    if (notice_) noticeSlot_->addWidget(notice_);
}

QWidget* SingleFilePreview::previewContent() const { return area_->currentWidget(); }

std::vector<std::pair<std::string, std::string>> SingleFilePreview::details() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& [name, value] : rows_) {
        auto* text = qobject_cast<QLabel*>(value);
        if (!text) text = value->findChild<QLabel*>(QStringLiteral("value"));
        out.emplace_back(name->text().toStdString(), text ? text->text().toStdString() : std::string());
    }
    return out;
}

void SingleFilePreview::refresh() {
    QWidget* shown = nullptr;
    bool viewerHasNothing = quickLook_->kind() == QuickLookView::Kind::other;
    if (image_) {
        imageView_->setImage(*image_);
        shown = imageView_;
    } else if (quickLookURL_ && !viewerHasNothing) {
        quickLook_->setURL(*quickLookURL_);
        shown = quickLook_;
    } else if (loading_) {
        shown = loadingView_;
    } else {
        shown = node_->isDirectory ? folderSummary_ : placeholder_;
    }
    area_->setCurrentWidget(shown);
    open_->setVisible(quickLookURL_.has_value());
}

void SingleFilePreview::apply(Ticket::Token load, const std::function<void()>& change) {
    if (!loads_.isCurrent(load)) return;
    change();
    refresh();
    emit stateChanged();
}

void SingleFilePreview::load(bool force) {
    const FileNode& node = *node_;
    if (node.isDirectory || node.size == 0) return;
    if (!session_ || !session_->source) return;
    const Ticket::Token load = loads_.next();
    loading_ = true;
    refresh();
    emit stateChanged();

    // The work holds the node (a view shows one node for its life) and the
    // source; its result is applied only to this view while it lives, and
    // only when no newer load has started.
    QPointer<SingleFilePreview> self(this);
    FileNodePtr startedFor = node_;
    DiskSourcePtr source = session_->source;
    auto accept = [self, load](std::function<void(SingleFilePreview&)> change) {
        onMain(self, [load, change = std::move(change)](SingleFilePreview& view) {
            view.apply(load, [&view, &change] { change(view); });
        });
    };
    Background::onPreviewQueue([accept, startedFor, source, force] {
        if (Preview::hasThumbnailExtension(*startedFor)) {
            auto image = Preview::thumbnail(*startedFor, *source, previewPixels);
            if (image) {
                accept([image = std::move(image)](SingleFilePreview& view) {
                    view.image_ = image;
                    view.loading_ = false;
                });
                return;
            }
            bool broken = Preview::isBroken(startedFor->id);
            accept([broken](SingleFilePreview& view) {
                if (!broken || view.broken_) return;
                view.broken_ = true;
                view.refreshNotice();
            });
        }
        if (!force && startedFor->size > automaticLimit) {
            accept([](SingleFilePreview& view) { view.loading_ = false; });
            return;
        }
        auto copy = Preview::makeCopy(*startedFor, *source);
        accept([copy = std::move(copy)](SingleFilePreview& view) {
            view.quickLookURL_ = copy.path;
            view.loading_ = false;
            if (view.copyProblem_ != copy.problem) {
                view.copyProblem_ = copy.problem;
                view.refreshNotice();
            }
        });
    });
}

}  // namespace sovanta::app
