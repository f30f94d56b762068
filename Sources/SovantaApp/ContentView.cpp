#include "SovantaApp/ContentView.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedLayout>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

#include "SovantaApp/DiskDetailView.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "SovantaApp/WelcomeView.h"

namespace sovanta::app {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    auto slash = trimmed.find_last_of('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    widget->setPalette(p);
}

// One line of text that is cut with an ellipsis when it does not fit.
ShrinkingLabel* lineLabel(const QString& text, const QFont& font, QWidget* parent) {
    return new ShrinkingLabel(text, font, 1.0, parent);
}

QLabel* captionLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Style::font(Style::TextStyle::caption));
    setTextColour(label, Style::secondaryText());
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return label;
}

// The linear bar of the mini control size, from 0 to 1.
QProgressBar* miniBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setTextVisible(false);
    bar->setFixedHeight(6);
    bar->setRange(0, 1000);
    return bar;
}

void showFraction(QProgressBar* bar, std::optional<double> fraction) {
    if (!fraction) {
        bar->setRange(0, 0);  // indeterminate
        return;
    }
    bar->setRange(0, 1000);
    bar->setValue(static_cast<int>(std::lround(std::clamp(*fraction, 0.0, 1.0) * 1000)));
}

// The second line of a row: a bar or a caption, in the same height.
QWidget* secondLine(QWidget* parent, QProgressBar*& bar, QLabel*& caption) {
    auto* line = new QWidget(parent);
    auto* stack = new QStackedLayout(line);
    stack->setStackingMode(QStackedLayout::StackAll);
    bar = miniBar(line);
    caption = captionLabel(line);
    auto* barBox = new QWidget(line);
    auto* barLayout = new QVBoxLayout(barBox);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->addWidget(bar, 0, Qt::AlignVCenter);
    stack->addWidget(barBox);
    stack->addWidget(caption);
    line->setFixedHeight(QFontMetrics(caption->font()).height());
    return line;
}

// The space between the sidebar's edges and its rows' contents.
constexpr int sidebarInset = 10;

QHBoxLayout* rowLayout(QWidget* row) {
    auto* layout = new QHBoxLayout(row);
    // 2 above and below, and 3 of padding that a sidebar list gives its rows.
    layout->setContentsMargins(sidebarInset, 5, sidebarInset, 5);
    layout->setSpacing(10);
    return layout;
}

}  // namespace

// MARK: Rows

