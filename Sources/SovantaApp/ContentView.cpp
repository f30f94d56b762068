#include "SovantaApp/ContentView.h"

#include <functional>

#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/DiskDetailView.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "SovantaApp/WelcomeView.h"

namespace sovanta::app {

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
