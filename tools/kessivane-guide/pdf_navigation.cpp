#include "pdf_navigation.h"

#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>

namespace guide {

namespace {

// What the update needs from the file as written: the last cross-reference
// section and its trailer.
struct Trailer {
    qint64 xref = -1;
    int size = 0;
    int root = 0;
    QByteArray info;  // "N G R", or empty
    std::map<int, qint64> offsets;
};

QByteArray Number(double v) { return QByteArray::number(v, 'f', 2); }

// A PDF text string that holds any title: UTF-16BE with its byte-order mark.
QByteArray TextString(const QString& text) {
    QByteArray out("<FEFF");
    for (const QChar c : text) out += QByteArray::number(c.unicode(), 16).rightJustified(4, '0').toUpper();
    out += '>';
    return out;
}

std::optional<Trailer> ReadTrailer(const QByteArray& pdf, QString& why) {
    Trailer t;
    const qsizetype start = pdf.lastIndexOf("startxref");
    if (start < 0) {
        why = QStringLiteral("no startxref");
        return std::nullopt;
    }
    static const QRegularExpression number(QStringLiteral("^\\s*(\\d+)"));
    const auto startMatch = number.match(QString::fromLatin1(pdf.mid(start + 9, 32)));
    if (!startMatch.hasMatch()) {
        why = QStringLiteral("unreadable startxref");
        return std::nullopt;
    }
    t.xref = startMatch.captured(1).toLongLong();
    if (t.xref <= 0 || t.xref >= pdf.size() || !pdf.mid(t.xref, 4).startsWith("xref")) {
        why = QStringLiteral("the cross-reference table is not where startxref says (it may be a stream)");
        return std::nullopt;
    }
    const qsizetype trailerAt = pdf.indexOf("trailer", t.xref);
    if (trailerAt < 0) {
        why = QStringLiteral("no trailer");
        return std::nullopt;
    }
    // Subsections: "first count" lines, each followed by count 20-byte entries.
    const QList<QByteArray> lines = pdf.mid(t.xref + 4, trailerAt - t.xref - 4).split('\n');
    int next = -1;
    int left = 0;
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty()) continue;
        const QList<QByteArray> parts = line.split(' ');
        if (left == 0 && parts.size() == 2) {
            next = parts[0].toInt();
            left = parts[1].toInt();
            continue;
        }
        if (left == 0 || parts.size() != 3) {
            why = QStringLiteral("unreadable cross-reference entry: ") + QString::fromLatin1(line);
            return std::nullopt;
        }
        if (parts[2] == "n") t.offsets[next] = parts[0].toLongLong();
        ++next;
        --left;
    }
    const QString trailer = QString::fromLatin1(pdf.mid(trailerAt, start - trailerAt));
    static const QRegularExpression size(QStringLiteral("/Size\\s+(\\d+)"));
    static const QRegularExpression root(QStringLiteral("/Root\\s+(\\d+)\\s+0\\s+R"));
    static const QRegularExpression info(QStringLiteral("/Info\\s+(\\d+\\s+\\d+\\s+R)"));
    const auto sizeMatch = size.match(trailer);
    const auto rootMatch = root.match(trailer);
    if (!sizeMatch.hasMatch() || !rootMatch.hasMatch()) {
        why = QStringLiteral("the trailer has no /Size or /Root");
        return std::nullopt;
    }
    t.size = sizeMatch.captured(1).toInt();
    t.root = rootMatch.captured(1).toInt();
    if (const auto infoMatch = info.match(trailer); infoMatch.hasMatch()) t.info = infoMatch.captured(1).toLatin1();
    return t;
}

// The dictionary of object `number`, from "<<" to its matching ">>".
std::optional<QByteArray> Dictionary(const QByteArray& pdf, const Trailer& t, int number) {
    const auto at = t.offsets.find(number);
    if (at == t.offsets.end()) return std::nullopt;
    const qsizetype obj = pdf.indexOf("obj", at->second);
    const qsizetype open = obj < 0 ? -1 : pdf.indexOf("<<", obj);
    if (open < 0) return std::nullopt;
    int depth = 0;
    for (qsizetype i = open; i + 1 < pdf.size(); ++i) {
        if (pdf[i] == '<' && pdf[i + 1] == '<') {
            ++depth;
            ++i;
        } else if (pdf[i] == '>' && pdf[i + 1] == '>') {
            ++i;
            if (--depth == 0) return pdf.mid(open, i + 1 - open);
        }
    }
    return std::nullopt;
}