DiskRow::DiskRow(const DiskInfo& disk, QWidget* parent) : QWidget(parent) {
    auto* row = rowLayout(this);
    row->addWidget(new DiskIcon(disk, 22, this), 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    name_ = lineLabel(qs(disk.displayName()), Style::font(Style::TextStyle::body), this);
    detail_ = captionLabel(this);
    detail_->setText(qs(formatBytes(disk.size) + " · " + disk.bsdName));
    column->addWidget(name_);
    column->addWidget(detail_);
    row->addLayout(column, 1);
    dot_ = new HealthDot(disk.health(), this);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
}

QString DiskRow::name() const { return name_->text(); }
QString DiskRow::detail() const { return detail_->text(); }

SessionRow::SessionRow(SessionPtr session, QWidget* parent) : QWidget(parent), session_(std::move(session)) {
    auto* row = rowLayout(this);
    symbol_ = new SymbolView(session_->disk ? "magnifyingglass" : "doc.zipper", Style::accent(), 22, 16, this);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    title_ = lineLabel(qs(session_->title), Style::font(Style::TextStyle::body), this);
    column->addWidget(title_);
    column->addWidget(secondLine(this, progress_, status_));
    row->addLayout(column, 1);
    for (auto changed : {&Session::quickChanged, &Session::deepChanged, &Session::volumesChanged})
        connect(session_.get(), changed, this, &SessionRow::refresh);
    refresh();
}

QString SessionRow::title() const { return title_->text(); }

void SessionRow::refresh() {
    const TaskPhase& deep = session_->deep();
    const TaskPhase& quick = session_->quick();
    const TaskPhase* running = isRunning(deep) ? &deep : isRunning(quick) ? &quick : nullptr;
    if (running) {
        showFraction(progress_, std::get<phase::Running>(*running).fraction);
        progress_->parentWidget()->show();
        status_->hide();
    } else {
        status_->setText(QString::number(session_->volumes().size()) + QStringLiteral(" filsystemer fundet"));
        progress_->parentWidget()->hide();
        status_->show();
    }
}

JobRow::JobRow(ImagingJobPtr job, QWidget* parent) : QWidget(parent), job_(std::move(job)) {
    auto* row = rowLayout(this);
    symbolBox_ = new QWidget(this);
    symbolBox_->setFixedSize(22, 22);
    new QHBoxLayout(symbolBox_);
    symbolBox_->layout()->setContentsMargins(0, 0, 0, 0);
    row->addWidget(symbolBox_, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    name_ = lineLabel(qs(lastPathComponent(job_->imageURL)), Style::font(Style::TextStyle::body), this);
    column->addWidget(name_);
    column->addWidget(secondLine(this, progress_, status_));
    row->addLayout(column, 1);
    for (auto changed : {&ImagingJob::runningChanged, &ImagingJob::finishedChanged, &ImagingJob::statsChanged})
        connect(job_.get(), changed, this, &JobRow::refresh);
    refresh();
}

QString JobRow::name() const { return name_->text(); }

bool JobRow::copiedCompletely(const ImagingJob& job) {
    const ImagingStats& stats = job.stats();
    // The imager names a run that was stopped or lost its source "Stoppet";
    // bytes still pending or found bad mean the image is not a full copy.
    return job.finished() && stats.finished && stats.phase == "Færdig" && stats.bad == 0 && stats.pending == 0 &&
           stats.rescued == stats.total;
}

std::string JobRow::statusText(const ImagingJob& job) {
    if (!job.finished()) return "Venter";
    if (copiedCompletely(job)) return "Færdig";
    const ImagingStats& stats = job.stats();
    if (stats.message && !stats.message->empty()) return *stats.message;
    if (stats.bad > 0) return formatBytes(stats.bad) + " ulæselige";
    return formatBytes(stats.pending) + " ikke kopieret";
}

void JobRow::refresh() {
    std::string symbol;
    QColor colour;
    if (!job_->finished()) {
        symbol = "square.and.arrow.down.on.square";
        colour = Style::accent();
    } else if (copiedCompletely(*job_)) {
        symbol = "checkmark.circle.fill";
        colour = Style::Colors::green;
    } else {
        symbol = "exclamationmark.triangle.fill";
        colour = Style::Colors::orange;
    }
    if (!symbol_ || symbol_->symbol() != symbol || symbol_->colour() != colour) {
        delete symbol_;
        symbol_ = new SymbolView(symbol, colour, 22, 16, symbolBox_);
        symbolBox_->layout()->addWidget(symbol_);
    }
    if (job_->running()) {
        showFraction(progress_, job_->fraction());
        progress_->parentWidget()->show();
        status_->hide();
        setToolTip({});
    } else {
        QString text = qs(statusText(*job_));
        status_->setText(text);
        setToolTip(text.size() > 30 ? plainToolTip(text) : QString());
        progress_->parentWidget()->hide();
        status_->show();
    }
}

// MARK: Sidebar

namespace {

// Draws a selected row as a soft rounded highlight under the row's own
// widget, whose symbols and texts so keep their colours.
class SelectionDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex&) const override {
        if (!(option.state & QStyle::State_Selected)) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        double strength = (option.state & QStyle::State_Active) ? 0.22 : 0.12;
        painter->setBrush(Style::faded(Style::accent(), strength));
        painter->drawRoundedRect(QRectF(option.rect).adjusted(4, 0.5, -4, -0.5), 6, 6);
        painter->restore();
    }
};

QWidget* welcomeRow() {
    auto* row = new QWidget;
    auto* layout = rowLayout(row);
    layout->addWidget(new SymbolView("sparkles", Style::accent(), 22, 16, row), 0, Qt::AlignVCenter);
    auto* label = new QLabel(QStringLiteral("Kom i gang"), row);
    label->setFont(Style::font(Style::TextStyle::body));
    layout->addWidget(label, 1, Qt::AlignVCenter);
    return row;
}

}  // namespace

