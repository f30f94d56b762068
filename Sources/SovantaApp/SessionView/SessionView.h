// The page of one opened disk or disk image: its title and subtitle, the tab
// picker and the "Mere" menu, and the overview, files or sectors tab.
#pragma once

#include <string>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Models/Session.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"

class QAction;
class QLabel;
class QMenu;
class QToolButton;
class QVBoxLayout;

namespace sovanta::app {

class SessionView : public QWidget {
    Q_OBJECT
public:
    SessionView(AppModel& model, SessionPtr session, QWidget* parent = nullptr);
    ~SessionView() override;

    // formatBytes of the size, " · ", then the device's path or "diskbillede".
    static std::string subtitle(const DiskSource& source);

    const SessionPtr& session() const { return session_; }
    QLabel* subtitleLabel() const { return subtitle_; }
    // The tab picker's segments, in tab order.
    const std::vector<QToolButton*>& tabButtons() const { return tabButtons_; }
    QToolButton* moreButton() const { return more_; }
    QMenu* moreMenu() const { return menu_; }
    QAction* imagingAction() const { return imaging_; }
    QAction* rescanAction() const { return rescan_; }
    QAction* closeAction() const { return close_; }
    // The view of the tab shown.
    QWidget* content() const { return content_; }
    // Whether the imaging setup sheet is shown, and the sheet while it is.
    bool showImaging() const { return showImaging_; }
    ImagingSetupSheet* imagingSheet() const { return imagingSheet_; }

private:
    QWidget* makeToolbar();
    QWidget* makeTabPicker(QWidget* bar);
    QToolButton* makeMoreButton(QWidget* bar);
    void showTab();
    void refreshActions();
    void presentImaging();

    AppModel& model_;
    SessionPtr session_;
    QLabel* subtitle_;
    std::vector<QToolButton*> tabButtons_;
    QToolButton* more_;
    QMenu* menu_;
    QAction* imaging_;
    QAction* rescan_;
    QAction* close_;
    QVBoxLayout* contentLayout_;
    QWidget* content_ = nullptr;
    SessionTab shown_ = SessionTab::overview;
    bool showImaging_ = false;
    QPointer<ImagingSetupSheet> imagingSheet_;
};

}  // namespace sovanta::app
