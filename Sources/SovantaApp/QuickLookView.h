// Our own viewer of a file on the local disk (a temporary preview copy): a
// picture, a PDF, text, audio or video, or else nothing but room for the
// caller's placeholder. What the file is and its picture or text are worked
// out on the preview queue; the GUI thread only shows the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <memory>

#include <QImage>
#include <QString>
#include <QStringConverter>
#include <QWidget>

#include "SovantaApp/Threads.h"

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

    // Text is shown from the file's head, a slice of this many bytes at a
    // time: the first when the file is shown, each next one when the view is
    // scrolled to its end. A line longer than lineLimit characters is cut
    // into display lines of that length. Pictures are decoded from at most
    // the thumbnails' 48 MiB, at most imagePixels on the longer side.
    static constexpr int64_t textLimit = 65536;  // 64 KiB
    static constexpr int lineLimit = 500;
    static constexpr int imagePixels = 1800;

    // Where a text's next slice starts, and what reading it needs to know of
    // the slices before it.
    struct TextPlace {
        int64_t offset = 0;  // in bytes
        std::optional<QStringConverter::Encoding> encoding;  // none before the first slice: found from it
        bool latin1 = false;
        int column = 0;        // characters since the last line break shown
        bool afterCR = false;  // the last slice ended with CR, so a following LF is part of it
    };
    // A slice of a text file, decoded and made safe to lay out: NULs and
    // control characters as visible symbols, long lines cut.
    struct TextSlice {
        QString text;
        bool more = false;  // the file goes on after it
        TextPlace next;
    };
    // Blocking: run it on the preview queue.
    static TextSlice readText(const std::string& path, const TextPlace& place);

    // A loaded PDF document handed from the preview queue to the GUI thread;
    // one that nobody takes is deleted.
    struct LoadedPDF {
        QPdfDocument* document = nullptr;
        ~LoadedPDF();
    };

    // What a file holds, as far as the viewer needs to know.
    struct Prepared {
        Kind kind = Kind::other;
        std::optional<QImage> image;
        TextSlice text;                    // a text's first slice
        std::shared_ptr<LoadedPDF> pdf;    // a PDF that loads and has pages
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

    // Whether more of the text follows what the text view holds, and whether
    // its next slice is being read.
    bool textHasMore() const { return text_.more; }
    bool readingText() const { return readingText_; }
    // Reads the text's next slice on the preview queue and adds it (as
    // scrolling to the end does).
    void readMoreText();

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
    void appendText(const TextSlice& slice);

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
    TextSlice text_;  // what has been read of the text, as far as the next slice needs
    bool readingText_ = false;
    Ticket shows_;  // one per setURL: what was read for an earlier file is dropped
};

}  // namespace sovanta::app
