#include "SovantaApp/QuickLookView.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <utility>

#include <QAudioDevice>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QMimeDatabase>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedLayout>
#include <QStringDecoder>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {

Bytes readHead(const std::string& path, int64_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    Bytes bytes(static_cast<size_t>(limit));
    in.read(reinterpret_cast<char*>(bytes.data()), limit);
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

bool isMedia(const QMimeType& type) {
    QString name = type.name();
    return name.startsWith(QLatin1String("audio/")) || name.startsWith(QLatin1String("video/")) ||
           type.inherits(QStringLiteral("application/ogg"));
}

// Bytes from offset on, at most limit of them.
Bytes readAt(const std::string& path, int64_t offset, int64_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(offset);
    if (!in) return {};
    Bytes bytes(static_cast<size_t>(limit));
    in.read(reinterpret_cast<char*>(bytes.data()), limit);
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

// The length of the bytes' head that ends on a whole character of the
// encoding: a slice that stops inside a character leaves it to the next.
size_t wholeCharacters(const Bytes& bytes, QStringConverter::Encoding encoding, bool latin1) {
    size_t size = bytes.size();
    if (latin1) return size;
    if (encoding == QStringConverter::Utf16 || encoding == QStringConverter::Utf16LE ||
        encoding == QStringConverter::Utf16BE) {
        size -= size % 2;
        // Not between the two halves of a surrogate pair.
        if (size >= 2) {
            bool little = encoding != QStringConverter::Utf16BE;
            char16_t last = little ? static_cast<char16_t>(bytes[size - 2] | (bytes[size - 1] << 8))
                                   : static_cast<char16_t>((bytes[size - 2] << 8) | bytes[size - 1]);
            if (QChar::isHighSurrogate(last)) size -= 2;
        }
        return size;
    }
    if (encoding == QStringConverter::Utf32 || encoding == QStringConverter::Utf32LE ||
        encoding == QStringConverter::Utf32BE)
        return size - size % 4;
    // UTF-8: back over the continuation bytes of the last character, and keep
    // it only when it is complete.
    size_t lead = size;
    int continuation = 0;
    while (lead > 0 && continuation < 4 && (bytes[lead - 1] & 0xC0) == 0x80) {
        --lead;
        ++continuation;
    }
    if (lead == 0) return size;
    uint8_t first = bytes[lead - 1];
    int length = first < 0x80 ? 1 : (first >> 5) == 0x6 ? 2 : (first >> 4) == 0xE ? 3 : (first >> 3) == 0x1E ? 4 : 1;
    return continuation + 1 >= length ? size : lead - 1;
}

// Qt's GStreamer player crashes as it is made when GStreamer's base plugins
// are missing; the FFmpeg one brings its own decoders and needs neither a
// screen nor a sound device. Chosen before the first use of Qt's media
// support, unless the user chose one.
void chooseMediaBackend() {
    static const bool chosen = [] {
        if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "ffmpeg");
        return true;
    }();
    (void)chosen;
}

QString playTime(qint64 milliseconds) {
    qint64 seconds = std::max<qint64>(milliseconds, 0) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QuickLookView::Prepared QuickLookView::prepare(const std::string& path) {
    Prepared prepared;
    QMimeDatabase database;
    QMimeType type = database.mimeTypeForFile(QString::fromStdString(path));
    if (type.inherits(QStringLiteral("application/pdf"))) {
        // pdfium reads the whole of a damaged file to rebuild its table of
        // objects: that happens here, and only a document that loads with pages
        // goes to the GUI thread; one that does not shows as nothing.
        auto document = std::make_unique<QPdfDocument>();
        if (document->load(QString::fromStdString(path)) == QPdfDocument::Error::None &&
            document->status() == QPdfDocument::Status::Ready && document->pageCount() > 0) {
            prepared.kind = Kind::pdf;
            prepared.pdf = std::make_shared<LoadedPDF>();
            if (auto* app = QCoreApplication::instance()) document->moveToThread(app->thread());
            prepared.pdf->document = document.release();
        }
        return prepared;
    }
    if (isMedia(type)) {
        prepared.kind = Kind::media;
        return prepared;
    }
    if (type.name().startsWith(QLatin1String("image/"))) {
        if (auto image = Preview::decodeImage(readHead(path, Preview::thumbnailReadLimit), imagePixels)) {
            prepared.kind = Kind::image;
            prepared.image = std::move(image);
            return prepared;
        }
    }
    if (type.inherits(QStringLiteral("text/plain"))) {
        prepared.kind = Kind::text;
        prepared.text = readText(path, TextPlace{});
        return prepared;
    }
    prepared.kind = Kind::other;
    return prepared;
}

QuickLookView::LoadedPDF::~LoadedPDF() {
    // A document the view never took (its selection had moved on) lives on
    // the GUI thread: deleted there at once, or handed to it.
    if (!document) return;
    if (isMainThread())
        delete document;
    else
        document->deleteLater();
}

QuickLookView::TextSlice QuickLookView::readText(const std::string& path, const TextPlace& place) {
    TextSlice slice;
    slice.next = place;
    Bytes bytes = readAt(path, place.offset, textLimit + 1);
    slice.more = static_cast<int64_t>(bytes.size()) > textLimit;
    if (slice.more) bytes.resize(static_cast<size_t>(textLimit));
    TextPlace& next = slice.next;
    QByteArrayView view(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QString decoded;
    if (!next.encoding) {
        // The first slice: UTF-8 unless a byte-order mark says otherwise;
        // Latin-1 when the bytes are not UTF-8.
        auto marked = QStringConverter::encodingForData(view);
        next.encoding = marked.value_or(QStringConverter::Utf8);
        size_t whole = slice.more ? wholeCharacters(bytes, *next.encoding, false) : bytes.size();
        QStringDecoder decoder(*next.encoding);
        decoded = decoder.decode(view.first(static_cast<qsizetype>(whole)));
        if (decoder.hasError() && !marked) {
            next.latin1 = true;
            decoded = QString::fromLatin1(view);
            whole = bytes.size();
        }
        next.offset += static_cast<int64_t>(whole);
    } else {
        size_t whole = slice.more ? wholeCharacters(bytes, *next.encoding, next.latin1) : bytes.size();
        auto part = view.first(static_cast<qsizetype>(whole));
        if (next.latin1) {
            decoded = QString::fromLatin1(part);
        } else {
            QStringDecoder decoder(*next.encoding, QStringConverter::Flag::Stateless);
            decoded = decoder.decode(part);
        }
        next.offset += static_cast<int64_t>(whole);
    }

    // Laid out as it stands, a file of zeros or one long line keeps the GUI
    // thread for seconds: control characters become visible symbols (line
    // breaks and tabs stay), CR LF and lone CRs become line breaks, and a line
    // is cut every lineLimit characters.
    QString& out = slice.text;
    out.reserve(decoded.size() + decoded.size() / lineLimit + 1);
    const qsizetype count = decoded.size();
    for (qsizetype i = 0; i < count; ++i) {
        const QChar c = decoded.at(i);
        const char16_t u = c.unicode();
        if (u == u'\n' && next.afterCR) {
            next.afterCR = false;
            continue;
        }
        next.afterCR = false;
        if (u == u'\n' || u == u'\r' || u == 0x2028 || u == 0x2029 || u == 0x85) {
            out.append(QLatin1Char('\n'));
            next.column = 0;
            next.afterCR = u == u'\r';
            continue;
        }
        // A cut falls between two characters, not between the halves of one.
        if (next.column >= lineLimit && !c.isLowSurrogate()) {
            out.append(QLatin1Char('\n'));
            next.column = 0;
        }
        if (u == u'\t') {
            out.append(c);
        } else if (auto symbol = Fmt::visibleSymbol(u)) {
            out.append(QChar(*symbol));
        } else {
            out.append(c);
        }
        ++next.column;
    }
    return slice;
}

QuickLookView::QuickLookView(QWidget* parent) : QWidget(parent) {
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
}

QuickLookView::~QuickLookView() { clear(); }

void QuickLookView::clear() {
    if (player_) {
        player_->stop();
        player_->setVideoOutput(nullptr);
    }
    delete current_;
    current_ = nullptr;
    imageView_ = nullptr;
    pdfView_ = nullptr;
    pdfDocument_ = nullptr;
    textView_ = nullptr;
    player_ = nullptr;
    videoView_ = nullptr;
    playButton_ = nullptr;
    kind_ = Kind::none;
    text_ = TextSlice{};
    readingText_ = false;
}

void QuickLookView::setURL(const std::string& path) {
    if (path == url_) return;
    clear();
    url_ = path;
    const Ticket::Token show = shows_.next();
    QPointer<QuickLookView> self(this);
    Background::onPreviewQueue([self, path, show] {
        Prepared prepared = prepare(path);
        // Dropped when the view has gone or shows another file by now.
        onMain(self, [show, prepared = std::move(prepared)](QuickLookView& view) {
            if (view.shows_.isCurrent(show)) view.present(prepared);
        });
    });
}

void QuickLookView::readMoreText() {
    if (!textView_ || !text_.more || readingText_) return;
    readingText_ = true;
    const Ticket::Token show = shows_.current();
    QPointer<QuickLookView> self(this);
    Background::onPreviewQueue([self, path = url_, place = text_.next, show] {
        TextSlice slice = readText(path, place);
        onMain(self, [show, slice = std::move(slice)](QuickLookView& view) {
            if (!view.shows_.isCurrent(show) || !view.textView_) return;
            view.readingText_ = false;
            view.appendText(slice);
        });
    });
}

void QuickLookView::appendText(const TextSlice& slice) {
    // The marker of more to come goes, the slice follows where the last ended.
    QTextCursor cursor(textView_->document());
    cursor.movePosition(QTextCursor::End);
    if (text_.more) cursor.movePosition(QTextCursor::Left, QTextCursor::KeepAnchor, 2);
    cursor.insertText(slice.more ? slice.text + QStringLiteral("\n…") : slice.text);
    text_.more = slice.more;
    text_.next = slice.next;
}

void QuickLookView::present(const Prepared& prepared) {
    kind_ = prepared.kind;
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    switch (prepared.kind) {
        case Kind::image:
            imageView_ = new FittedImage(prepared.image.value_or(QImage()), page);
            layout->addWidget(imageView_);
            break;
        case Kind::pdf: {
            // Loaded on the preview queue; pages are drawn as they come into view.
            pdfDocument_ = prepared.pdf ? std::exchange(prepared.pdf->document, nullptr) : nullptr;
            if (!pdfDocument_) {
                kind_ = Kind::other;
                break;
            }
            pdfDocument_->setParent(page);
            pdfView_ = new QPdfView(page);
            pdfView_->setPageMode(QPdfView::PageMode::MultiPage);
            pdfView_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
            pdfView_->setDocument(pdfDocument_);
            layout->addWidget(pdfView_);
            break;
        }
        case Kind::text: {
            textView_ = new QPlainTextEdit(page);
            textView_->setReadOnly(true);
            textView_->setFrameShape(QFrame::NoFrame);
            textView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            textView_->document()->setDocumentMargin(8);
            textView_->setFont(Style::systemFont(11));
            textView_->viewport()->setAutoFillBackground(false);
            const TextSlice& first = prepared.text;
            textView_->setPlainText(first.more ? first.text + QStringLiteral("\n…") : first.text);
            text_.more = first.more;
            text_.next = first.next;
            // The rest on request: scrolled to its end, the view reads on.
            // (The scroll range grows as lines are laid out, so the end is
            // where the text's last line comes into view.)
            auto* bar = textView_->verticalScrollBar();
            auto atEnd = [this] {
                if (!textView_) return;
                QTextCursor bottom = textView_->cursorForPosition(QPoint(0, textView_->viewport()->height() - 1));
                if (bottom.blockNumber() + 1 >= textView_->document()->blockCount()) readMoreText();
            };
            connect(bar, &QScrollBar::valueChanged, this, atEnd);
            connect(bar, &QScrollBar::rangeChanged, this, atEnd);
            layout->addWidget(textView_);
            break;
        }
        case Kind::media: {
            chooseMediaBackend();
            player_ = new QMediaPlayer(page);
            videoView_ = new QVideoWidget(page);
            player_->setVideoOutput(videoView_);
            // Without a sound device the player plays in silence.
            if (!QMediaDevices::audioOutputs().isEmpty()) player_->setAudioOutput(new QAudioOutput(player_));
            layout->addWidget(videoView_, 1);
            auto* controls = new QHBoxLayout;
            controls->setContentsMargins(8, 4, 8, 4);
            playButton_ = new QPushButton(Style::buttonIcon("play.fill"), QString(), page);
            playButton_->setFlat(true);
            auto* time = new QLabel(playTime(0), page);
            time->setFont(Style::font(Style::TextStyle::caption));
            controls->addWidget(playButton_);
            controls->addWidget(time);
            controls->addStretch(1);
            layout->addLayout(controls);
            auto* player = player_;
            auto* button = playButton_;
            connect(playButton_, &QPushButton::clicked, player, [player] {
                if (player->playbackState() == QMediaPlayer::PlayingState)
                    player->pause();
                else
                    player->play();
            });
            connect(player_, &QMediaPlayer::playbackStateChanged, button, [button](QMediaPlayer::PlaybackState state) {
                button->setIcon(Style::buttonIcon(state == QMediaPlayer::PlayingState ? "pause.fill" : "play.fill"));
            });
            connect(player_, &QMediaPlayer::positionChanged, time,
                    [time](qint64 position) { time->setText(playTime(position)); });
            // Paused once loaded, a video shows its first picture.
            connect(player_, &QMediaPlayer::mediaStatusChanged, player, [player](QMediaPlayer::MediaStatus status) {
                if (status == QMediaPlayer::LoadedMedia && player->playbackState() == QMediaPlayer::StoppedState)
                    player->pause();
            });
            player_->setSource(QUrl::fromLocalFile(QString::fromStdString(url_)));
            break;
        }
        case Kind::none:
        case Kind::other:
            break;
    }
    current_ = page;
    stack_->addWidget(page);
    stack_->setCurrentWidget(page);
    emit shown();
}

}  // namespace sovanta::app