SidebarView::SidebarView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    list_ = new QListWidget(this);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setItemDelegate(new SelectionDelegate(list_));
    list_->viewport()->setAutoFillBackground(false);
    list_->setAutoFillBackground(false);
    list_->installEventFilter(this);
    list_->viewport()->installEventFilter(this);
    column->addWidget(list_, 1);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    setTextColour(divider, Style::separator());
    column->addWidget(divider);
    auto* buttonBox = new QHBoxLayout;
    buttonBox->setContentsMargins(12, 0, 12, 10);
    openButton_ = new QPushButton(Style::buttonIcon("doc.badge.plus"), QStringLiteral("Åbn diskbillede …"), this);
    openButton_->setMinimumHeight(32);
    openButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    buttonBox->addWidget(openButton_);
    column->addLayout(buttonBox);

    connect(openButton_, &QPushButton::clicked, this, [this] { model_.presentOpenImagePanel(); });
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        if (updatingSelection_) return;
        auto selected = list_->selectedItems();
        if (selected.isEmpty()) return;
        if (auto item = sidebarItemOf(selected.front())) model_.setSelection(*item);
    });
    connect(list_, &QListWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        auto item = sidebarItemOf(list_->itemAt(position));
        if (!item) return;
        std::unique_ptr<QMenu> menu(contextMenuFor(*item));
        if (menu) menu->exec(list_->viewport()->mapToGlobal(position));
    });
    for (auto changed : {&AppModel::disksChanged, &AppModel::loadingDisksChanged, &AppModel::sessionsChanged,
                         &AppModel::imagingJobsChanged})
        connect(&model_, changed, this, &SidebarView::rebuild);
    connect(&model_, &AppModel::selectionChanged, this, &SidebarView::showSelection);
    rebuild();
}

bool SidebarView::eventFilter(QObject* watched, QEvent* event) {
    // The right button opens the row's menu (the context-menu event that
    // follows the press) and selects nothing: closing another session from
    // its menu leaves the page shown alone.
    if (watched == list_->viewport() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton)
        return true;
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            step(key->key() == Qt::Key_Down ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SidebarView::step(int direction) {
    int row = list_->currentRow();
    if (row < 0) row = direction > 0 ? -1 : list_->count();
    for (int next = row + direction; next >= 0 && next < list_->count(); next += direction) {
        QListWidgetItem* item = list_->item(next);
        if (!(item->flags() & Qt::ItemIsSelectable)) continue;
        list_->setCurrentItem(item);
        item->setSelected(true);
        list_->scrollToItem(item);
        return;
    }
}

void SidebarView::addHeader(const QString& title) {
    auto* label = new QLabel(title);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Style::font(Style::TextStyle::caption, QFont::Bold));
    setTextColour(label, Style::secondaryText());
    label->setContentsMargins(sidebarInset, 10, sidebarInset, 2);
    addFixed(label);
}

void SidebarView::addText(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Style::font(Style::TextStyle::body));
    setTextColour(label, Style::secondaryText());
    label->setContentsMargins(sidebarInset, 3, sidebarInset, 3);
    addFixed(label);
}

void SidebarView::addFixed(QLabel* label) {
    label->setTextFormat(Qt::PlainText);
    auto* item = new QListWidgetItem(list_);
    item->setFlags(Qt::ItemIsEnabled);
    item->setSizeHint(QSize(1, label->sizeHint().height()));
    list_->setItemWidget(item, label);
}

