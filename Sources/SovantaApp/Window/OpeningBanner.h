// The banner of the application's window while a source is being opened.
#pragma once

#include <optional>
#include <string>

#include <QWidget>

class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;

namespace sovanta::app {

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

}  // namespace sovanta::app
