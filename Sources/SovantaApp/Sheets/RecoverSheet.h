// The sheet through which the user copies found files to another disk: the
// count of what is chosen, the destination folder and its checks, the three
// options, then the running recovery with its progress and its result.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QPointer>

#include "SovantaApp/Models/RecoveryJob.h"
#include "SovantaApp/Models/Session.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Recovery.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace sovanta::app {

class Callout;
class DestinationBox;
class DestinationNotices;

class RecoverSheet : public QDialog {
    Q_OBJECT
public:
    // What the nodes hold, each file counted once.
    struct Summary {
        int64_t files = 0;
        uint64_t bytes = 0;
        int64_t lost = 0;  // files that are not existing (deleted, orphaned or carved)
        bool operator==(const Summary&) const = default;
    };
    // The heading's line: "12 filer · 3,4 MB", then " · 2 slettede/fundne" when any.
    static std::string summaryLine(const Summary& summary);
    // The outcome notice of a result: its kind, title and message.
    struct Outcome {
        int kind;  // Callout::Kind
        std::string title;
        std::string message;
    };
    static Outcome outcome(const RecoveryResult& result);
    // The failure lines that are listed.
    static constexpr size_t shownFailures = 200;

    RecoverSheet(SessionPtr session, std::vector<FileNodePtr> nodes, std::string rootName, QWidget* parent);
    ~RecoverSheet() override;

    const std::optional<std::filesystem::path>& destination() const { return destination_; }
    const std::optional<Summary>& summary() const { return summary_; }
    const RecoveryOptions& options() const { return options_; }
    const RecoveryJobPtr& job() const { return job_; }
    DestinationNotices* notices() const { return notices_; }

    // The folder choice ("Vælg mappe …"): the panel, then the check.
    void choose();
    // Takes folder as the destination and checks it.
    void validate(const std::filesystem::path& folder);
    // "Gendan".
    void start();

    // For tests and pictures.
    QLabel* summaryLabel() const { return summaryLabel_; }
    QLabel* destinationLabel() const { return destinationLabel_; }
    QPushButton* chooseButton() const { return chooseButton_; }
    QPushButton* recoverButton() const { return recoverButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QCheckBox* keepFoldersBox() const { return keepFolders_; }
    QCheckBox* restoreDatesBox() const { return restoreDates_; }
    QCheckBox* writeReportBox() const { return writeReport_; }
    QLabel* noteLabel() const { return note_; }
    // 0 setup, 1 progress, 2 result.
    int page() const;
    QProgressBar* progressBar() const { return progressBar_; }
    QLabel* countLabel() const { return countLabel_; }
    QLabel* bytesLabel() const { return bytesLabel_; }
    QLabel* currentFileLabel() const { return currentFile_; }
    QPushButton* stopButton() const { return stopButton_; }
    Callout* outcomeCallout() const { return outcome_; }
    QScrollArea* failureArea() const { return failureArea_; }
    std::vector<QLabel*> failureLabels() const;
    QPushButton* revealButton() const { return revealButton_; }
    QPushButton* closeButton() const { return closeButton_; }

signals:
    // The count has come in.
    void counted();

protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Count;
    QWidget* makeSetupPage(QWidget* body);
    QWidget* makeDestinationBox(QWidget* setup);
    QWidget* makeProgressPage(QWidget* body);
    QWidget* makeResultPage(QWidget* body);
    void beginCount();
    void setSummary(Summary summary);
    void updateDestination();
    void updateButtons();
    void followJob();
    void showProgress();
    void showResult();

    SessionPtr session_;
    std::vector<FileNodePtr> nodes_;
    std::string rootName_;
    std::optional<std::filesystem::path> destination_;
    RecoveryOptions options_;
    RecoveryJobPtr job_;
    std::optional<Summary> summary_;

    QLabel* summaryLabel_;
    std::array<QWidget*, 3> pages_{};
    int page_ = -1;
    DestinationBox* destinationBox_;
    QLabel* destinationLabel_;
    QPushButton* chooseButton_;
    QCheckBox* keepFolders_;
    QCheckBox* restoreDates_;
    QCheckBox* writeReport_;
    QLabel* note_;
    DestinationNotices* notices_;
    QPushButton* cancelButton_;
    QPushButton* recoverButton_;
    QProgressBar* progressBar_;
    QLabel* countLabel_;
    QLabel* bytesLabel_;
    QLabel* currentFile_;
    QPushButton* stopButton_;
    QVBoxLayout* resultStack_;
    Callout* outcome_ = nullptr;
    QScrollArea* failureArea_ = nullptr;
    QWidget* failureList_ = nullptr;
    QPushButton* revealButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
};

}  // namespace sovanta::app
