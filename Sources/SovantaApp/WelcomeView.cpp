#include "SovantaApp/WelcomeView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sovanta::app {

namespace {

QLabel* label(const QString& text, const QFont& font, std::optional<QColor> colour, bool wraps, QWidget* parent) {
    QLabel* l = textLabel(text, font, colour, parent);
    l->setWordWrap(wraps);
    return l;
}

struct Step {
    int number;
    const char* symbol;
    const char* title;
    const char* text;
};

const Step steps[] = {
    {1, "externaldrive", "Vælg disken", "Vælg den beskadigede disk i listen til venstre, eller åbn et diskbillede."},
    {2, "magnifyingglass", "Scan",
     "Den hurtige scanning læser filsystemet. Den dybe scanning finder tabte partitioner og filer ud fra deres "
     "indhold."},
    {3, "arrow.down.doc", "Gendan", "Vælg filerne, se dem før gendannelse, og gem dem på en anden disk."},
};

struct Advice {
    const char* symbol;
    const char* text;
};

const Advice advice[] = {
    {"hand.raised",
     "Brug ikke den beskadigede disk til andet. Hver skrivning kan overskrive de data, du vil redde. Sovanta åbner "
     "altid disken skrivebeskyttet."},
    {"waveform.path.ecg",
     "Klikker disken, er den meget langsom, eller melder den læsefejl? Lav et diskbillede først, og scan derefter "
     "billedet. Så skal den syge disk kun læses én gang."},
    {"externaldrive.badge.plus",
     "Gendan altid til en anden disk end den, du gendanner fra. Sovanta forhindrer dig i at gøre det modsatte."},
    {"lock.shield",
     "For at læse en fysisk disk beder macOS om din administratoradgangskode. Adgangen gælder kun læsning."},
};

}  // namespace

StepCard::StepCard(int number, const std::string& symbol, const std::string& title, const std::string& text,
                   QWidget* parent)
    : Card(16, parent) {
    QFont title2 = Style::font(Style::TextStyle::title2);
    auto* top = new QHBoxLayout;
    int side = QFontMetrics(title2).height();
    top->addWidget(new SymbolView(symbol, Style::accent(), side, side * 4 / 5, this), 0, Qt::AlignVCenter);
    top->addStretch(1);
    top->addWidget(label(QString::number(number), Style::font(Style::TextStyle::title2, QFont::Bold),
                         Style::tertiaryText(), false, this),
                   0, Qt::AlignVCenter);
    content()->addLayout(top);
    add(label(qs(title), Style::font(Style::TextStyle::headline), std::nullopt, false, this));
    text_ = label(qs(text), Style::font(Style::TextStyle::callout), Style::secondaryText(), true, this);
    add(text_);
    content()->addStretch(1);
}

Tip::Tip(const std::string& symbol, const std::string& text, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    QFont body = Style::font(Style::TextStyle::body);
    int glyph = QFontMetrics(body).height();
    auto* symbolView = new SymbolView(symbol, Style::accent(), 20, glyph, this);
    row->addWidget(symbolView, 0, Qt::AlignTop);
    text_ = label(qs(text), body, std::nullopt, true, this);
    row->addWidget(text_, 1, Qt::AlignTop);
}

WelcomeView::WelcomeView(std::function<void()> openImage, QWidget* parent)
    : QScrollArea(parent), openImage_(std::move(openImage)) {
    setWindowTitle(QStringLiteral("Kom i gang"));
    // At most 980 wide, against the leading edge; the rest of the width stays empty.
    QVBoxLayout* stack = makePageColumn(this, 980, 32, 28);
    QWidget* column = stack->parentWidget();
    stack->addLayout(makeHeading(column));
    stack->addLayout(makeSteps(column));
    stack->addWidget(makeAdvice(column));
    stack->addLayout(makeOpenRow(column));
    stack->addWidget(makeFileSystems(column));
    stack->addStretch(1);
}

// The heading: the symbol, the name and what the application does.
QHBoxLayout* WelcomeView::makeHeading(QWidget* column) {
    auto* heading = new QHBoxLayout;
    heading->setSpacing(18);
    int glyph = 52;
    heading->addWidget(new SymbolView("externaldrive.badge.checkmark", Style::accent(), glyph + 8, glyph, column), 0,
                       Qt::AlignVCenter);
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    names->addWidget(label(QStringLiteral("Sovanta"), Style::systemFont(34, QFont::Bold), std::nullopt, false, column));
    names->addWidget(label(QStringLiteral("Hent dine data tilbage fra beskadigede, formaterede eller ulæselige diske."),
                           Style::font(Style::TextStyle::title3), Style::secondaryText(), true, column));
    heading->addLayout(names, 1);
    return heading;
}

// The steps, side by side at every width.
QHBoxLayout* WelcomeView::makeSteps(QWidget* column) {
    auto* stepRow = new QHBoxLayout;
    stepRow->setSpacing(16);
    for (const Step& step : steps)
        stepRow->addWidget(new StepCard(step.number, step.symbol, step.title, step.text, column), 1);
    return stepRow;
}

Card* WelcomeView::makeAdvice(QWidget* column) {
    auto* tips = new Card(16, column);
    tips->add(new CardTitle("Gode råd før du starter", "lightbulb", tips));
    auto* tipStack = new QVBoxLayout;
    tipStack->setSpacing(10);
    for (const Advice& a : advice) tipStack->addWidget(new Tip(a.symbol, a.text, tips));
    tips->content()->addLayout(tipStack);
    return tips;
}

// Opening an image.
QHBoxLayout* WelcomeView::makeOpenRow(QWidget* column) {
    auto* openRow = new QHBoxLayout;
    openRow->setSpacing(12);
    openButton_ = new QPushButton(Style::buttonIcon("doc.badge.plus"), QStringLiteral("Åbn diskbillede …"), column);
    // The large control size.
    openButton_->setMinimumHeight(36);
    openButton_->setIconSize(QSize(18, 18));
    openButton_->setStyleSheet(QStringLiteral("QPushButton { padding: 4px 14px; }"));
    connect(openButton_, &QPushButton::clicked, this, [this] {
        if (openImage_) openImage_();
    });
    openRow->addWidget(openButton_, 0, Qt::AlignVCenter);
    openRow->addWidget(label(QStringLiteral("Understøtter .img, .dd, .raw, .bin, .iso og Apple-diskbilleder (.dmg)."),
                             Style::font(Style::TextStyle::callout), Style::secondaryText(), false, column),
                       1, Qt::AlignVCenter);
    return openRow;
}

// The supported file systems.
Card* WelcomeView::makeFileSystems(QWidget* column) {
    auto* systems = new Card(16, column);
    systems->add(new CardTitle("Understøttede filsystemer", "checklist", systems));
    systems->add(label(QStringLiteral("NTFS, FAT12/16/32, exFAT, HFS+/HFSX og APFS (ukrypteret) – med gendannelse af "
                                      "slettede filer, tabte partitioner, beskadigede bootsektorer og MFT'er. "
                                      "Signatursøgning finder over 40 filtyper, bl.a. fotos (JPEG, HEIC, RAW), video "
                                      "(MP4, MOV), dokumenter (PDF, Office) og arkiver."),
                       Style::font(Style::TextStyle::body), Style::secondaryText(), true, systems));
    return systems;
}

}  // namespace sovanta::app
