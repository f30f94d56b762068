#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/WelcomeView.h"

using namespace sovanta;
using namespace sovanta::app;

namespace {

class Components : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Style::setUpApplicationLook(); }
};

// Pixels of the colour (ignoring alpha) that are not transparent.
int paintedPixels(const QPixmap& pixmap, const QColor& colour) {
    QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            QColor c = image.pixelColor(x, y);
            if (c.alpha() > 128 && c.red() == colour.red() && c.green() == colour.green() && c.blue() == colour.blue())
                ++count;
        }
    return count;
}

// Lays out a widget at a width, offscreen.
void layOut(QWidget& widget, int width) {
    widget.resize(width, widget.heightForWidth(width) > 0 ? widget.heightForWidth(width) : widget.sizeHint().height());
    widget.show();
    sovanta::test::drainEvents();
}

// Whether a wrapping label shows all its lines at its width.
bool showsWholeText(const QLabel* label) {
    return label->wordWrap() && label->height() >= label->heightForWidth(label->width());
}

}  // namespace

TEST_F(Components, EverySymbolNameDrawsAThemeIconInTheAskedColour) {
    ASSERT_FALSE(Style::knownSymbols().empty());
    for (const std::string& name : Style::knownSymbols()) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Style::icon(name).isNull()) << Style::themeIconName(name).toStdString();
        EXPECT_GT(paintedPixels(Style::symbolPixmap(name, 24, Style::Colors::red), Style::Colors::red), 20);
    }
    EXPECT_TRUE(Style::icon("no.such.symbol").isNull());
    EXPECT_EQ(paintedPixels(Style::symbolPixmap("no.such.symbol", 24, Style::Colors::red), Style::Colors::red), 0);

    // The names the components and the core hand out are all in the table.
    std::vector<std::string> used = {"photo", "film", "waveform", "doc.text", "archivebox", "doc", "folder.fill",
                                     "folder.badge.minus", "sparkles", "doc.badge.plus", "arrow.clockwise",
                                     "magnifyingglass", "checkmark.circle.fill", "square.and.arrow.down.on.square",
                                     "sdcard", "internaldrive", "externaldrive"};
    for (auto kind : {Callout::Kind::info, Callout::Kind::warning, Callout::Kind::danger, Callout::Kind::success})
        used.push_back(Callout::symbol(kind));
    for (auto health : {DiskHealth::good, DiskHealth::warning, DiskHealth::failing, DiskHealth::unknown})
        used.push_back(healthSymbol(health));
    for (const auto& name : used) EXPECT_FALSE(Style::themeIconName(name).isEmpty()) << name;
}

// The unknown health's symbol is a question mark in a ring, not the theme's
// question mark in a diamond, which reads as the broken-character sign.
TEST_F(Components, UnknownHealthSymbolIsNoDiamond) {
    const std::string symbol = healthSymbol(DiskHealth::unknown);
    QImage drawn = Style::symbolPixmap(symbol, 48, Style::Colors::red).toImage();
    QImage diamond(drawn.size(), QImage::Format_ARGB32_Premultiplied);
    diamond.fill(Qt::transparent);
    {
        QPainter painter(&diamond);
        painter.drawPixmap(diamond.rect(), QIcon::fromTheme(QStringLiteral("dialog-question-symbolic")).pixmap(drawn.size()));
    }
    // The diamond is filled a quarter in from the left; the ring is hollow
    // there and drawn at the edge.
    const int w = drawn.width(), h = drawn.height();
    EXPECT_GT(diamond.pixelColor(w / 4, h / 2).alpha(), 0);
    EXPECT_EQ(drawn.pixelColor(w / 4, h / 2).alpha(), 0);
    EXPECT_GT(drawn.pixelColor(2, h / 2).alpha(), 0);
    EXPECT_GT(paintedPixels(Style::symbolPixmap(symbol, 24, Style::Colors::red), Style::Colors::red), 20);
}

