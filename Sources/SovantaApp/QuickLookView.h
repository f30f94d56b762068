// Our own viewer of a file on the local disk (a temporary preview copy): a
// picture, a PDF, text, audio or video, or else nothing but room for the
// caller's placeholder. What the file is and its picture or text are worked
// out on the preview queue; the GUI thread only shows the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <QImage>
#include <QString>
#include <QWidget>

class QMediaPlayer;
class QPdfDocument;
class QPdfView;
class QPlainTextEdit;
class QPushButton;
class QStackedLayout;
class QVideoWidget;

namespace sovanta::app {

class QuickLookView : public QWidget {
    Q_OBJECT
public:
    enum class Kind { none, image, pdf, text, media, other };

    // Text files are shown up to this many bytes; pictures are decoded from at
    // most the thumbnails' 48 MiB, at most this many pixels on the longer side.
    static constexpr int64_t textLimit = 262144;  // 256 KiB
    static constexpr int imagePixels = 1800;

    // What a file holds, as far as the viewer needs to know.
    struct Prepared {
        Kind kind = Kind::other;
        std::optional<QImage> image;
        QString text;
        bool cut = false;  // the text stops at textLimit
    };
    // Blocking: run it on the preview queue.
    static Prepared prepare(const std::string& path);

    explicit QuickLookView(QWidget* parent = nullptr);
    ~QuickLookView() override;

    // Shows the file; the same path again changes nothing.
    void setURL(const std::string& path);
    const std::string& url() const { return url_; }
    // none until the file has been looked at, then what it was found to be.
    Kind kind() const { return kind_; }

    // The viewer in use (null when another kind is shown).
    QWidget* imageView() const { return imageView_; }
    QPdfView* pdfView() const { return pdfView_; }
    QPdfDocument* pdfDocument() const { return pdfDocument_; }
    QPlainTextEdit* textView() const { return textView_; }
    QMediaPlayer* player() const { return player_; }
    QVideoWidget* videoView() const { return videoView_; }
    QPushButton* playButton() const { return playButton_; }

signals:
    // The file has been looked at and its viewer is in place.
    void shown();

private:
    void present(const Prepared& prepared);
    void clear();

    std::string url_;
    Kind kind_ = Kind::none;
    QStackedLayout* stack_;
    QWidget* current_ = nullptr;
    QWidget* imageView_ = nullptr;
    QPdfView* pdfView_ = nullptr;
    QPdfDocument* pdfDocument_ = nullptr;
    QPlainTextEdit* textView_ = nullptr;
    QMediaPlayer* player_ = nullptr;
    QVideoWidget* videoView_ = nullptr;
    QPushButton* playButton_ = nullptr;
};

}  // namespace sovanta::app
