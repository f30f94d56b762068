// What the recovery sheet and the imaging sheet learn of a chosen destination
// before anything is written there: whether it could write to the source
// being rescued, and whether its volume has room; and the notices that say so.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <QWidget>

#include "SovantaApp/Components.h"
#include "SovantaCore/DestinationCheck.h"
#include "SovantaCore/DiskSource.h"

#include <QLabel>

class QCheckBox;

namespace sovanta::app {

namespace Destination {

// The bytes free for the user's files on the volume that holds folder;
// absent when that cannot be learned.
using FreeSpaceFunction = std::function<std::optional<int64_t>(const std::filesystem::path& folder)>;
std::optional<int64_t> systemFreeSpace(const std::filesystem::path& folder);
// What the sheets ask; tests replace it.
inline FreeSpaceFunction freeSpace = systemFreeSpace;

// The free bytes of folder's volume when they are fewer than needed; absent
// when they suffice or cannot be learned (a negative answer counts as none).
std::optional<uint64_t> shortOfSpace(const std::filesystem::path& folder, uint64_t needed);

// Whether a recovery folder could write to source. Only a device source can
// share a disk with the folder, so for an image file only a folder on a
// device backed by that very file is the same; a folder whose disk cannot be
// told is then taken as different. imageFile: the file the source was opened
// from, when that is not the source's own path.
SourceOverlap forRecovery(const std::filesystem::path& folder, const DiskSource& source,
                          const std::optional<std::filesystem::path>& imageFile = std::nullopt);

// Whether an image file (and its mapfile) could write to the disk being
// copied: source when the opener has it open, else the whole disk named
// sourceDisk; different when neither is given.
SourceOverlap forImage(const std::filesystem::path& image, const std::optional<std::string>& sourceDisk,
                       const DiskSourcePtr& source);

}  // namespace Destination

// A path on one line, shortened in the middle when it does not fit.
class PathLabel : public QLabel {
    Q_OBJECT
public:
    explicit PathLabel(QWidget* parent = nullptr);
    QString fullText() const { return full_; }
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit();
    QString full_;
};

// The notices under a destination: a refusal that blocks, a doubt the user
// must confirm away, and a warning the user may accept; each hidden while unset.
class DestinationNotices : public QWidget {
    Q_OBJECT
public:
    // problemTitle: the refusal's title; confirmText: the box that confirms
    // a destination whose disk cannot be told.
    DestinationNotices(std::string problemTitle, std::string doubtMessage, std::string confirmText,
                       QWidget* parent = nullptr);

    void clear();
    void setProblem(const std::string& message);
    // Shows the doubt with its box unchecked.
    void showDoubt();
    void setWarning(const std::string& message);

    bool hasProblem() const { return problem_.has_value(); }
    bool hasDoubt() const { return doubt_; }
    bool hasWarning() const { return warning_.has_value(); }
    const std::optional<std::string>& problem() const { return problem_; }
    const std::optional<std::string>& warning() const { return warning_; }
    // Whether the destination may be used: no problem, and a doubt confirmed.
    bool allowsStart() const;

    Callout* problemCallout() const { return problemCallout_; }
    Callout* doubtCallout() const { return doubtCallout_; }
    Callout* warningCallout() const { return warningCallout_; }
    QCheckBox* confirmBox() const { return confirm_; }

signals:
    // The notices or the confirmation changed.
    void changed();

private:
    void rebuild();

    std::string problemTitle_;
    std::string doubtMessage_;
    std::optional<std::string> problem_;
    bool doubt_ = false;
    std::optional<std::string> warning_;
    Callout* problemCallout_ = nullptr;
    Callout* doubtCallout_;
    QCheckBox* confirm_;
    Callout* warningCallout_ = nullptr;
    QWidget* doubtBox_;
};

}  // namespace sovanta::app
