// The content of the application's window: the sidebar of disks, scans and
// imaging jobs beside the page of the selection, the error alert and the
// banner shown while a source is being opened.
#pragma once

#include <string>

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Window/OpeningBanner.h"
#include "SovantaApp/Window/SidebarView.h"

class QSplitter;

namespace sovanta::app {

class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(AppModel& model, QWidget* parent = nullptr);
    AppModel& model() const { return model_; }
    SidebarView* sidebar() const { return sidebar_; }
    QSplitter* splitter() const { return splitter_; }
    // The detail page now shown, and the key it was made for.
    QWidget* page() const { return page_; }
    const std::string& pageKey() const { return pageKey_; }
    // The alert while an error is shown.
    QMessageBox* alert() const { return alert_; }
    OpeningBanner* banner() const { return banner_; }

signals:
    // A new detail page, whose window title names it.
    void pageChanged(QWidget* page);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void route();
    void showError();

    AppModel& model_;
    SidebarView* sidebar_;
    QSplitter* splitter_;
    QWidget* detail_;
    QWidget* page_ = nullptr;
    std::string pageKey_;
    QPointer<QMessageBox> alert_;
    OpeningBanner* banner_;
};

}  // namespace sovanta::app
