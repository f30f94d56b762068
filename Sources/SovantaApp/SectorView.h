// The session's source as a hexadecimal and character dump, four sectors at a
// time, read away from the GUI thread.
#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "SovantaApp/Models/Session.h"
#include "SovantaApp/Threads.h"
#include "SovantaCore/Model.h"

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QTextEdit;
class QToolButton;

namespace sovanta::app {

class Spinner;

// One line of the dump: 16 bytes and the source offset of the first.
struct HexRow {
    static constexpr size_t width = 16;
    enum class Tint { primary, secondary, accent };
    struct Run {
        std::string text;
        Tint tint;
        bool operator==(const Run&) const = default;
    };

    uint64_t offset = 0;
    std::array<uint8_t, width> bytes{};

    // The offset, the bytes and the characters, each in its colour.
    std::array<Run, 3> line() const;
    // The three runs joined.
    std::string text() const;
};

class SectorView : public QWidget {
    Q_OBJECT
public:
    explicit SectorView(SessionPtr session, QWidget* parent = nullptr);
    ~SectorView() override;

    // Sectors shown at a time.
    static constexpr uint64_t windowSectors = 4;

    // The last sector of a source of size bytes: 0 for one smaller than a sector.
    static uint64_t lastSector(uint64_t size, uint64_t sectorSize);
    // The byte offset an input asks for (a "0x" byte offset or a sector
    // number with Danish grouping dots), or none when it is neither or does
    // not fit in 64 bits.
    static std::optional<uint64_t> inputOffset(const QString& input, uint64_t sectorSize);
    // "Sektor 1 af 2.047  ·  0x200".
    static std::string statusText(uint64_t sector, uint64_t lastSector, uint64_t offset);
    // "— sektor 12 —".
    static std::string separatorText(uint64_t sector);

    uint64_t sectorSize() const;
    uint64_t sector() const;
    uint64_t lastSector() const;
    // Stores the start of the sector that holds offset (the last sector's for
    // an offset past the end) as the session's sector offset.
    void jump(uint64_t offset);
    // Jumps to what the text field says, or outlines it in red.
    void go();
    // Reads the window at the session's sector offset.
    void load();

    // Where reads run: the preview queue, unless a test takes them to finish
    // them in an order of its own.
    using ReadRunner = std::function<void(std::function<void()> read)>;
    void setReadRunner(ReadRunner runner) { runner_ = std::move(runner); }

    // The jump menu's items in order: text and target offset.
    std::vector<std::pair<std::string, uint64_t>> jumpTargets() const;

    const SessionPtr& session() const { return session_; }
    // The bytes of the last read applied, and the offset they were read from.
    const Bytes& bytes() const { return bytes_; }
    uint64_t bytesOffset() const { return bytesOffset_; }
    bool loading() const { return loading_; }
    bool inputError() const { return inputError_; }
    // Reads started so far.
    uint64_t readsStarted() const { return readsStarted_; }

    QToolButton* backButton() const { return back_; }
    QToolButton* forwardButton() const { return forward_; }
    QLineEdit* inputField() const { return input_; }
    QToolButton* menuButton() const { return menuButton_; }
    QMenu* jumpMenu() const { return menu_; }
    QLabel* statusLabel() const { return status_; }
    QWidget* progressIndicator() const;
    QTextEdit* rowsView() const { return rows_; }
    // The rows as the user would copy them.
    QString rowsText() const;

signals:
    // A read's bytes were applied.
    void bytesChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* makeToolbar();
    void makePaging(QWidget* toolbar, QHBoxLayout* row);
    void makeJumpControls(QWidget* toolbar, QHBoxLayout* row);
    QTextEdit* makeRowsView();
    void refresh();
    void rebuildMenu();
    void renderRows();
    void setLoading(bool value);
    void setInputError(bool value);
    void applyRead(uint64_t offset, Ticket::Token read, Bytes data);
    uint64_t windowBytes() const;

    SessionPtr session_;
    Bytes bytes_;
    uint64_t bytesOffset_ = 0;
    bool loading_ = false;
    bool inputError_ = false;
    // The latest read clears the spinner.
    Ticket reads_;
    uint64_t readsStarted_ = 0;
    ReadRunner runner_;

    QToolButton* back_;
    QToolButton* forward_;
    QLineEdit* input_;
    QWidget* outline_;
    QToolButton* menuButton_;
    QMenu* menu_;
    QLabel* status_;
    Spinner* spinner_;
    QTextEdit* rows_;
};

}  // namespace sovanta::app
