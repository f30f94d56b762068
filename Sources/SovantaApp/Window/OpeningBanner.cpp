#include "SovantaApp/Window/OpeningBanner.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>

#include "SovantaApp/Components.h"

namespace sovanta::app {

namespace {

// The capsule behind the banner's row, on a translucent window colour.
class Capsule : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Style::faded(Style::separator(), 0.6), 1));
        painter.setBrush(Style::faded(palette().color(QPalette::Window), 0.92));
        QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
};

constexpr int bannerBottomGap = 18;
constexpr int bannerShadowRoom = 10;

}  // namespace

OpeningBanner::OpeningBanner(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* outer = new QHBoxLayout(this);
    // Room for the shadow around the capsule.
    outer->setContentsMargins(bannerShadowRoom, bannerShadowRoom - 2, bannerShadowRoom, bannerShadowRoom + 2);
    capsule_ = new Capsule(this);
    outer->addWidget(capsule_);
    auto* row = new QHBoxLayout(capsule_);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(10);
    row->addWidget(new Spinner(capsule_), 0, Qt::AlignVCenter);
    text_ = new QLabel(capsule_);
    text_->setTextFormat(Qt::PlainText);
    row->addWidget(text_, 0, Qt::AlignVCenter);

    // The fade is the banner's one graphics effect: Qt cannot draw an effect
    // inside another (a drop-shadow effect on the capsule drew nothing and
    // warned at every paint), so the banner paints the shadow itself.
    fade_ = new QGraphicsOpacityEffect(this);
    fade_->setOpacity(0);
    setGraphicsEffect(fade_);

    slide_ = new QPropertyAnimation(this, "pos", this);
    opacity_ = new QPropertyAnimation(fade_, "opacity", this);
    for (auto* animation : {slide_, opacity_}) {
        animation->setDuration(200);
        animation->setEasingCurve(QEasingCurve::InOutQuad);
    }
    connect(opacity_, &QPropertyAnimation::finished, this, [this] {
        if (!showing_) hide();
    });
    hide();
}

QString OpeningBanner::text() const { return text_->text(); }

double OpeningBanner::opacity() const { return fade_->opacity(); }

// The capsule's shadow: black at 33 % blurred over 8 points, 2 points down,
// as rings of the capsule's shape that fade outwards.
void OpeningBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF shape = QRectF(capsule_->geometry()).translated(0, 2);
    constexpr int rings = 8;
    for (int ring = rings; ring >= 1; --ring) {
        QRectF r = shape.adjusted(-ring / 2.0, -ring / 2.0, ring / 2.0, ring / 2.0);
        painter.setBrush(QColor(0, 0, 0, 84 / rings));
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
}

void OpeningBanner::setName(const std::optional<std::string>& name) {
    bool wasShowing = showing_;
    showing_ = name.has_value();
    if (name)
        text_->setText(QStringLiteral("Åbner ") + qs(*name) +
                       QStringLiteral(" … Godkend adgangen i dialogen, hvis macOS spørger."));
    adjustSize();
    if (!parentWidget()) return;
    int x = (parentWidget()->width() - width()) / 2;
    QPoint shown(x, parentWidget()->height() - height() - bannerBottomGap + bannerShadowRoom);
    QPoint below(x, parentWidget()->height());
    slide_->stop();
    opacity_->stop();
    if (showing_) {
        show();
        raise();
        if (!wasShowing) {
            slide_->setStartValue(below);
            opacity_->setStartValue(0.0);
        } else {
            slide_->setStartValue(pos());
            opacity_->setStartValue(fade_->opacity());
        }
        slide_->setEndValue(shown);
        opacity_->setEndValue(1.0);
    } else {
        if (!isVisible()) return;
        slide_->setStartValue(pos());
        slide_->setEndValue(below);
        opacity_->setStartValue(fade_->opacity());
        opacity_->setEndValue(0.0);
    }
    slide_->start();
    opacity_->start();
}

void OpeningBanner::place() {
    if (!parentWidget() || !showing_) return;
    adjustSize();
    slide_->stop();
    move((parentWidget()->width() - width()) / 2,
         parentWidget()->height() - height() - bannerBottomGap + bannerShadowRoom);
    if (opacity_->state() != QAbstractAnimation::Running) fade_->setOpacity(1.0);
}

}  // namespace sovanta::app
