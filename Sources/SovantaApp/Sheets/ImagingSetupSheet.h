// The sheet that prepares the copying of a whole disk to an image file: the
// file through the save panel, an earlier unfinished copy to it, the checks
// of where it lies, the retries and the block size. It copies nothing itself:
// "Start kopiering" hands the file and the options to its opener.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <QDateTime>
#include <QDialog>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Imager.h"

class QComboBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpinBox;

namespace sovanta::app {

class Callout;
class DestinationBox;
class DestinationNotices;

class ImagingSetupSheet : public QDialog {
    Q_OBJECT
public:
    using StartAction = std::function<void(std::filesystem::path image, ImagingOptions options)>;

    // "title yyyy-MM-dd HH.mm.img" at the given local time.
    static std::string proposedName(const std::string& title, const QDateTime& now = QDateTime::currentDateTime());
    // The mapfile of an image file: its whole path with ".map" appended.
    static std::filesystem::path mapFile(const std::filesystem::path& image);

    // source: the opened source when the opener has one, so that its own
    // file is refused too.
    ImagingSetupSheet(std::string title, uint64_t size, std::optional<std::string> sourceDisk, StartAction onStart,
                      QWidget* parent, DiskSourcePtr source = nullptr);
    ~ImagingSetupSheet() override;

    const std::optional<std::filesystem::path>& destination() const { return destination_; }
    bool resuming() const { return resuming_; }
    int retries() const;
    int chunkKB() const;
    // The options "Start kopiering" hands over.
    ImagingOptions options() const;
    DestinationNotices* notices() const { return notices_; }

    // "Vælg …": the save panel, then the check.
    void choose();
    // Takes image as the destination and checks it.
    void validate(const std::filesystem::path& image);
    // "Start kopiering".
    void start();

    // For tests and pictures.
    QLabel* headingLabel() const { return heading_; }
    QLabel* destinationLabel() const { return destinationLabel_; }
    QPushButton* chooseButton() const { return chooseButton_; }
    QSpinBox* retriesBox() const { return retriesBox_; }
    QLabel* retriesLabel() const { return retriesLabel_; }
    QComboBox* blockSizeBox() const { return blockSize_; }
    Callout* resumeCallout() const { return resume_; }
    QPushButton* startButton() const { return startButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

private:
    QLabel* makeExplanation();
    QWidget* makeDestinationBox();
    QHBoxLayout* makeRetriesRow(QWidget* box);
    QWidget* makeBlockSizePicker(QWidget* box);
    void updateDestination();
    void updateButtons();

    const std::string title_;
    const uint64_t size_;
    const std::optional<std::string> sourceDisk_;
    StartAction onStart_;
    DiskSourcePtr source_;
    std::optional<std::filesystem::path> destination_;
    bool resuming_ = false;

    QLabel* heading_;
    DestinationBox* destinationBox_;
    QLabel* destinationLabel_;
    QPushButton* chooseButton_;
    QLabel* retriesLabel_;
    QSpinBox* retriesBox_;
    QComboBox* blockSize_;
    Callout* resume_;
    DestinationNotices* notices_;
    QPushButton* cancelButton_;
    QPushButton* startButton_;
};

}  // namespace sovanta::app
