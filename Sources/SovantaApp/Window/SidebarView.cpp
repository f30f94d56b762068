#include "SovantaApp/Window/SidebarView.h"

#include <memory>

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Window/SidebarRows.h"

namespace sovanta::app {

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

    column->addWidget(divider(this));
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

}  // namespace sovanta::app
