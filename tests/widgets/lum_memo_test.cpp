#include <gtest/gtest.h>

#include <QStringList>

#include "widgets/lum_memo.h"

namespace kv {
namespace {

QString Line(int n) {
    return QStringLiteral("line %1").arg(n);
}

// Records every dropped line together with its sender.
struct DropRecorder {
    explicit DropRecorder(TlumMemo& memo) : expected(&memo) {
        QObject::connect(&memo, &TlumMemo::maxLines, [this](TlumMemo* sender, const QString& line) {
            senderOk = senderOk && sender == expected;
            dropped.append(line);
        });
    }
    TlumMemo* expected;
    bool senderOk = true;
    QStringList dropped;
};

void Fill(TlumMemo& m, int from, int to) {
    for (int i = from; i <= to; ++i) m.Add(Line(i));
}

TEST(TlumMemo, ProgramLogDropsItsFirstLineAtLine4049) {
    TlumMemo memo;
    memo.SetMaxLines(4048);
    DropRecorder spy(memo);
    Fill(memo, 1, 4047);
    EXPECT_EQ(memo.Add(Line(4048)), 4048);
    EXPECT_EQ(spy.dropped.size(), 0);

    EXPECT_EQ(memo.Add(Line(4049)), 4048);
    ASSERT_EQ(spy.dropped.size(), 1);
    EXPECT_TRUE(spy.senderOk);
    EXPECT_EQ(spy.dropped.at(0), Line(1));
    const QStringList lines = memo.Lines();
    ASSERT_EQ(lines.size(), 4048);
    EXPECT_EQ(lines.first(), Line(2));
    EXPECT_EQ(lines.last(), Line(4049));

    EXPECT_EQ(memo.Add(Line(4050)), 4048);
    ASSERT_EQ(spy.dropped.size(), 2);
    EXPECT_EQ(spy.dropped.at(1), Line(2));

    // The communications log's bound works the same way.
    memo.SetMaxLines(8096);
    Fill(memo, 4051, 8100);
    EXPECT_EQ(memo.LineCount(), 8096);
    EXPECT_EQ(memo.Lines().first(), Line(5));
}

TEST(TlumMemo, LoweringTheBoundDropsFromTheTopSilently) {
    TlumMemo memo;
    DropRecorder spy(memo);
    Fill(memo, 1, 10);
    memo.SetMaxLines(4);
    EXPECT_EQ(memo.Lines(), (QStringList{Line(7), Line(8), Line(9), Line(10)}));
    EXPECT_EQ(spy.dropped.size(), 0);

    // Setting the same bound, or a higher one, removes nothing.
    memo.SetMaxLines(4);
    memo.SetMaxLines(100);
    EXPECT_EQ(memo.LineCount(), 4);
    EXPECT_EQ(spy.dropped.size(), 0);
}

TEST(TlumMemo, ZeroMeansUnbounded) {
    TlumMemo memo;
    Fill(memo, 1, 5);
    memo.SetMaxLines(3);
    memo.SetMaxLines(0);
    EXPECT_EQ(memo.LineCount(), 3);
    DropRecorder spy(memo);
    Fill(memo, 6, 20);
    EXPECT_EQ(memo.LineCount(), 18);
    EXPECT_EQ(spy.dropped.size(), 0);
}

TEST(TlumMemo, CountsLinesAsTheyWereAdded) {
    TlumMemo memo;
    // An empty first line is a line of its own, not room for the next one.
    EXPECT_EQ(memo.Add(QString()), 1);
    EXPECT_EQ(memo.Add(QStringLiteral("x")), 2);
    EXPECT_EQ(memo.Lines(), (QStringList{QString(), QStringLiteral("x")}));
    // Embedded line breaks make separate lines, so the count stays true.
    EXPECT_EQ(memo.Add(QStringLiteral("a\r\nb")), 4);
    EXPECT_EQ(memo.Lines().last(), QStringLiteral("b"));

    memo.clear();
    EXPECT_EQ(memo.LineCount(), 0);
    EXPECT_EQ(memo.Add(QStringLiteral("after clear")), 1);
    EXPECT_EQ(memo.toPlainText(), QStringLiteral("after clear"));
}

TEST(TlumMemo, SingleLineMemoReplacesItsLine) {
    TlumMemo memo;
    memo.SetMaxLines(1);
    DropRecorder spy(memo);
    EXPECT_EQ(memo.Add(QStringLiteral("a")), 1);
    EXPECT_EQ(memo.Add(QStringLiteral("b")), 1);
    EXPECT_EQ(memo.Lines(), QStringList{QStringLiteral("b")});
    ASSERT_EQ(spy.dropped.size(), 1);
    EXPECT_EQ(spy.dropped.at(0), QStringLiteral("a"));
}

}  // namespace
}  // namespace kv