void SidebarView::addRow(const SidebarItem& sidebarItem, QWidget* row) {
    auto* item = new QListWidgetItem(list_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    // Only the height counts: the row takes the list's width and cuts its texts.
    item->setSizeHint(QSize(1, row->sizeHint().height()));
    row->setAttribute(Qt::WA_TranslucentBackground);
    list_->setItemWidget(item, row);
    rows_.emplace_back(item, sidebarItem);
}

std::optional<SidebarItem> SidebarView::sidebarItemOf(const QListWidgetItem* item) const {
    if (!item) return std::nullopt;
    for (const auto& [listItem, sidebarItem] : rows_)
        if (listItem == item) return sidebarItem;
    return std::nullopt;
}

void SidebarView::rebuild() {
    updatingSelection_ = true;
    int scroll = list_->verticalScrollBar() ? list_->verticalScrollBar()->value() : 0;
    rows_.clear();
    list_->clear();

    addRow(sidebar::Welcome{}, welcomeRow());

    addHeader(QStringLiteral("Diske"));
    if (model_.disks().empty())
        addText(model_.loadingDisks() ? QStringLiteral("Indlæser …") : QStringLiteral("Ingen diske fundet"));
    for (const DiskInfo& disk : model_.disks()) addRow(sidebar::Disk{disk.bsdName}, new DiskRow(disk));

    if (!model_.sessions().empty()) {
        addHeader(QStringLiteral("Scanninger"));
        for (const SessionPtr& session : model_.sessions())
            addRow(sidebar::Session{session->id}, new SessionRow(session));
    }
    if (!model_.imagingJobs().empty()) {
        addHeader(QStringLiteral("Diskbilleder"));
        for (const ImagingJobPtr& job : model_.imagingJobs()) addRow(sidebar::Imaging{job->id}, new JobRow(job));
    }
    list_->verticalScrollBar()->setValue(scroll);
    updatingSelection_ = false;
    showSelection();
}

void SidebarView::showSelection() {
    updatingSelection_ = true;
    QListWidgetItem* target = model_.selection() ? itemFor(*model_.selection()) : nullptr;
    if (target) {
        list_->setCurrentItem(target);
        target->setSelected(true);
    } else {
        list_->clearSelection();
    }
    updatingSelection_ = false;
}

QListWidgetItem* SidebarView::itemFor(const SidebarItem& item) const {
    for (const auto& [listItem, sidebarItem] : rows_)
        if (sidebarItem == item) return listItem;
    return nullptr;
}

QWidget* SidebarView::rowWidget(const SidebarItem& item) const {
    QListWidgetItem* listItem = itemFor(item);
    return listItem ? list_->itemWidget(listItem) : nullptr;
}

QStringList SidebarView::texts() const {
    QStringList texts;
    for (int i = 0; i < list_->count(); ++i)
        if (auto* label = qobject_cast<QLabel*>(list_->itemWidget(list_->item(i)))) texts << label->text();
    return texts;
}

QMenu* SidebarView::contextMenuFor(const SidebarItem& item) {
    if (auto* session = std::get_if<sidebar::Session>(&item)) {
        SessionPtr target = model_.session(session->id);
        if (!target) return nullptr;
        auto* menu = new QMenu;
        QPointer<SidebarView> self(this);
        menu->addAction(QStringLiteral("Luk scanning"), [self, target] {
            if (self) self->model_.close(target);
        });
        return menu;
    }
    if (auto* imaging = std::get_if<sidebar::Imaging>(&item)) {
        ImagingJobPtr target = model_.job(imaging->id);
        if (!target) return nullptr;
        auto* menu = new QMenu;
        QPointer<SidebarView> self(this);
        menu->addAction(target->finished() ? QStringLiteral("Fjern fra listen") : QStringLiteral("Stop og fjern"),
                        [self, target] {
                            if (self) self->model_.removeJob(target);
                        });
        return menu;
    }
    return nullptr;
}

// MARK: Opening banner

namespace {

// The capsule behind the banner's row, on a translucent window colour.
class Capsule : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Style::faded(Style::separator(), 0.6), 1));
        painter.setBrush(Style::faded(palette().color(QPalette::Window), 0.92));
        QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
};

constexpr int bannerBottomGap = 18;
constexpr int bannerShadowRoom = 10;

}  // namespace

