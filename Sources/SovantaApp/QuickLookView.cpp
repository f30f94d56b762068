#include "SovantaApp/QuickLookView.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include <QAudioDevice>
#include <QAudioOutput>
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
#include <QStackedLayout>
#include <QStringDecoder>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Preview.h"

namespace sovanta::app {

namespace {

// A picture scaled to fit the view, its aspect ratio kept, inset by 8.
class FittedImage : public QWidget {
public:
    FittedImage(QImage image, QWidget* parent) : QWidget(parent), image_(std::move(image)) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QRectF box = QRectF(rect()).adjusted(8, 8, -8, -8);
        if (image_.isNull() || box.width() <= 0 || box.height() <= 0) return;
        QSizeF size = QSizeF(image_.size()).scaled(box.size(), Qt::KeepAspectRatio);
        QRectF target(box.center().x() - size.width() / 2, box.center().y() - size.height() / 2, size.width(),
                      size.height());
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image_);
    }

private:
    QImage image_;
};

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

// UTF-8 unless a byte-order mark says otherwise; Latin-1 when the bytes are not UTF-8.
QString decodeText(const Bytes& bytes) {
    QByteArrayView view(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    auto encoding = QStringConverter::encodingForData(view);
    QStringDecoder decoder(encoding.value_or(QStringConverter::Utf8));
    QString text = decoder.decode(view);
    if (decoder.hasError() && !encoding) return QString::fromLatin1(view);
    return text;
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
        prepared.kind = Kind::pdf;
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
        Bytes bytes = readHead(path, textLimit + 1);
        prepared.cut = static_cast<int64_t>(bytes.size()) > textLimit;
        if (prepared.cut) bytes.resize(static_cast<size_t>(textLimit));
        prepared.kind = Kind::text;
        prepared.text = decodeText(bytes);
        return prepared;
    }
    prepared.kind = Kind::other;
    return prepared;
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
}

void QuickLookView::setURL(const std::string& path) {
    if (path == url_) return;
    clear();
    url_ = path;
    QPointer<QuickLookView> self(this);
    Background::onPreviewQueue([self, path] {
        Prepared prepared = prepare(path);
        onMain([self, path, prepared = std::move(prepared)] {
            // Dropped when the view has gone or shows another file by now.
            if (!self || self->url_ != path) return;
            self->present(prepared);
        });
    });
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
            pdfDocument_ = new QPdfDocument(page);
            pdfView_ = new QPdfView(page);
            pdfView_->setPageMode(QPdfView::PageMode::MultiPage);
            pdfView_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
            pdfView_->setDocument(pdfDocument_);
            // pdfium reads the cross-reference table here; pages are drawn as they come into view.
            pdfDocument_->load(QString::fromStdString(url_));
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
            textView_->setPlainText(prepared.cut ? prepared.text + QStringLiteral("\n…") : prepared.text);
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
