// The small views that give every page one look, over the colours, text
// styles and symbols of Style.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QWidget>

#include "SovantaApp/Style.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/Model.h"

class QGridLayout;
class QLabel;
class QMessageBox;
class QScrollArea;
class QTimer;
class QVBoxLayout;

namespace sovanta::app {

// A symbol drawn in one colour, centred in its box.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    // side: the box; glyph: the symbol's size inside it (the side when 0).
    SymbolView(std::string symbol, QColor colour, int side, int glyph = 0, QWidget* parent = nullptr);
    const std::string& symbol() const { return symbol_; }
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string symbol_;
    QColor colour_;
    int glyph_;
};

// The small indeterminate progress indicator: an arc that turns while shown.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer* timer_;
    int angle_ = 0;
};

// A text of the core (UTF-8) as Qt's.
inline QString qs(const std::string& text) { return QString::fromStdString(text); }
// Draws the widget's text (a label's, a line's) in the colour.
void setTextColour(QWidget* widget, const QColor& colour);
// A one-style label of plain text, in a colour when one is given (else the
// palette's text colour).
QLabel* textLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent);
// A tooltip that shows text as it stands: a name such as "<b>x</b>" is not
// taken for markup.
QString plainToolTip(const QString& text);
// Shows every text of an alert as it stands (Qt reads its informative text as
// markup when it looks like some).
void showPlainText(QMessageBox* alert);

// Makes area a page's vertical scroll view holding one column at most
// maxWidth wide against the leading edge, inside margin on all sides; returns
// the column's stack, spacing apart.
QVBoxLayout* makePageColumn(QScrollArea* area, int maxWidth, int margin, int spacing);

// A horizontal line one pixel high in the separator colour.
QFrame* divider(QWidget* parent);

// A rounded square of one colour, 10 by 10: a legend's key.
class Swatch : public QWidget {
    Q_OBJECT
public:
    Swatch(QColor colour, double radius, QWidget* parent = nullptr);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
    double radius_;
};

// A picture scaled to fit the view, its aspect ratio kept, inset by 8.
class FittedImage : public QWidget {
    Q_OBJECT
public:
    explicit FittedImage(QImage image = {}, QWidget* parent = nullptr);
    const QImage& image() const { return image_; }
    void setImage(QImage image);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

// One line of text cut in the middle when it does not fit (a path, a mount
// point); the tooltip holds the whole of it.
class PathLabel : public QLabel {
    Q_OBJECT
public:
    explicit PathLabel(QWidget* parent = nullptr);
    QString fullText() const { return full_; }
    void setFullText(const QString& text);
    // The whole text's width; at least 40 wide when cut.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fit();
    QString full_;
};

// MARK: Card and its title

// A framed group of content: a vertical stack 12 apart inside the padding.
class Card : public QFrame {
    Q_OBJECT
public:
    explicit Card(double padding = 16, QWidget* parent = nullptr);
    // The stack the card's content goes into.
    QVBoxLayout* content() const { return content_; }
    void add(QWidget* widget);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* content_;
};

class CardTitle : public QWidget {
    Q_OBJECT
public:
    explicit CardTitle(const std::string& title, std::optional<std::string> symbol = std::nullopt,
                       QWidget* parent = nullptr);
    QString title() const;
    // The symbol's view; null without a symbol.
    SymbolView* symbolView() const { return symbol_; }

private:
    QLabel* title_;
    SymbolView* symbol_ = nullptr;
};

// MARK: Statistic tile

// A label on one line whose text shrinks down to a floor before it is cut.
class ShrinkingLabel : public QWidget {
    Q_OBJECT
public:
    ShrinkingLabel(QString text, QFont font, double minimumScale, QWidget* parent = nullptr);
    QString text() const { return text_; }
    void setText(QString text);
    // The font the text is drawn in at the current width.
    QFont fittedFont() const;
    // Whether the text is cut at the current width.
    bool isCut() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QFont font_;
    double minimumScale_;
};

class StatTile : public QWidget {
    Q_OBJECT
public:
    StatTile(const std::string& title, const std::string& value, std::optional<std::string> symbol = std::nullopt,
             std::optional<QColor> tint = std::nullopt, QWidget* parent = nullptr);
    QString title() const;
    QString value() const;
    void setValue(const std::string& value);
    SymbolView* symbolView() const { return symbol_; }
    ShrinkingLabel* valueLabel() const { return value_; }
    QColor tint() const { return tint_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor tint_;
    QLabel* title_;
    ShrinkingLabel* value_;
    SymbolView* symbol_ = nullptr;
};

// MARK: Callout

class Callout : public QWidget {
    Q_OBJECT
public:
    enum class Kind { info, warning, danger, success };
    static std::string symbol(Kind kind);
    static QColor colour(Kind kind);

