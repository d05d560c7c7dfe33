// Bookmarks and internal links for a PDF that QPdfWriter wrote.
//
// QPdfWriter draws pages but writes neither an outline nor links to places
// in the same file (a link to "#section" comes out as a web address that no
// viewer can follow). AddNavigation appends them to the finished file as a PDF
// incremental update: new objects for the outline and the link annotations,
// new versions of the catalog and of the pages that carry links, and a new
// cross-reference section chained to the old one. The bytes Qt wrote stay as
// they are.
#pragma once

#include <QByteArray>
#include <QRectF>
#include <QString>
#include <vector>

namespace guide {

// A place in the document: a page (from 0) and a point on it in PDF units
// (points from the bottom left of the page).
struct Place {
    int page = 0;
    double x = 0.0;
    double y = 0.0;
};

struct Bookmark {
    QString title;
    int level = 1;  // 1 = a guide, 2 = a section, 3 = a subsection
    Place target;
};

struct Link {
    int page = 0;
    QRectF rect;  // in PDF units, bottom-left origin: left, bottom, width, height
    Place target;
};

// Appends the outline (bookmarks in document order, nested by level) and the
// links to `pdf`. Empty on success, else what went wrong.
QString AddNavigation(QByteArray& pdf, const std::vector<Bookmark>& bookmarks, const std::vector<Link>& links);

}  // namespace guide
