// The path of the current folder as a row of buttons, shortened to its first
// node, "…" and its last two once it holds four or more.
#pragma once

#include <functional>

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

#include "SovantaCore/Model.h"

namespace sovanta::app {

// A plain button whose one line of text is shortened in its middle.
class CrumbButton : public QAbstractButton {
    Q_OBJECT
public:
    CrumbButton(QString text, QColor colour, QWidget* parent = nullptr);
    QString fullText() const { return text(); }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

class Breadcrumb : public QWidget {
    Q_OBJECT
public:
    Breadcrumb(std::function<void(FileNodePtr)> go, QWidget* parent = nullptr);
    void setNode(FileNodePtr node);
    const FileNodePtr& node() const { return node_; }
    // What the row shows, left to right: the buttons' titles and "…".
    QStringList titles() const;
    // The buttons, left to right.
    std::vector<CrumbButton*> buttons() const { return buttons_; }

    // The row whole, and the row with every button at its least.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuild();
    // Places the row's items from the left, each button as wide as its title
    // needs: when the room is short, the current folder keeps its whole title
    // as long as the others can give way, and they give way from the first.
    void placeItems();
    int rowWidth(const std::vector<int>& buttonWidths) const;
    std::function<void(FileNodePtr)> go_;
    FileNodePtr node_;
    std::vector<QWidget*> items_;
    std::vector<CrumbButton*> buttons_;
};

}  // namespace sovanta::app