    Callout(Kind kind, const std::string& title, const std::string& message, QWidget* parent = nullptr);
    Kind kind() const { return kind_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* messageLabel() const { return message_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind kind_;
    QLabel* title_;
    QLabel* message_;
};

// MARK: Disks and their health

class DiskIcon : public SymbolView {
    Q_OBJECT
public:
    DiskIcon(const DiskInfo& disk, int size, QWidget* parent = nullptr);
    // "doc.zipper", "sdcard", "internaldrive" or "externaldrive".
    static std::string symbolFor(const DiskInfo& disk);
};

// "S.M.A.R.T.: OK", … ; the badge's symbol; the health's colour.
std::string healthText(DiskHealth health);
std::string healthSymbol(DiskHealth health);
QColor healthColour(DiskHealth health);

// A dot of 8 by 8 in one colour.
class Dot : public QWidget {
    Q_OBJECT
public:
    explicit Dot(QColor colour, QWidget* parent = nullptr);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

class HealthDot : public Dot {
    Q_OBJECT
public:
    explicit HealthDot(DiskHealth health, QWidget* parent = nullptr);
    DiskHealth health() const { return health_; }

private:
    DiskHealth health_;
};

class HealthBadge : public QWidget {
    Q_OBJECT
public:
    explicit HealthBadge(DiskHealth health, QWidget* parent = nullptr);
    DiskHealth health() const { return health_; }
    QString text() const;
    SymbolView* symbolView() const { return symbol_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DiskHealth health_;
    QLabel* text_;
    SymbolView* symbol_;
};

// MARK: Partition bar

class FlowLegend;

// A proportional bar of a disk's partitions above its legend.
class PartitionBar : public QWidget {
    Q_OBJECT
public:
    struct Segment {
        Uuid id = Uuid::random();
        std::string label;
        uint64_t size = 0;
        QColor color;
    };
    // blue, purple, teal, orange, pink, indigo, green, brown.
    static const std::vector<QColor>& palette();
    // The palette's colour for the segment at a position.
    static QColor paletteColour(size_t position);
    // Each segment's width in a bar of the given width: its share of total
    // (0 counts as 1), at least 4.
    static std::vector<double> segmentWidths(const std::vector<Segment>& segments, uint64_t total, double width);
    // "label – size", the segment's tooltip.
    static QString tooltip(const Segment& segment);

    PartitionBar(std::vector<Segment> segments, uint64_t total, QWidget* parent = nullptr);
    const std::vector<Segment>& segments() const { return segments_; }
    uint64_t total() const { return total_; }
    // The drawn rectangles of the segments, in bar coordinates.
    std::vector<QRectF> segmentRects() const;
    QWidget* bar() const { return bar_; }
    FlowLegend* legend() const { return legend_; }

private:
    std::vector<Segment> segments_;
    uint64_t total_;
    QWidget* bar_;
    FlowLegend* legend_;
};

// The legend of a partition bar: a grid whose columns are at least 180 wide.
class FlowLegend : public QWidget {
    Q_OBJECT
public:
    explicit FlowLegend(const std::vector<PartitionBar::Segment>& segments, QWidget* parent = nullptr);
    int columnCount() const { return columns_; }
    // The number of columns at a width.
    static int columnsFor(int width);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void arrange(int columns);
    QGridLayout* grid_;
    std::vector<QWidget*> cells_;
    int columns_ = 0;
};

}  // namespace sovanta::app
