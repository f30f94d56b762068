#include "SovantaApp/BrowserView/Breadcrumb.h"

#include <algorithm>
#include <cmath>

#include <QLabel>
#include <QPainter>

#include "SovantaApp/BrowserView/Listing.h"
#include "SovantaApp/Components.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

CrumbButton::CrumbButton(QString text, QColor colour, QWidget* parent) : QAbstractButton(parent), colour_(colour) {
    setText(std::move(text));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setToolTip(plainToolTip(this->text()));
}

QSize CrumbButton::sizeHint() const {
    // The title's advance rounded up: eliding measures it unrounded, and a
    // title given its advance rounded down was cut short.
    QFontMetrics metrics(font());
    const int advance = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text())));
    return {advance + 4, metrics.height() + 4};
}

QSize CrumbButton::minimumSizeHint() const {
    QSize hint = sizeHint();
    return {std::min(hint.width(), QFontMetrics(font()).horizontalAdvance(QStringLiteral("MM…MM"))), hint.height()};
}

void CrumbButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor colour = colour_;
    if (isDown()) colour = Style::faded(colour, 0.6);
    painter.setPen(colour);
    QRect area = rect().adjusted(2, 0, -2, 0);
    QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, shown);
    if (underMouse() && isEnabled()) {
        int y = area.center().y() + fontMetrics().ascent() / 2 + 2;
        painter.drawLine(area.left(), y, area.left() + fontMetrics().horizontalAdvance(shown), y);
    }
}

namespace {
constexpr int spacing = 4;
}

Breadcrumb::Breadcrumb(std::function<void(FileNodePtr)> go, QWidget* parent) : QWidget(parent), go_(std::move(go)) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int Breadcrumb::rowWidth(const std::vector<int>& buttonWidths) const {
    int total = 0;
    size_t button = 0;
    for (QWidget* item : items_) {
        if (total > 0) total += spacing;
        total += qobject_cast<CrumbButton*>(item) ? buttonWidths[button++] : item->sizeHint().width();
    }
    return total;
}

QSize Breadcrumb::sizeHint() const {
    std::vector<int> widths;
    int height = 0;
    for (auto* button : buttons_) {
        widths.push_back(button->sizeHint().width());
        height = std::max(height, button->sizeHint().height());
    }
    return {rowWidth(widths), height};
}

QSize Breadcrumb::minimumSizeHint() const {
    std::vector<int> widths;
    int height = 0;
    for (auto* button : buttons_) {
        widths.push_back(button->minimumSizeHint().width());
        height = std::max(height, button->sizeHint().height());
    }
    return {rowWidth(widths), height};
}

void Breadcrumb::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeItems();
}

void Breadcrumb::placeItems() {
    if (buttons_.empty()) return;
    const size_t count = buttons_.size();
    std::vector<int> full(count), least(count);
    for (size_t i = 0; i < count; ++i) {
        full[i] = buttons_[i]->sizeHint().width();
        least[i] = buttons_[i]->minimumSizeHint().width();
    }
    // The room left for the buttons' titles at their least.
    int spare = width() - rowWidth(least);
    std::vector<int> given = least;
    // The current folder first, then the others from the last to the first.
    for (size_t k = 0; k < count && spare > 0; ++k) {
        size_t i = k == 0 ? count - 1 : count - 1 - k;
        int more = std::min(spare, full[i] - least[i]);
        given[i] += more;
        spare -= more;
    }
    int x = 0;
    size_t button = 0;
    for (QWidget* item : items_) {
        const bool isButton = qobject_cast<CrumbButton*>(item) != nullptr;
        QSize hint = item->sizeHint();
        int w = isButton ? given[button++] : hint.width();
        int h = std::min(hint.height(), height());
        item->setGeometry(x, (height() - h) / 2, w, h);
        x += w + spacing;
    }
}

void Breadcrumb::setNode(FileNodePtr node) {
    node_ = std::move(node);
    rebuild();
}

QStringList Breadcrumb::titles() const {
    QStringList out;
    for (QWidget* item : items_) {
        if (auto* button = qobject_cast<CrumbButton*>(item))
            out << button->fullText();
        else if (auto* label = qobject_cast<QLabel*>(item))
            out << label->text();
    }
    return out;
}

void Breadcrumb::rebuild() {
    // A button may be the one whose click brought us here: it goes later.
    for (QWidget* item : items_) {
        item->hide();
        item->deleteLater();
    }
    items_.clear();
    buttons_.clear();
    if (!node_) {
        updateGeometry();
        return;
    }

    const std::vector<FileNodePtr> path = breadcrumbPath(node_);
    std::vector<FileNodePtr> shown = path;
    const bool shortened = path.size() >= 4;
    if (shortened) shown = {path.front(), path[path.size() - 2], path.back()};

    const QFont chevronFont = Style::font(Style::TextStyle::caption);
    const int chevronSize = std::max(8, QFontMetrics(chevronFont).height() * 2 / 3);
    auto chevron = [&] {
        auto* view = new SymbolView("chevron.right", Style::tertiaryText(), chevronSize, 0, this);
        view->setFixedSize(chevronSize, chevronSize);
        items_.push_back(view);
    };
    for (size_t i = 0; i < shown.size(); ++i) {
        if (i > 0) chevron();
        if (i == 1 && shortened) {
            auto* dots = new QLabel(QStringLiteral("…"), this);
            setTextColour(dots, Style::secondaryText());
            items_.push_back(dots);
            chevron();
        }
        const FileNodePtr& node = shown[i];
        QString title = node->parent() ? QString::fromStdString(visibleText(node->name)) : QStringLiteral("Rod");
        const bool last = i + 1 == shown.size();
        auto* button = new CrumbButton(title, last ? Style::primaryText() : Style::secondaryText(), this);
        connect(button, &QAbstractButton::clicked, this, [this, weak = std::weak_ptr<FileNode>(node)] {
            if (auto target = weak.lock(); target && go_) go_(target);
        });
        items_.push_back(button);
        buttons_.push_back(button);
    }
    for (QWidget* item : items_) item->show();
    updateGeometry();
    placeItems();
}

}  // namespace sovanta::app
