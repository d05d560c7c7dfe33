#pragma once
// Bounded log memo: a read-only text box that drops its oldest line once it
// holds MaxLines lines, so a long night's log keeps a fixed cost. Each line is
// a result or a trace line; the memo keeps both and can show every line or
// the results alone, while Lines() (what a saved log holds) is always all.
#include <QPlainTextEdit>
#include <QStringList>
#include <deque>

namespace kv {

class TlumMemo : public QPlainTextEdit {
    Q_OBJECT

public:
    enum class LineKind : quint8 { Result, Trace };

    explicit TlumMemo(QWidget* parent = nullptr);

    // 0 means unbounded.
    quint16 MaxLines() const { return m_maxLines; }
    // A new non-zero bound drops lines from the top, without the maxLines
    // signal, until it is met; 0 or the current value changes nothing.
    void SetMaxLines(quint16 maxLines);

    // Appends one line, first dropping the oldest one (and signalling it) when
    // the memo is full. Returns the line count afterwards. A text containing
    // line breaks is added as several lines.
    virtual int Add(const QString& line, LineKind kind = LineKind::Result);

    // Whether trace lines are shown (on by default). Hidden ones are still
    // kept, counted and dropped in turn, and show again when switched back.
    void SetShowTrace(bool show);
    bool ShowsTrace() const { return m_showTrace; }

    // Every line held, shown or not.
    int LineCount() const { return static_cast<int>(m_lines.size()); }
    QStringList Lines() const;
    // The lines the view shows.
    QStringList ShownLines() const;
    // Empties the memo. Hides the base class's clear() and setPlainText(),
    // which would bypass the line bookkeeping.
    void Clear();
    void clear() { Clear(); }
    void setPlainText(const QString& text);

signals:
    void maxLines(kv::TlumMemo* sender, QString droppedLine);

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Line {
        QString text;
        LineKind kind;
    };
    bool Shown(LineKind kind) const { return m_showTrace || kind != LineKind::Trace; }
    void AppendOne(const QString& line, LineKind kind);
    // Forgets the oldest `count` lines and takes the shown ones off the view;
    // returns the first one's text.
    QString DropOldest(std::size_t count);
    void RemoveTopBlocks(int count);
    void FollowEnd();

    quint16 m_maxLines = 0;
    bool m_showTrace = true;
    std::deque<Line> m_lines;
    // Lines on view. A document always has one block; this tells an empty
    // view from one holding a single empty line.
    int m_shown = 0;
    // Whether the view follows new lines: true until the user scrolls up,
    // true again once they scroll back to the end.
    bool m_following = true;
};

}  // namespace kv
