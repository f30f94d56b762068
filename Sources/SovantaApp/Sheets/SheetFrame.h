// What the recovery sheet and the imaging sheet share: their frame and
// heading, the box of the chosen destination, the notices that say what was
// learnt of it, and the closing buttons.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include <QGroupBox>
#include <QWidget>

#include "SovantaApp/Components.h"

class QBoxLayout;
class QCheckBox;
class QDialog;
class QPushButton;
class QVBoxLayout;

namespace sovanta::app {

// The frame the recovery sheet and the imaging sheet share: a column of the
// given width inside a margin of 24, the sheet as high as its content, and at
// its top the heading: the symbol in the large-title size beside the title
// (title2, bold) and a line in the secondary colour under it.
struct SheetFrame {
    QVBoxLayout* stack;  // the column; the heading is its first row
    QLabel* subtitle;    // the line under the title
};
SheetFrame makeSheetFrame(QDialog* sheet, int width, int spacing, const std::string& symbol, const QString& title,
                          const QString& subtitle);

// The framed box of a sheet's destination: a row of its label, the chosen
// path (or the placeholder, in the secondary colour) cut in the middle and
// the button that chooses; further rows go into rows().
class DestinationBox : public QGroupBox {
    Q_OBJECT
public:
    DestinationBox(const QString& label, const QString& placeholder, const QString& chooseText,
                   QWidget* parent = nullptr);
    QVBoxLayout* rows() const { return rows_; }
    PathLabel* pathLabel() const { return path_; }
    QPushButton* chooseButton() const { return choose_; }
    // Shows path, or the placeholder while there is none.
    void showPath(const std::optional<std::filesystem::path>& path);

private:
    QString placeholder_;
    QVBoxLayout* rows_;
    PathLabel* path_;
    QPushButton* choose_;
};

// A sheet's closing row at the trailing edge: the cancel button, which
// answers to Escape through the sheet's reject, and the default button,
// which answers to Return. Returns the two buttons.
std::pair<QPushButton*, QPushButton*> addSheetButtons(QBoxLayout* stack, QWidget* parent, const QString& cancel,
                                                      const QString& action);

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