TEST_F(Components, DiskIconChoosesItsSymbolByTheFirstRuleThatHolds) {
    struct Case {
        bool image, internal;
        const char* bus;
        const char* media;
        const char* symbol;
    };
    const Case cases[] = {
        {true, true, "Secure Digital", "SD Card Reader", "doc.zipper"},
        {false, true, "SECURE DIGITAL", "", "sdcard"},
        {false, false, "USB", "Generic SD CARD", "sdcard"},
        {false, true, "SATA", "Samsung SSD", "internaldrive"},
        {false, false, "USB", "WD Passport", "externaldrive"},
    };
    for (const Case& c : cases) {
        DiskInfo disk;
        disk.isDiskImage = c.image;
        disk.isInternal = c.internal;
        disk.busProtocol = c.bus;
        disk.mediaName = c.media;
        EXPECT_EQ(DiskIcon::symbolFor(disk), c.symbol) << c.bus << " / " << c.media;
        DiskIcon icon(disk, 22);
        EXPECT_EQ(icon.symbol(), c.symbol);
        EXPECT_EQ(icon.size(), QSize(22, 22));
        EXPECT_EQ(icon.colour(), Style::accent());
    }
}

TEST_F(Components, HealthDotAndBadgeShowTheHealthsTextSymbolAndColour) {
    struct Case {
        DiskHealth health;
        const char* text;
        const char* symbol;
        QColor colour;
    };
    const Case cases[] = {
        {DiskHealth::good, "S.M.A.R.T.: OK", "checkmark.shield.fill", Style::Colors::green},
        {DiskHealth::warning, "S.M.A.R.T.: Advarsel", "exclamationmark.shield.fill", Style::Colors::orange},
        {DiskHealth::failing, "S.M.A.R.T.: Fejler", "xmark.shield.fill", Style::Colors::red},
        {DiskHealth::unknown, "S.M.A.R.T.: Ukendt", "questionmark.circle", Style::Colors::gray},
    };
    for (const Case& c : cases) {
        HealthDot dot(c.health);
        EXPECT_EQ(dot.toolTip().toStdString(), c.text);
        EXPECT_EQ(dot.size(), QSize(8, 8));
        EXPECT_EQ(dot.colour(), c.colour);
        HealthBadge badge(c.health);
        EXPECT_EQ(badge.text().toStdString(), c.text);
        EXPECT_EQ(badge.symbolView()->symbol(), c.symbol);
        EXPECT_EQ(badge.symbolView()->colour(), c.colour);
        QImage drawn = dot.grab().toImage();
        EXPECT_EQ(drawn.pixelColor(4, 4).rgb(), c.colour.rgb());
    }
}

TEST_F(Components, PartitionBarWidthsAreSharesOfTheTotalAtLeastFourWide) {
    auto segment = [](uint64_t size) {
        PartitionBar::Segment s;
        s.label = "EFI";
        s.size = size;
        s.color = PartitionBar::paletteColour(0);
        return s;
    };
    auto widths = PartitionBar::segmentWidths({segment(250), segment(500), segment(0), segment(1)}, 1000, 400);
    ASSERT_EQ(widths.size(), 4u);
    EXPECT_DOUBLE_EQ(widths[0], 100);
    EXPECT_DOUBLE_EQ(widths[1], 200);
    EXPECT_DOUBLE_EQ(widths[2], 4);  // empty, still drawn
    EXPECT_DOUBLE_EQ(widths[3], 4);  // far below its share
    // A total of 0 counts as 1: no division by zero, every segment at least 4.
    widths = PartitionBar::segmentWidths({segment(0), segment(3)}, 0, 400);
    EXPECT_DOUBLE_EQ(widths[0], 4);
    EXPECT_DOUBLE_EQ(widths[1], 1200);  // not scaled to fit

    EXPECT_EQ(PartitionBar::tooltip(segment(1000)).toStdString(), "EFI – " + formatBytes(1000));

    // The palette repeats every eight segments.
    ASSERT_EQ(PartitionBar::palette().size(), 8u);
    EXPECT_EQ(PartitionBar::palette()[0], Style::Colors::blue);
    EXPECT_EQ(PartitionBar::palette()[7], Style::Colors::brown);
    EXPECT_EQ(PartitionBar::paletteColour(8), PartitionBar::paletteColour(0));
    EXPECT_EQ(PartitionBar::paletteColour(9), Style::Colors::purple);
}

