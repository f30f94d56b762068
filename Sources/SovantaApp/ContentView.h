// The content of the application's window: the sidebar of disks, scans and
// imaging jobs beside the page of the selection, the error alert and the
// banner shown while a source is being opened.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/AppModel.h"

class QGraphicsOpacityEffect;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPropertyAnimation;
class QProgressBar;
class QPushButton;
class QSplitter;

namespace sovanta::app {

// A disk: its icon, name, size and BSD name, and its health dot.
class DiskRow : public QWidget {
    Q_OBJECT
public:
    explicit DiskRow(const DiskInfo& disk, QWidget* parent = nullptr);
    QString name() const;
    QString detail() const;
    HealthDot* healthDot() const { return dot_; }

private:
    ShrinkingLabel* name_;
    QLabel* detail_;
    HealthDot* dot_;
};

// An open session: its title and, while a scan runs, that scan's progress;
// otherwise the number of file systems found.
class SessionRow : public QWidget {
    Q_OBJECT
public:
    explicit SessionRow(SessionPtr session, QWidget* parent = nullptr);
    QString title() const;
    // The progress bar while a scan runs; hidden otherwise.
    QProgressBar* progressBar() const { return progress_; }
    // "N filsystemer fundet" when no scan runs; hidden otherwise.
    QLabel* statusLabel() const { return status_; }
    SymbolView* symbolView() const { return symbol_; }

private:
    void refresh();
    SessionPtr session_;
    SymbolView* symbol_;
    ShrinkingLabel* title_;
    QProgressBar* progress_;
    QLabel* status_;
};

// An imaging job: its image file's name and, while it runs, its progress;
// after a complete copy "Færdig", after a stop or with bad areas its closing
// message or bad bytes with a warning symbol; "Venter" before the first run.
class JobRow : public QWidget {
    Q_OBJECT
public:
    explicit JobRow(ImagingJobPtr job, QWidget* parent = nullptr);
    QString name() const;
    QProgressBar* progressBar() const { return progress_; }
    QLabel* statusLabel() const { return status_; }
    SymbolView* symbolView() const { return symbol_; }

    // Whether the job ended with every byte of the source copied: only such a
    // copy counts as done.
    static bool copiedCompletely(const ImagingJob& job);
    // The text under the name of a job that is not running.
    static std::string statusText(const ImagingJob& job);

private:
    void refresh();
    ImagingJobPtr job_;
    QWidget* symbolBox_;
    SymbolView* symbol_ = nullptr;
    ShrinkingLabel* name_;
    QProgressBar* progress_;
    QLabel* status_;
};

// The sidebar: the start item, the disks, the sessions and the imaging jobs,
// with the open button pinned below. Its selection is the model's.
class SidebarView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(AppModel& model, QWidget* parent = nullptr);
    QListWidget* list() const { return list_; }
    QPushButton* openButton() const { return openButton_; }
    // The row of a sidebar item; null when the list has none.
    QListWidgetItem* itemFor(const SidebarItem& item) const;
    QWidget* rowWidget(const SidebarItem& item) const;
    // The section headers and status texts, in list order.
    QStringList texts() const;
    // The context menu of a row, as it would open (caller owns it); null for rows without one.
    QMenu* contextMenuFor(const SidebarItem& item);

protected:
    // The list's own handling of the right button and of Up/Down, replaced.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuild();
    void showSelection();
    // Selects the nearest row that can be selected from the current one on,
    // one step at a time in direction (+1 or -1); headers and status texts
    // are passed over.
    void step(int direction);
    void addHeader(const QString& title);
    void addText(const QString& text);
    void addFixed(QLabel* label);
    void addRow(const SidebarItem& item, QWidget* row);
    std::optional<SidebarItem> sidebarItemOf(const QListWidgetItem* item) const;

    AppModel& model_;
    // The selectable rows and what they select, in list order.
    std::vector<std::pair<QListWidgetItem*, SidebarItem>> rows_;
    QListWidget* list_;
    QPushButton* openButton_;
    bool updatingSelection_ = false;
};

// The banner that floats over the bottom of the window while a source is opened.
class OpeningBanner : public QWidget {
    Q_OBJECT
public:
    explicit OpeningBanner(QWidget* parent = nullptr);
    // Shows the banner for a name, or hides it.
    void setName(const std::optional<std::string>& name);
    QString text() const;
    // Places the banner over the bottom centre of its parent.
    void place();
    // Whether the banner is shown or entering (not leaving or gone).
    bool isShowing() const { return showing_; }
    // The fade's opacity: 1 once the banner has entered.
    double opacity() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* capsule_;
    QLabel* text_;
    bool showing_ = false;
    QGraphicsOpacityEffect* fade_;
    QPropertyAnimation* slide_;
    QPropertyAnimation* opacity_;
};

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
