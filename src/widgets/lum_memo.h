#pragma once
// Bounded log memo: a read-only text box that drops its oldest line once it
// holds MaxLines lines, so a long night's log keeps a fixed cost.
#include <QPlainTextEdit>
#include <QStringList>

namespace kv {

class TlumMemo : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TlumMemo(QWidget* parent = nullptr);

    // 0 means unbounded.
    quint16 MaxLines() const { return m_maxLines; }
    // A new non-zero bound drops lines from the top, without the maxLines
    // signal, until it is met; 0 or the current value changes nothing.
    void SetMaxLines(quint16 maxLines);

    // Appends one line, first dropping the oldest one (and signalling it) when
    // the memo is full. Returns the line count afterwards. A text containing
    // line breaks is added as several lines.
    virtual int Add(const QString& line);

    int LineCount() const;
    QStringList Lines() const;
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
    void AppendOne(const QString& line);
    QString RemoveTopLines(int count);

    quint16 m_maxLines = 0;
    // A document always has one block; this tells an empty memo from one
    // holding a single empty line.
    bool m_hasLines = false;
    // Whether the view follows new lines: true until the user scrolls up,
    // true again once they scroll back to the end.
    bool m_following = true;
};

}  // namespace kv