TEST_F(Components, PartitionBarLaysOutItsSegmentsAndLegend) {
    std::vector<PartitionBar::Segment> segments;
    for (uint64_t i = 0; i < 5; ++i) {
        PartitionBar::Segment s;
        s.label = "Partition " + std::to_string(i + 1);
        s.size = 100;
        s.color = PartitionBar::paletteColour(i);
        segments.push_back(s);
    }
    PartitionBar bar(segments, 1000);
    layOut(bar, 600);
    EXPECT_EQ(bar.bar()->height(), 22);
    auto rects = bar.segmentRects();
    ASSERT_EQ(rects.size(), 5u);
    EXPECT_DOUBLE_EQ(rects[0].x(), 0);
    EXPECT_DOUBLE_EQ(rects[1].x(), rects[0].width() + 2);
    EXPECT_DOUBLE_EQ(rects[0].width(), 60);
    // Columns at least 180 wide: three at 600, one at 150.
    EXPECT_EQ(bar.legend()->columnCount(), 3);
    EXPECT_EQ(FlowLegend::columnsFor(150), 1);
    EXPECT_EQ(FlowLegend::columnsFor(372), 2);
    layOut(bar, 300);
    EXPECT_EQ(bar.legend()->columnCount(), 1);

    auto labels = bar.legend()->findChildren<QLabel*>();
    QStringList texts;
    for (auto* l : labels) texts << l->text();
    EXPECT_TRUE(texts.contains("Partition 5"));
    EXPECT_TRUE(texts.contains(QString::fromStdString(formatBytes(100))));

    PartitionBar empty({}, 1000);
    layOut(empty, 400);
    EXPECT_TRUE(empty.segmentRects().empty());
    EXPECT_TRUE(empty.legend()->findChildren<QLabel*>().isEmpty());
}

TEST_F(Components, CardTitleAndStatTileWithoutSymbolStartWithTheirTitle) {
    CardTitle bare("Diske");
    layOut(bare, 300);
    EXPECT_EQ(bare.symbolView(), nullptr);
    EXPECT_EQ(bare.findChild<QLabel*>()->x(), 0);
    CardTitle withSymbol("Diske", "externaldrive");
    layOut(withSymbol, 300);
    ASSERT_NE(withSymbol.symbolView(), nullptr);
    EXPECT_EQ(withSymbol.symbolView()->colour(), Style::accent());
    EXPECT_EQ(withSymbol.findChild<QLabel*>()->x(), withSymbol.symbolView()->width() + 8);

    StatTile tile("Filer", "1.234", std::nullopt, Style::Colors::green);
    layOut(tile, 200);
    EXPECT_EQ(tile.symbolView(), nullptr);
    EXPECT_EQ(tile.findChild<QLabel*>()->x(), 12);
    EXPECT_EQ(tile.tint(), Style::Colors::green);
    StatTile accentTile("Filer", "1", std::string("doc"));
    EXPECT_EQ(accentTile.tint(), Style::accent());
    EXPECT_EQ(accentTile.symbolView()->colour(), Style::accent());
}

TEST_F(Components, LongStatValueShrinksToSeventyPercentThenIsCut) {
    StatTile tile("Læst", "12 GB");
    layOut(tile, 300);
    auto* value = tile.valueLabel();
    int natural = Style::font(Style::TextStyle::title3, QFont::DemiBold).pixelSize();
    EXPECT_EQ(value->fittedFont().pixelSize(), natural);
    EXPECT_FALSE(value->isCut());

    // A little too long: shrinks and fits.
    QString text = "123456789012";
    double full = QFontMetricsF(Style::font(Style::TextStyle::title3, QFont::DemiBold)).horizontalAdvance(text);
    tile.setValue(text.toStdString());
    layOut(tile, static_cast<int>(full * 0.85) + 24);
    EXPECT_LT(value->fittedFont().pixelSize(), natural);
    EXPECT_GE(value->fittedFont().pixelSize(), static_cast<int>(natural * 0.7));
    EXPECT_FALSE(value->isCut());

    // Far too long: no smaller than 70 %, and cut.
    tile.setValue(std::string(80, '8'));
    layOut(tile, 200);
    EXPECT_EQ(value->fittedFont().pixelSize(), static_cast<int>(std::floor(natural * 0.7)));
    EXPECT_TRUE(value->isCut());
}

