#include "SovantaApp/SessionView/SessionView.h"

#include <filesystem>
#include <functional>

#include <QAction>
#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QToolButton>
#include <QVBoxLayout>

#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/SectorView.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {

std::string tabSymbol(SessionTab tab) {
    switch (tab) {
        case SessionTab::overview: return "square.grid.2x2";
        case SessionTab::files: return "folder";
        case SessionTab::sectors: return "number";
    }
    return "square.grid.2x2";
}

QWidget* makeFilesView(const SessionPtr& session) { return new BrowserView(session); }
QWidget* makeSectorsView(const SessionPtr& session) { return new SectorView(session); }

}  // namespace

std::string SessionView::subtitle(const DiskSource& source) {
    return formatBytes(source.size) + " · " + (source.isDevice ? source.path : std::string("diskbillede"));
}

SessionView::SessionView(AppModel& model, SessionPtr session, QWidget* parent)
    : QWidget(parent), model_(model), session_(std::move(session)) {
    setWindowTitle(qs(session_->title));
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addWidget(makeToolbar());
    stack->addWidget(divider(this));
    contentLayout_ = new QVBoxLayout;
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    stack->addLayout(contentLayout_, 1);

    connect(imaging_, &QAction::triggered, this, &SessionView::presentImaging);
    connect(rescan_, &QAction::triggered, this, [this] { session_->startQuickScan(); });
    // Closing removes this page: the model closes the session once the menu's
    // action has returned.
    connect(close_, &QAction::triggered, this, [model = QPointer<AppModel>(&model_), session = session_] {
        onMain(model, [session](AppModel& shown) { shown.close(session); });
    });

    connect(session_.get(), &Session::tabChanged, this, &SessionView::showTab);
    connect(session_.get(), &Session::quickChanged, this, &SessionView::refreshActions);
    connect(session_.get(), &Session::deepChanged, this, &SessionView::refreshActions);
    refreshActions();
    showTab();
}

SessionView::~SessionView() = default;

// The page's toolbar row: the subtitle, the tab picker in the centre, the menu.
QWidget* SessionView::makeToolbar() {
    auto* bar = new QWidget(this);
    auto* row = new QGridLayout(bar);
    row->setContentsMargins(16, 8, 12, 8);
    subtitle_ = textLabel(qs(subtitle(*session_->source)), Style::font(Style::TextStyle::callout),
                          Style::secondaryText(), bar);
    row->addWidget(subtitle_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
    row->addWidget(makeTabPicker(bar), 0, 1, Qt::AlignCenter);
    row->addWidget(makeMoreButton(bar), 0, 2, Qt::AlignRight | Qt::AlignVCenter);
    row->setColumnStretch(0, 1);
    row->setColumnStretch(2, 1);
    return bar;
}

// One control of joined segments, the chosen one filled.
QWidget* SessionView::makeTabPicker(QWidget* bar) {
    auto* picker = new QWidget(bar);
    picker->setFixedWidth(330);
    picker->setToolTip(QStringLiteral("Visning"));
    auto* segments = new QHBoxLayout(picker);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    picker->setStyleSheet(
        QStringLiteral("QToolButton { border: 1px solid %1; background-color: %2; padding: 3px 8px; margin: 0px; }"
                       "QToolButton:checked { background-color: %3; }"
                       "QToolButton:hover:!checked { background-color: %4; }"
                       "QToolButton#first { border-top-left-radius: 6px; border-bottom-left-radius: 6px; }"
                       "QToolButton#last { border-top-right-radius: 6px; border-bottom-right-radius: 6px; }")
            .arg(Style::faded(Style::separator(), 0.9).name(QColor::HexArgb),
                 Style::controlBackground().name(QColor::HexArgb),
                 Style::faded(Style::accent(), 0.28).name(QColor::HexArgb),
                 Style::faded(Style::accent(), 0.10).name(QColor::HexArgb)));
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    for (SessionTab tab : allSessionTabs()) {
        auto* button = new QToolButton(picker);
        button->setText(qs(text(tab)));
        button->setIcon(Style::buttonIcon(tabSymbol(tab)));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setCheckable(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button);
        segments->addWidget(button);
        tabButtons_.push_back(button);
        if (tab == allSessionTabs().front()) button->setObjectName(QStringLiteral("first"));
        if (tab == allSessionTabs().back()) button->setObjectName(QStringLiteral("last"));
        connect(button, &QToolButton::clicked, this, [this, tab] { session_->setTab(tab); });
    }
    return picker;
}

// "Mere" and its menu: imaging of the source, a new quick scan, closing.
QToolButton* SessionView::makeMoreButton(QWidget* bar) {
    more_ = new QToolButton(bar);
    more_->setText(QStringLiteral("Mere"));
    more_->setToolTip(QStringLiteral("Mere"));
    more_->setIcon(Style::buttonIcon("ellipsis.circle"));
    more_->setPopupMode(QToolButton::InstantPopup);
    more_->setAutoRaise(true);
    menu_ = new QMenu(more_);
    imaging_ = menu_->addAction(QStringLiteral("Lav diskbillede af kilden …"));
    rescan_ = menu_->addAction(QStringLiteral("Kør hurtig scanning igen"));
    menu_->addSeparator();
    close_ = menu_->addAction(QStringLiteral("Luk scanning"));
    more_->setMenu(menu_);
    return more_;
}

void SessionView::refreshActions() {
    imaging_->setEnabled(session_->source->isDevice);
    rescan_->setEnabled(!isRunning(session_->quick()) && !isRunning(session_->deep()));
}

void SessionView::showTab() {
    SessionTab tab = session_->tab();
    for (size_t i = 0; i < allSessionTabs().size(); ++i) tabButtons_[i]->setChecked(allSessionTabs()[i] == tab);
    if (content_ && tab == shown_) return;
    // The old view may be the one whose button asked for the change ("Vis
    // filer"), so it goes once that click has returned.
    if (content_) {
        content_->hide();
        content_->deleteLater();
    }
    shown_ = tab;
    switch (tab) {
        case SessionTab::overview: content_ = new OverviewView(session_); break;
        case SessionTab::files: content_ = makeFilesView(session_); break;
        case SessionTab::sectors: content_ = makeSectorsView(session_); break;
    }
    contentLayout_->addWidget(content_);
}

void SessionView::presentImaging() {
    if (!session_->source->isDevice || showImaging_) return;
    showImaging_ = true;
    QPointer<AppModel> model(&model_);
    std::weak_ptr<Session> weak = session_;
    auto* sheet = new ImagingSetupSheet(
        session_->title, session_->source->size, session_->source->bsdName,
        [model, weak](std::filesystem::path image, ImagingOptions options) {
            // Started once the sheet has closed: the job's page replaces this
            // one, and with it the sheet whose click is still being handled.
            onMain(model, [weak, image = std::move(image), options](AppModel& shown) {
                if (auto session = weak.lock()) shown.startImaging(session, image.string(), options);
            });
        },
        this, session_->source);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::finished, this, [this] { showImaging_ = false; });
    imagingSheet_ = sheet;
    sheet->open();
}

}  // namespace sovanta::app
