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

TEST(TlumMemo, AFullMemoDropsItsFirstLineAndSaysWhichOne) {
    for (int bound : {1, 3}) {
        SCOPED_TRACE(bound);
        TlumMemo memo;
        memo.SetMaxLines(bound);
        DropRecorder spy(memo);
        Fill(memo, 1, bound);
        EXPECT_TRUE(spy.dropped.isEmpty());
        EXPECT_EQ(memo.Add(Line(bound + 1)), bound);
        EXPECT_EQ(memo.Add(Line(bound + 2)), bound);
        EXPECT_TRUE(spy.senderOk);
        EXPECT_EQ(spy.dropped, (QStringList{Line(1), Line(2)}));
        EXPECT_EQ(memo.Lines().first(), Line(3));
        EXPECT_EQ(memo.Lines().last(), Line(bound + 2));
    }
}

TEST(TlumMemo, ANewBoundDropsFromTheTopSilentlyAndZeroMeansUnbounded) {
    TlumMemo memo;
    DropRecorder spy(memo);
    Fill(memo, 1, 10);
    memo.SetMaxLines(4);
    EXPECT_EQ(memo.Lines(), (QStringList{Line(7), Line(8), Line(9), Line(10)}));
    // Setting the same bound, or a higher one, removes nothing.
    memo.SetMaxLines(4);
    memo.SetMaxLines(100);
    EXPECT_EQ(memo.LineCount(), 4);
    memo.SetMaxLines(0);
    Fill(memo, 11, 200);
    EXPECT_EQ(memo.LineCount(), 194);
    EXPECT_TRUE(spy.dropped.isEmpty());
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

}  // namespace
}  // namespace kv