// What stands between "obj" and "endobj" of object `number`.
std::optional<QByteArray> Body(const QByteArray& pdf, const Trailer& t, int number) {
    const auto at = t.offsets.find(number);
    if (at == t.offsets.end()) return std::nullopt;
    const qsizetype obj = pdf.indexOf("obj", at->second);
    const qsizetype end = obj < 0 ? -1 : pdf.indexOf("endobj", obj);
    if (end < 0) return std::nullopt;
    return pdf.mid(obj + 3, end - obj - 3).trimmed();
}

std::vector<int> References(const QByteArray& text) {
    static const QRegularExpression ref(QStringLiteral("(\\d+)\\s+0\\s+R"));
    std::vector<int> out;
    for (auto it = ref.globalMatch(QString::fromLatin1(text)); it.hasNext();) out.push_back(it.next().captured(1).toInt());
    return out;
}

// The page objects in page order, from the catalog's page tree.
std::optional<std::vector<int>> Pages(const QByteArray& pdf, const Trailer& t, const QByteArray& catalog, QString& why) {
    static const QRegularExpression pagesRef(QStringLiteral("/Pages\\s+(\\d+)\\s+0\\s+R"));
    const auto m = pagesRef.match(QString::fromLatin1(catalog));
    if (!m.hasMatch()) {
        why = QStringLiteral("the catalog names no page tree");
        return std::nullopt;
    }
    std::vector<int> pages;
    std::function<bool(int, int)> walk = [&](int node, int depth) {
        const std::optional<QByteArray> dict = Dictionary(pdf, t, node);
        if (!dict || depth > 32) return false;
        if (!dict->contains("/Kids")) {
            pages.push_back(node);
            return true;
        }
        const qsizetype kids = dict->indexOf("/Kids");
        const qsizetype open = dict->indexOf('[', kids);
        const qsizetype close = dict->indexOf(']', open);
        if (open < 0 || close < 0) return false;
        for (int kid : References(dict->mid(open, close - open))) {
            if (!walk(kid, depth + 1)) return false;
        }
        return true;
    };
    if (!walk(m.captured(1).toInt(), 0)) {
        why = QStringLiteral("unreadable page tree");
        return std::nullopt;
    }
    return pages;
}

QByteArray Destination(const std::vector<int>& pages, const Place& p) {
    return "[" + QByteArray::number(pages[static_cast<std::size_t>(p.page)]) + " 0 R /XYZ " + Number(p.x) + " " +
           Number(p.y) + " null]";
}

}  // namespace

