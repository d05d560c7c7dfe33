// kessivane-guide IN.md [IN2.md ...] OUT.pdf: lays out Markdown guides on A4
// pages and writes them as one PDF, each guide from a new page, with its title
// and the page number in a footer, a bookmark for every guide, section and
// subsection, and links to "#heading" places that go there. A link to a
// heading no guide has fails the build. It runs at build time, usually with
// QT_QPA_PLATFORM=offscreen: it needs a QGuiApplication only for the fonts.

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

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "pdf_navigation.h"

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

// The address a "#..." link uses for a heading: lower case, letters, digits,
// blanks and hyphens only, blanks turned into hyphens.
QString Slug(const QString& heading) {
    QString out;
    for (const QChar c : heading.trimmed().toLower()) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-')) out += c;
        else if (c.isSpace()) out += QLatin1Char('-');
    }
    return out;
}

struct Heading {
    QTextBlock block;
    int level = 0;
    QString text;
};

std::vector<Heading> Headings(const QTextDocument& doc) {
    std::vector<Heading> out;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level > 0) out.push_back({block, level, block.text().trimmed()});
    }
    return out;
}

// A link to a heading: where its text is, and which heading it goes to.
struct InternalLink {
    int start = 0;
    int length = 0;
    std::size_t heading = 0;
};

// Finds the "#..." links, checks each reaches a heading, and takes the web
// address off them (the writer would make each one a dead web link); they
// keep their looks, and AddNavigation makes them links within the file.
bool TakeInternalLinks(QTextDocument& doc, const std::vector<Heading>& headings, std::vector<InternalLink>& links,
                       QString& why) {
    std::map<QString, std::size_t> bySlug;
    for (std::size_t i = headings.size(); i-- > 0;) bySlug[Slug(headings[i].text)] = i;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QString href = fragment.charFormat().anchorHref();
            if (!href.startsWith(QLatin1Char('#'))) continue;
            const auto target = bySlug.find(href.mid(1).toLower());
            if (target == bySlug.end()) {
                why = QStringLiteral("the link \"%1\" (%2) goes to no heading").arg(fragment.text(), href);
                return false;
            }
            links.push_back({fragment.position(), fragment.length(), target->second});
        }
    }
    for (const InternalLink& link : links) {
        QTextCursor cursor(&doc);
        cursor.setPosition(link.start);
        cursor.setPosition(link.start + link.length, QTextCursor::KeepAnchor);
        QTextCharFormat format = cursor.charFormat();
        format.setAnchor(false);
        format.clearProperty(QTextFormat::AnchorHref);
        cursor.setCharFormat(format);
    }
    return true;
}