TEST_F(Components, CalloutShowsItsKindAndWrapsALongMessage) {
    struct Case {
        Callout::Kind kind;
        const char* symbol;
        QColor colour;
    };
    const Case cases[] = {
        {Callout::Kind::info, "info.circle.fill", Style::Colors::blue},
        {Callout::Kind::warning, "exclamationmark.triangle.fill", Style::Colors::orange},
        {Callout::Kind::danger, "xmark.octagon.fill", Style::Colors::red},
        {Callout::Kind::success, "checkmark.seal.fill", Style::Colors::green},
    };
    for (const Case& c : cases) {
        Callout callout(c.kind, "Titel", "Besked");
        auto* symbol = callout.findChild<SymbolView*>();
        ASSERT_NE(symbol, nullptr);
        EXPECT_EQ(symbol->symbol(), c.symbol);
        EXPECT_EQ(symbol->colour(), c.colour);
        EXPECT_EQ(Callout::colour(c.kind), c.colour);
    }

    std::string longMessage;
    for (int i = 0; i < 30; ++i) longMessage += "Disken svarer langsomt på læsninger. ";
    Callout callout(Callout::Kind::warning, "Advarsel", longMessage);
    layOut(callout, 320);
    auto* message = callout.messageLabel();
    EXPECT_GT(message->height(), 3 * QFontMetrics(message->font()).height());
    EXPECT_TRUE(showsWholeText(message));
    EXPECT_EQ(message->text().toStdString(), longMessage);
}

TEST_F(Components, StartPageOffersItsStepsAdviceAndTheOpenButton) {
    int opened = 0;
    WelcomeView page([&] { ++opened; });
    EXPECT_EQ(page.windowTitle(), "Kom i gang");
    // The narrowest detail area: the narrowest window less the widest sidebar.
    page.resize(1220 - 340, 700);
    page.show();
    sovanta::test::drainEvents();

    QStringList texts;
    for (auto* l : page.findChildren<QLabel*>()) texts << l->text();
    for (const char* text : {"Sovanta", "Vælg disken", "Scan", "Gendan", "Gode råd før du starter",
                             "Understøttede filsystemer",
                             "Understøtter .img, .dd, .raw, .bin, .iso og Apple-diskbilleder (.dmg)."})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << text;
    EXPECT_EQ(page.openButton()->text(), QString::fromUtf8("Åbn diskbillede \u2026"));

    // Three steps in one row, their texts wrapped rather than cut.
    auto cards = page.findChildren<StepCard*>();
    ASSERT_EQ(cards.size(), 3);
    for (auto* card : cards) {
        EXPECT_EQ(card->y(), cards[0]->y());
        EXPECT_GT(card->textLabel()->height(), QFontMetrics(card->textLabel()->font()).height());
        EXPECT_TRUE(showsWholeText(card->textLabel()));
    }
    // Tips wrap under their own first line, beside their symbol.
    auto tips = page.findChildren<Tip*>();
    ASSERT_EQ(tips.size(), 4);
    for (auto* tip : tips) {
        auto* symbol = tip->findChild<SymbolView*>();
        EXPECT_EQ(symbol->width(), 20);
        EXPECT_GE(tip->textLabel()->x(), symbol->x() + symbol->width() + 10);
        EXPECT_TRUE(showsWholeText(tip->textLabel()));
    }

    QTest::mouseClick(page.openButton(), Qt::LeftButton);
    EXPECT_EQ(opened, 1);
}
