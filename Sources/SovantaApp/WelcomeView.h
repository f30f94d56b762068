// The start page: three steps, advice for a damaged disk, the button that
// opens a disk image and the supported file systems.
#pragma once

#include <functional>
#include <string>

#include <QScrollArea>

#include "SovantaApp/Components.h"

class QHBoxLayout;
class QPushButton;

namespace sovanta::app {

// One numbered step.
class StepCard : public Card {
    Q_OBJECT
public:
    StepCard(int number, const std::string& symbol, const std::string& title, const std::string& text,
             QWidget* parent = nullptr);
    // The step's explanation, which wraps.
    QLabel* textLabel() const { return text_; }

private:
    QLabel* text_;
};

// One line of advice: a symbol beside a text that wraps under its own first line.
class Tip : public QWidget {
    Q_OBJECT
public:
    Tip(const std::string& symbol, const std::string& text, QWidget* parent = nullptr);
    QLabel* textLabel() const { return text_; }

private:
    QLabel* text_;
};

class WelcomeView : public QScrollArea {
    Q_OBJECT
public:
    // openImage: what the open button does (the model's open panel).
    explicit WelcomeView(std::function<void()> openImage, QWidget* parent = nullptr);
    QPushButton* openButton() const { return openButton_; }

private:
    QHBoxLayout* makeHeading(QWidget* column);
    QHBoxLayout* makeSteps(QWidget* column);
    Card* makeAdvice(QWidget* column);
    QHBoxLayout* makeOpenRow(QWidget* column);
    Card* makeFileSystems(QWidget* column);

    std::function<void()> openImage_;
    QPushButton* openButton_;
};

}  // namespace sovanta::app