// Every guide after the first starts on a page of its own.
void BreakBeforeGuides(const std::vector<Heading>& headings) {
    bool first = true;
    for (const Heading& h : headings) {
        if (h.level != 1) continue;
        if (!first) {
            QTextBlockFormat format = h.block.blockFormat();
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            QTextCursor(h.block).setBlockFormat(format);
        }
        first = false;
    }
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
    if (args.size() < 3) return Fail(QStringLiteral("usage: kessivane-guide IN.md [IN2.md ...] OUT.pdf"));
    const QStringList inPaths = args.mid(1, args.size() - 2);
    const QString outPath = args.last();

    QString markdown;
    for (const QString& inPath : inPaths) {
        QFile in(inPath);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return Fail(QStringLiteral("cannot read %1: %2").arg(inPath, in.errorString()));
        }
        const QString text = QString::fromUtf8(in.readAll());
        if (text.trimmed().isEmpty()) return Fail(QStringLiteral("%1 is empty").arg(inPath));
        markdown += text + QStringLiteral("\n\n");
    }

    // Remove the previous guide first, so a failed run cannot leave it behind
    // looking up to date.
    QFile::remove(outPath);

    QTextDocument doc;
    doc.setDefaultFont(GuideFont(kBodyPointSize));
    doc.setMarkdown(markdown);
    const std::vector<Heading> headings = Headings(doc);
    std::vector<InternalLink> internalLinks;
    QString why;
    if (!TakeInternalLinks(doc, headings, internalLinks, why)) return Fail(why);
    BreakBeforeGuides(headings);
    std::vector<std::size_t> guides;  // the top-level headings, each a guide's title
    for (std::size_t i = 0; i < headings.size(); ++i) {
        if (headings[i].level == 1) guides.push_back(i);
    }
    const QString fileTitle = guides.size() == 1 ? headings[guides.front()].text : QFileInfo(outPath).completeBaseName();

    {
        QPdfWriter writer(outPath);
        writer.setResolution(kResolutionDpi);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                                         QPageLayout::Millimeter));
        writer.setCreator(QStringLiteral("kessivane-guide"));
        writer.setTitle(fileTitle);

        QPainter painter;
        if (!painter.begin(&writer)) return Fail(QStringLiteral("cannot write %1").arg(outPath));
        // A half-written guide must not stay behind to look like a built one.
        const auto abandon = [&](const QString& reason) {
            painter.end();
            QFile::remove(outPath);
            return Fail(reason);
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

        // Where a point of the laid-out document lands: its page, and PDF
        // units from the bottom left of that page.
        const QRectF paper = writer.pageLayout().fullRect(QPageLayout::Point);
        const QRectF printable = writer.pageLayout().paintRect(QPageLayout::Point);
        const auto pageOf = [&](double y) { return std::clamp(static_cast<int>(y / body.height()), 0, pages - 1); };
        const auto place = [&](QPointF at) {
            const int page = pageOf(at.y());
            return guide::Place{page, printable.left() + at.x() / dotsPerPoint,
                                paper.height() - printable.top() - (at.y() - page * body.height()) / dotsPerPoint};
        };
        QAbstractTextDocumentLayout* layout = doc.documentLayout();

        std::vector<guide::Bookmark> bookmarks;
        std::vector<int> headingPage;
        for (const Heading& h : headings) {
            const QRectF r = layout->blockBoundingRect(h.block);
            guide::Place target = place(QPointF(0, r.top()));
            target.x = printable.left();
            bookmarks.push_back({h.text, h.level, target});
            headingPage.push_back(target.page);
        }
        std::vector<guide::Link> links;
        for (const InternalLink& link : internalLinks) {
            const QTextBlock block = doc.findBlock(link.start);
            const QTextLayout* text = block.layout();
            const QPointF origin = layout->blockBoundingRect(block).topLeft();
            const int from = link.start - block.position();
            const int to = from + link.length;
            // One rectangle per line the link's text runs over.
            for (int i = text->lineForTextPosition(from).lineNumber(); i >= 0 && i < text->lineCount(); ++i) {
                const QTextLine line = text->lineAt(i);
                if (line.textStart() >= to) break;
                const int a = std::max(from, line.textStart());
                const int b = std::min(to, line.textStart() + line.textLength());
                const guide::Place top = place(origin + QPointF(line.cursorToX(a), line.y()));
                const double width = (line.cursorToX(b) - line.cursorToX(a)) / dotsPerPoint;
                const double height = line.height() / dotsPerPoint;
                links.push_back({top.page, QRectF(top.x, top.y - height, width, height), bookmarks[link.heading].target});
            }
        }

        const QFont footerFont = GuideFont(kFooterPointSize);
        std::size_t current = 0;  // the guide the page belongs to
        for (int page = 0; page < pages; ++page) {
            if (page > 0 && !writer.newPage()) return abandon(QStringLiteral("cannot add a page to %1").arg(outPath));
            while (current + 1 < guides.size() && headingPage[guides[current + 1]] <= page) ++current;
            const QString title = guides.empty() ? fileTitle : headings[guides[current]].text;
            painter.save();
            const QRectF shown(0, page * body.height(), body.width(), body.height());
            painter.translate(0, -shown.top());
            painter.setClipRect(shown);
            QAbstractTextDocumentLayout::PaintContext context;
            context.clip = shown;
            layout->draw(&painter, context);
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

        QFile out(outPath);
        QByteArray pdf;
        if (out.open(QIODevice::ReadOnly)) pdf = out.readAll();
        out.close();
        why = pdf.isEmpty() ? QStringLiteral("cannot read back %1").arg(outPath)
                            : guide::AddNavigation(pdf, bookmarks, links);
        if (why.isEmpty() && (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(pdf) != pdf.size() ||
                              !out.flush())) {
            why = QStringLiteral("cannot write %1: %2").arg(outPath, out.errorString());
        }
        if (!why.isEmpty()) {
            QFile::remove(outPath);
            return Fail(QStringLiteral("bookmarks and links for %1: %2").arg(outPath, why));
        }
        std::printf("%s: %d pages, %zu bookmarks, %zu links\n", qPrintable(outPath), pages, bookmarks.size(),
                    links.size());
    }
    return 0;
}
