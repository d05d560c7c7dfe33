// kessivane-guide IN.md OUT.pdf: lays out a Markdown guide on A4 pages and
// writes it as a PDF, with the guide's title and the page number in a footer.
// It runs at build time, usually with QT_QPA_PLATFORM=offscreen: it needs a
// QGuiApplication only for the fonts.

#include <QAbstractTextDocumentLayout>
#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFrame>
#include <QTextTable>
#include <QTextDocument>

#include <cstdio>

namespace {

constexpr double kMarginMm = 20.0;
constexpr double kBodyPointSize = 10.5;
constexpr double kFooterPointSize = 8.0;
constexpr int kResolutionDpi = 600;
// Margins, padding and borders in a document's formats are in pixels of a
// 96 dpi screen; the layout scales them to the paint device.
constexpr double kDocPixelsPerPoint = 96.0 / 72.0;

int Fail(const QString& text) {
    std::fprintf(stderr, "kessivane-guide: %s\n", qPrintable(text));
    return 1;
}

QFont GuideFont(double pointSize) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setPointSizeF(pointSize);
    return font;
}

// The text of the first top-level heading, which names the guide.
QString GuideTitle(const QTextDocument& doc, const QString& fallback) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 1) return block.text().trimmed();
    }
    return fallback;
}

// Leaves air above every heading but the first, more above a section than
// above a subsection, so a section start stands out from the end of the
// previous one.
void SpaceHeadings(QTextDocument& doc) {
    bool first = true;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        const int level = format.headingLevel();
        if (level == 0) continue;
        if (!first) {
            const double airPoints = level <= 2 ? 16 : 9;
            format.setTopMargin(format.topMargin() + airPoints * kDocPixelsPerPoint);
            format.setBottomMargin(format.bottomMargin() + 2 * kDocPixelsPerPoint);
            QTextCursor(block).setBlockFormat(format);
        }
        first = false;
    }
}

// Gives tables air inside their cells and thin grey rules, and code blocks a
// light background, so both read as such on paper.
void DressTablesAndCode(QTextDocument& doc) {
    const QList<QTextFrame*> frames = doc.rootFrame()->childFrames();
    for (QTextFrame* frame : frames) {
        auto* table = qobject_cast<QTextTable*>(frame);
        if (table == nullptr) continue;
        QTextTableFormat format = table->format();
        format.setCellPadding(3 * kDocPixelsPerPoint);
        format.setCellSpacing(0);
        format.setBorder(0.75 * kDocPixelsPerPoint);
        format.setBorderBrush(QColor(0xA0, 0xA0, 0xA0));
        format.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        format.setBorderCollapse(true);
        format.setHeaderRowCount(1);  // repeated on the next page when a table breaks
        table->setFormat(format);
    }
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        if (!format.hasProperty(QTextFormat::BlockCodeFence)) continue;
        format.setBackground(QColor(0xF0, 0xF0, 0xF0));
        QTextCursor(block).setBlockFormat(format);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) return Fail(QStringLiteral("usage: kessivane-guide IN.md OUT.pdf"));
    const QString inPath = args.at(1);
    const QString outPath = args.at(2);

    QFile in(inPath);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return Fail(QStringLiteral("cannot read %1: %2").arg(inPath, in.errorString()));
    }
    const QString markdown = QString::fromUtf8(in.readAll());
    if (markdown.trimmed().isEmpty()) return Fail(QStringLiteral("%1 is empty").arg(inPath));

    // Remove the previous guide first, so a failed run cannot leave it behind
    // looking up to date.
    QFile::remove(outPath);
    QPdfWriter writer(outPath);
    writer.setResolution(kResolutionDpi);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                                     QPageLayout::Millimeter));
    writer.setCreator(QStringLiteral("kessivane-guide"));

    QTextDocument doc;
    doc.setDefaultFont(GuideFont(kBodyPointSize));
    doc.setMarkdown(markdown);
    const QString title = GuideTitle(doc, QFileInfo(inPath).completeBaseName());
    writer.setTitle(title);

    QPainter painter;
    if (!painter.begin(&writer)) return Fail(QStringLiteral("cannot write %1").arg(outPath));
    // A half-written guide must not stay behind to look like a built one.
    const auto abandon = [&](const QString& why) {
        painter.end();
        QFile::remove(outPath);
        return Fail(why);
    };

    // Lay the text out in the writer's own units, so point sizes come out as
    // points on paper; the page body leaves room for the footer.
    doc.documentLayout()->setPaintDevice(&writer);
    doc.setDocumentMargin(0);
    const double dotsPerPoint = kResolutionDpi / 72.0;
    SpaceHeadings(doc);
    DressTablesAndCode(doc);
    const QRectF paint = writer.pageLayout().paintRectPixels(kResolutionDpi);
    const double footerHeight = 24 * dotsPerPoint;
    const QSizeF body(paint.width(), paint.height() - footerHeight);
    doc.setPageSize(body);
    const int pages = doc.pageCount();

    const QFont footerFont = GuideFont(kFooterPointSize);
    for (int page = 0; page < pages; ++page) {
        if (page > 0 && !writer.newPage()) return abandon(QStringLiteral("cannot add a page to %1").arg(outPath));
        painter.save();
        const QRectF shown(0, page * body.height(), body.width(), body.height());
        painter.translate(0, -shown.top());
        painter.setClipRect(shown);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = shown;
        doc.documentLayout()->draw(&painter, context);
        painter.restore();

        const double ruleY = body.height() + 8 * dotsPerPoint;
        painter.setPen(QPen(Qt::gray, 0.5 * dotsPerPoint));
        painter.drawLine(QPointF(0, ruleY), QPointF(body.width(), ruleY));
        painter.setPen(Qt::darkGray);
        painter.setFont(footerFont);
        const QRectF footer(0, ruleY + 2 * dotsPerPoint, body.width(), footerHeight - 10 * dotsPerPoint);
        painter.drawText(footer, Qt::AlignLeft | Qt::AlignVCenter, title);
        painter.drawText(footer, Qt::AlignRight | Qt::AlignVCenter,
                         QStringLiteral("Page %1 of %2").arg(page + 1).arg(pages));
    }
    if (!painter.end()) {
        QFile::remove(outPath);
        return Fail(QStringLiteral("cannot finish %1").arg(outPath));
    }
    std::printf("%s: %d pages\n", qPrintable(outPath), pages);
    return 0;
}