QString AddNavigation(QByteArray& pdf, const std::vector<Bookmark>& bookmarks, const std::vector<Link>& links) {
    QString why;
    const std::optional<Trailer> trailer = ReadTrailer(pdf, why);
    if (!trailer) return why;
    const std::optional<QByteArray> catalog = Dictionary(pdf, *trailer, trailer->root);
    if (!catalog) return QStringLiteral("the catalog cannot be read");
    const std::optional<std::vector<int>> pages = Pages(pdf, *trailer, *catalog, why);
    if (!pages) return why;
    const int pageCount = static_cast<int>(pages->size());
    for (const Bookmark& b : bookmarks) {
        if (b.target.page < 0 || b.target.page >= pageCount) return QStringLiteral("bookmark \"%1\" points past the last page").arg(b.title);
    }
    for (const Link& l : links) {
        if (l.page < 0 || l.page >= pageCount || l.target.page < 0 || l.target.page >= pageCount) {
            return QStringLiteral("a link lies past the last page");
        }
    }

    std::map<int, QByteArray> objects;  // number -> body, in the order they are written
    int next = trailer->size;

    // The outline: each bookmark's parent is the nearest earlier one of a
    // lower level. Guides are open, their sections closed over subsections.
    const int outlineRoot = next++;
    const std::size_t n = bookmarks.size();
    std::vector<int> number(n), parent(n, -1);
    std::vector<std::vector<std::size_t>> children(n);
    std::vector<std::size_t> top;
    for (std::size_t i = 0; i < n; ++i) {
        number[i] = next++;
        for (std::size_t j = i; j-- > 0;) {
            if (bookmarks[j].level < bookmarks[i].level) {
                parent[i] = static_cast<int>(j);
                break;
            }
        }
        (parent[i] < 0 ? top : children[static_cast<std::size_t>(parent[i])]).push_back(i);
    }
    std::function<int(std::size_t)> visible = [&](std::size_t i) {
        if (bookmarks[i].level > 1) return 0;
        int count = 0;
        for (std::size_t c : children[i]) count += 1 + visible(c);
        return count;
    };
    const auto siblings = [&](int p) -> const std::vector<std::size_t>& {
        return p < 0 ? top : children[static_cast<std::size_t>(p)];
    };
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<std::size_t>& row = siblings(parent[i]);
        const auto at = std::find(row.begin(), row.end(), i);
        QByteArray body = "<< /Title " + TextString(bookmarks[i].title) + " /Parent " +
                          QByteArray::number(parent[i] < 0 ? outlineRoot : number[static_cast<std::size_t>(parent[i])]) +
                          " 0 R /Dest " + Destination(*pages, bookmarks[i].target);
        if (at != row.begin()) body += " /Prev " + QByteArray::number(number[*(at - 1)]) + " 0 R";
        if (at + 1 != row.end()) body += " /Next " + QByteArray::number(number[*(at + 1)]) + " 0 R";
        if (!children[i].empty()) {
            const int count = bookmarks[i].level > 1 ? -static_cast<int>(children[i].size()) : visible(i);
            body += " /First " + QByteArray::number(number[children[i].front()]) + " 0 R /Last " +
                    QByteArray::number(number[children[i].back()]) + " 0 R /Count " + QByteArray::number(count);
        }
        objects[number[i]] = body + " >>";
    }
    int rootCount = 0;
    for (std::size_t i : top) rootCount += 1 + visible(i);
    objects[outlineRoot] =
        top.empty() ? QByteArray("<< /Type /Outlines /Count 0 >>")
                    : "<< /Type /Outlines /First " + QByteArray::number(number[top.front()]) + " 0 R /Last " +
                          QByteArray::number(number[top.back()]) + " 0 R /Count " + QByteArray::number(rootCount) + " >>";

    // The links, and the pages that carry them.
    std::map<int, std::vector<int>> annotations;  // page index -> link objects
    for (const Link& l : links) {
        const int object = next++;
        objects[object] = "<< /Type /Annot /Subtype /Link /Border [0 0 0] /Rect [" + Number(l.rect.left()) + " " +
                          Number(l.rect.top()) + " " + Number(l.rect.right()) + " " + Number(l.rect.bottom()) +
                          "] /Dest " + Destination(*pages, l.target) + " >>";
        annotations[l.page].push_back(object);
    }
    for (const auto& [page, refs] : annotations) {
        const int object = (*pages)[static_cast<std::size_t>(page)];
        std::optional<QByteArray> dict = Dictionary(pdf, *trailer, object);
        if (!dict) return QStringLiteral("page %1 cannot be read").arg(page + 1);
        QByteArray list;
        for (int ref : refs) list += " " + QByteArray::number(ref) + " 0 R";
        // The writer keeps a page's annotations in an array of their own
        // (its web links); ours join them there, or start the page's list.
        static const QRegularExpression annotsRef(QStringLiteral("/Annots\\s+(\\d+)\\s+0\\s+R"));
        const auto indirect = annotsRef.match(QString::fromLatin1(*dict));
        const qsizetype annots = dict->indexOf("/Annots");
        if (indirect.hasMatch()) {
            const int arrayObject = indirect.captured(1).toInt();
            std::optional<QByteArray> array = Body(pdf, *trailer, arrayObject);
            if (!array || !array->startsWith('[') || !array->endsWith(']')) {
                return QStringLiteral("the annotations of page %1 cannot be read").arg(page + 1);
            }
            array->insert(array->size() - 1, list + " ");
            objects[arrayObject] = *array;
        } else if (annots >= 0) {
            const qsizetype open = dict->indexOf('[', annots);
            const qsizetype close = dict->indexOf(']', annots);
            if (open < 0 || close < open || dict->mid(annots + 7, open - annots - 7).trimmed().size() != 0) {
                return QStringLiteral("the annotations of page %1 cannot be read").arg(page + 1);
            }
            dict->insert(close, list + " ");
            objects[object] = *dict;
        } else {
            dict->insert(dict->size() - 2, "/Annots [" + list + " ]\n");
            objects[object] = *dict;
        }
    }
    QByteArray root = *catalog;
    if (root.contains("/Outlines")) return QStringLiteral("the file has an outline already");
    root.insert(root.size() - 2, "/Outlines " + QByteArray::number(outlineRoot) + " 0 R\n/PageMode /UseOutlines\n");
    objects[trailer->root] = root;

    // The update itself.
    if (!pdf.endsWith('\n')) pdf += '\n';
    std::map<int, qint64> written;
    for (const auto& [object, body] : objects) {
        written[object] = pdf.size();
        pdf += QByteArray::number(object) + " 0 obj\n" + body + "\nendobj\n";
    }
    const qint64 xref = pdf.size();
    pdf += "xref\n";
    for (const auto& [object, offset] : written) {
        pdf += QByteArray::number(object) + " 1\n" + QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    }
    pdf += "trailer\n<< /Size " + QByteArray::number(next) + " /Root " + QByteArray::number(trailer->root) + " 0 R";
    if (!trailer->info.isEmpty()) pdf += " /Info " + trailer->info;
    pdf += " /Prev " + QByteArray::number(trailer->xref) + " >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return QString();
}

}  // namespace guide
