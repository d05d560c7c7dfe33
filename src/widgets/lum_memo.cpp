#include "widgets/lum_memo.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

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

int TlumMemo::LineCount() const {
    return m_hasLines ? document()->blockCount() : 0;
}

QStringList TlumMemo::Lines() const {
    QStringList out;
    if (!m_hasLines) {
        return out;
    }
    out.reserve(document()->blockCount());
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next()) {
        out.append(b.text());
    }
    return out;
}

void TlumMemo::Clear() {
    QPlainTextEdit::clear();
    m_hasLines = false;
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

QString TlumMemo::RemoveTopLines(int count) {
    const int held = LineCount();
    if (count <= 0 || held == 0) {
        return QString();
    }
    const QString first = document()->firstBlock().text();
    QTextCursor c(document());
    c.beginEditBlock();
    c.movePosition(QTextCursor::Start);
    if (count >= held) {
        c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        c.removeSelectedText();
        m_hasLines = false;
    } else {
        c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
        c.removeSelectedText();
    }
    c.endEditBlock();
    return first;
}

void TlumMemo::SetMaxLines(quint16 maxLines) {
    if (maxLines == 0 || maxLines == m_maxLines) {
        m_maxLines = maxLines;
        return;
    }
    m_maxLines = maxLines;
    const int excess = LineCount() - m_maxLines;
    if (excess > 0) {
        RemoveTopLines(excess);
    }
}

void TlumMemo::AppendOne(const QString& line) {
    if (m_maxLines != 0 && LineCount() >= m_maxLines) {
        const QString dropped = RemoveTopLines(LineCount() - m_maxLines + 1);
        emit maxLines(this, dropped);
    }

    // One edit block per line: the view then re-lays out once, at the end,
    // instead of once per primitive, which made a growing log quadratic.
    QTextCursor c(document());
    c.beginEditBlock();
    c.movePosition(QTextCursor::End);
    if (m_hasLines) {
        c.insertBlock();
    }
    c.insertText(line);
    c.endEditBlock();
    m_hasLines = true;

    if (m_following && isVisible()) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    }
}

int TlumMemo::Add(const QString& line) {
    if (line.isEmpty()) {
        AppendOne(line);
    } else {
        for (const QString& part : SplitLines(line)) {
            AppendOne(part);
        }
    }
    return LineCount();
}

}  // namespace kv
