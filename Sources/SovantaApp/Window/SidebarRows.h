// The rows of the window's sidebar: the start item, a disk, an open session
// and an imaging job, each with its symbol, its name and a second line.
#pragma once

#include <string>

#include <QWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/AppModel.h"

class QLabel;
class QProgressBar;

namespace sovanta::app {

// The space between the sidebar's edges and its rows' contents.
inline constexpr int sidebarInset = 10;

// The start item's row: "Kom i gang" beside its symbol.
QWidget* welcomeRow();

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

}  // namespace sovanta::app
