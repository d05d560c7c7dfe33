#include "widgets/lum_memo.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace kv {

namespace {

QStringList SplitLines(const QString& text) {
    static const QRegularExpression breaks(QStringLiteral("\r\n|[\r\n\u2029]"));
    return text.split(breaks);
}

}  // namespace

TlumMemo::TlumMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Only a vertical scroll bar, so long lines wrap at the widget's width.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A log is never undone; keeping an undo history would grow without bound.
    setUndoRedoEnabled(false);
    // Only the user's scrolling of a visible memo decides whether it follows;
    // a hidden one has no usable viewport height, so its range means nothing.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (isVisible()) {
            m_following = value >= verticalScrollBar()->maximum();
        }
    });
}

void TlumMemo::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    if (m_following) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    }
}

QStringList TlumMemo::Lines() const {
    QStringList out;
    out.reserve(LineCount());
    for (const Line& line : m_lines) out.append(line.text);
    return out;
}

QStringList TlumMemo::ShownLines() const {
    QStringList out;
    if (m_shown == 0) {
        return out;
    }
    out.reserve(m_shown);
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next()) {
        out.append(b.text());
    }
    return out;
}

void TlumMemo::Clear() {
    QPlainTextEdit::clear();
    m_lines.clear();
    m_shown = 0;
}

void TlumMemo::setPlainText(const QString& text) {
    Clear();
    if (text.isEmpty()) {
        return;
    }
    for (const QString& line : SplitLines(text)) {
        Add(line);
    }
}

void TlumMemo::SetShowTrace(bool show) {
    if (show == m_showTrace) {
        return;
    }
    m_showTrace = show;
    // One document swap rather than a line at a time: a full log is
    // thousands of lines.
    QStringList shown;
    for (const Line& line : m_lines) {
        if (Shown(line.kind)) shown.append(line.text);
    }
    QPlainTextEdit::setPlainText(shown.join(QLatin1Char('\n')));
    m_shown = static_cast<int>(shown.size());
    m_following = true;
    FollowEnd();
}

void TlumMemo::RemoveTopBlocks(int count) {
    if (count <= 0 || m_shown == 0) {
        return;
    }
    QTextCursor c(document());
    c.beginEditBlock();
    c.movePosition(QTextCursor::Start);
    if (count >= m_shown) {
        c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        c.removeSelectedText();
        m_shown = 0;
    } else {
        c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
        c.removeSelectedText();
        m_shown -= count;
    }
    c.endEditBlock();
}

QString TlumMemo::DropOldest(std::size_t count) {
    count = std::min(count, m_lines.size());
    if (count == 0) {
        return QString();
    }
    const QString first = m_lines.front().text;
    int shown = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (Shown(m_lines.front().kind)) ++shown;
        m_lines.pop_front();
    }
    RemoveTopBlocks(shown);
    return first;
}

void TlumMemo::SetMaxLines(quint16 maxLines) {
    if (maxLines == 0 || maxLines == m_maxLines) {
        m_maxLines = maxLines;
        return;
    }
    m_maxLines = maxLines;
    if (m_lines.size() > m_maxLines) {
        DropOldest(m_lines.size() - m_maxLines);
    }
}

void TlumMemo::FollowEnd() {
    if (m_following && isVisible()) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    }
}

void TlumMemo::AppendOne(const QString& line, LineKind kind) {
    if (m_maxLines != 0 && m_lines.size() >= m_maxLines) {
        const QString dropped = DropOldest(m_lines.size() - m_maxLines + 1);
        emit maxLines(this, dropped);
    }
    m_lines.push_back(Line{line, kind});
    if (!Shown(kind)) {
        return;
    }

    // One edit block per line: the view then re-lays out once, at the end,
    // instead of once per primitive, which made a growing log quadratic.
    QTextCursor c(document());
    c.beginEditBlock();
    c.movePosition(QTextCursor::End);
    if (m_shown > 0) {
        c.insertBlock();
    }
    c.insertText(line);
    c.endEditBlock();
    ++m_shown;
    FollowEnd();
}

int TlumMemo::Add(const QString& line, LineKind kind) {
    if (line.isEmpty()) {
        AppendOne(line, kind);
    } else {
        for (const QString& part : SplitLines(line)) {
            AppendOne(part, kind);
        }
    }
    return LineCount();
}

}  // namespace kv