OpeningBanner::OpeningBanner(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* outer = new QHBoxLayout(this);
    // Room for the shadow around the capsule.
    outer->setContentsMargins(bannerShadowRoom, bannerShadowRoom - 2, bannerShadowRoom, bannerShadowRoom + 2);
    capsule_ = new Capsule(this);
    outer->addWidget(capsule_);
    auto* row = new QHBoxLayout(capsule_);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(10);
    row->addWidget(new Spinner(capsule_), 0, Qt::AlignVCenter);
    text_ = new QLabel(capsule_);
    text_->setTextFormat(Qt::PlainText);
    row->addWidget(text_, 0, Qt::AlignVCenter);

    // The fade is the banner's one graphics effect: Qt cannot draw an effect
    // inside another (a drop-shadow effect on the capsule drew nothing and
    // warned at every paint), so the banner paints the shadow itself.
    fade_ = new QGraphicsOpacityEffect(this);
    fade_->setOpacity(0);
    setGraphicsEffect(fade_);

    slide_ = new QPropertyAnimation(this, "pos", this);
    opacity_ = new QPropertyAnimation(fade_, "opacity", this);
    for (auto* animation : {slide_, opacity_}) {
        animation->setDuration(200);
        animation->setEasingCurve(QEasingCurve::InOutQuad);
    }
    connect(opacity_, &QPropertyAnimation::finished, this, [this] {
        if (!showing_) hide();
    });
    hide();
}

QString OpeningBanner::text() const { return text_->text(); }

double OpeningBanner::opacity() const { return fade_->opacity(); }

// The capsule's shadow: black at 33 % blurred over 8 points, 2 points down,
// as rings of the capsule's shape that fade outwards.
void OpeningBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF shape = QRectF(capsule_->geometry()).translated(0, 2);
    constexpr int rings = 8;
    for (int ring = rings; ring >= 1; --ring) {
        QRectF r = shape.adjusted(-ring / 2.0, -ring / 2.0, ring / 2.0, ring / 2.0);
        painter.setBrush(QColor(0, 0, 0, 84 / rings));
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
}

void OpeningBanner::setName(const std::optional<std::string>& name) {
    bool wasShowing = showing_;
    showing_ = name.has_value();
    if (name)
        text_->setText(QStringLiteral("Åbner ") + qs(*name) +
                       QStringLiteral(" … Godkend adgangen i dialogen, hvis macOS spørger."));
    adjustSize();
    if (!parentWidget()) return;
    int x = (parentWidget()->width() - width()) / 2;
    QPoint shown(x, parentWidget()->height() - height() - bannerBottomGap + bannerShadowRoom);
    QPoint below(x, parentWidget()->height());
    slide_->stop();
    opacity_->stop();
    if (showing_) {
        show();
        raise();
        if (!wasShowing) {
            slide_->setStartValue(below);
            opacity_->setStartValue(0.0);
        } else {
            slide_->setStartValue(pos());
            opacity_->setStartValue(fade_->opacity());
        }
        slide_->setEndValue(shown);
        opacity_->setEndValue(1.0);
    } else {
        if (!isVisible()) return;
        slide_->setStartValue(pos());
        slide_->setEndValue(below);
        opacity_->setStartValue(fade_->opacity());
        opacity_->setEndValue(0.0);
    }
    slide_->start();
    opacity_->start();
}

void OpeningBanner::place() {
    if (!parentWidget() || !showing_) return;
    adjustSize();
    slide_->stop();
    move((parentWidget()->width() - width()) / 2,
         parentWidget()->height() - height() - bannerBottomGap + bannerShadowRoom);
    if (opacity_->state() != QAbstractAnimation::Running) fade_->setOpacity(1.0);
}

// MARK: ContentView

ContentView::ContentView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setChildrenCollapsible(false);
    sidebar_ = new SidebarView(model_, splitter_);
    sidebar_->setMinimumWidth(230);
    sidebar_->setMaximumWidth(340);
    detail_ = new QWidget(splitter_);
    detail_->setAutoFillBackground(true);
    detail_->setBackgroundRole(QPalette::Window);
    new QVBoxLayout(detail_);
    detail_->layout()->setContentsMargins(0, 0, 0, 0);
    splitter_->addWidget(sidebar_);
    splitter_->addWidget(detail_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({260, 1180});
    layout->addWidget(splitter_);

    // The sidebar in a shade of its own, as a desktop's sidebars are.
    QPalette sidebarPalette = sidebar_->palette();
    QColor window = sidebarPalette.color(QPalette::Window);
    sidebarPalette.setColor(QPalette::Window, Style::isDark() ? window.lighter(118) : window.darker(104));
    sidebarPalette.setColor(QPalette::Base, sidebarPalette.color(QPalette::Window));
    sidebar_->setPalette(sidebarPalette);
    sidebar_->setAutoFillBackground(true);

    banner_ = new OpeningBanner(this);

    for (auto changed : {&AppModel::selectionChanged, &AppModel::disksChanged, &AppModel::sessionsChanged,
                         &AppModel::imagingJobsChanged})
        connect(&model_, changed, this, &ContentView::route);
    connect(&model_, &AppModel::errorMessageChanged, this, &ContentView::showError);
    connect(&model_, &AppModel::openingChanged, this, [this] { banner_->setName(model_.opening()); });
    route();
    banner_->setName(model_.opening());
    if (model_.errorMessage()) QTimer::singleShot(0, this, &ContentView::showError);
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    banner_->place();
}

void ContentView::route() {
    std::string key = "welcome";
    std::function<QWidget*()> make;
    if (const auto& selection = model_.selection()) {
        if (auto* diskItem = std::get_if<sidebar::Disk>(&*selection)) {
            if (const DiskInfo* disk = model_.disk(diskItem->bsdName)) {
                key = "disk:" + disk->bsdName;
                AppModel* model = &model_;
                make = [model, disk = *disk] { return new DiskDetailView(*model, disk); };
            }
        } else if (auto* sessionItem = std::get_if<sidebar::Session>(&*selection)) {
            if (SessionPtr session = model_.session(sessionItem->id)) {
                key = "session:" + session->id.string();
                AppModel* model = &model_;
                make = [model, session] { return new SessionView(*model, session); };
            }
        } else if (auto* jobItem = std::get_if<sidebar::Imaging>(&*selection)) {
            if (ImagingJobPtr job = model_.job(jobItem->id)) {
                key = "imaging:" + job->id.string();
                AppModel* model = &model_;
                make = [model, job] { return new ImagingView(*model, job); };
            }
        }
    }
    if (!make) {
        AppModel* model = &model_;
        make = [model] { return new WelcomeView([model] { model->presentOpenImagePanel(); }); };
    }
    if (page_ && key == pageKey_) return;
    // A page for another key is a new page: nothing of the old one carries over.
    delete page_;
    pageKey_ = key;
    page_ = make();
    detail_->layout()->addWidget(page_);
    banner_->raise();
    emit pageChanged(page_);
}

void ContentView::showError() {
    const auto& message = model_.errorMessage();
    if (!message) {
        if (alert_) alert_->close();
        return;
    }
    if (alert_) {
        alert_->setInformativeText(qs(*message));
        showPlainText(alert_);
        return;
    }
    auto* alert = new QMessageBox(window());
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setIcon(QMessageBox::Warning);
    alert->setWindowTitle(QStringLiteral("Der opstod et problem"));
    alert->setText(QStringLiteral("Der opstod et problem"));
    alert->setInformativeText(qs(*message));
    showPlainText(alert);
    QPushButton* ok = alert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
    alert->setDefaultButton(ok);
    alert->setEscapeButton(ok);
    alert->setWindowModality(Qt::WindowModal);
    // However the alert goes, the message goes with it.
    connect(alert, &QMessageBox::finished, this, [this] { model_.setErrorMessage(std::nullopt); });
    alert_ = alert;
    alert->open();
}

}  // namespace sovanta::app
