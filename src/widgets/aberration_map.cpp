#include "widgets/aberration_map.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

#include "widgets/night_vision.h"

namespace kv {

namespace {

struct Look {
    QColor fill;
    QColor text;
};

// By day soft fills under black figures; at night the tones are shades of a
// dark red under bright red figures, so the figures never sink into a fill.
Look LookOf(MapCell::Tone tone, bool night) {
    switch (tone) {
        case MapCell::Tone::Within: return night ? Look{{40, 0, 0}, {255, 0, 0}} : Look{{196, 232, 196}, Qt::black};
        case MapCell::Tone::Act: return night ? Look{{95, 0, 0}, {255, 0, 0}} : Look{{255, 205, 130}, Qt::black};
        case MapCell::Tone::Unsure: return night ? Look{{18, 0, 0}, {220, 0, 0}} : Look{{228, 228, 228}, Qt::black};
        case MapCell::Tone::None: break;
    }
    return night ? Look{{0, 0, 0}, {140, 0, 0}} : Look{{246, 246, 246}, {110, 110, 110}};
}

}  // namespace

TAberrationMap::TAberrationMap(QWidget* parent) : QWidget(parent) {}

void TAberrationMap::SetCells(int columns, int rows, std::vector<MapCell> cells) {
    columns_ = std::max(0, columns);
    rows_ = std::max(0, rows);
    cells_ = std::move(cells);
    cells_.resize(static_cast<std::size_t>(columns_ * rows_));
    message_.clear();
    update();
}

void TAberrationMap::ShowMessage(const QString& message) {
    columns_ = rows_ = 0;
    cells_.clear();
    message_ = message;
    update();
}

MapCell TAberrationMap::Cell(int column, int row) const {
    if (column < 0 || row < 0 || column >= columns_ || row >= rows_) return {};
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
}

QRect TAberrationMap::CellRect(int column, int row) const {
    if (columns_ <= 0 || rows_ <= 0) return {};
    const QRect area = rect().adjusted(0, 0, -1, -1);
    const int x0 = area.left() + area.width() * column / columns_;
    const int x1 = area.left() + area.width() * (column + 1) / columns_;
    const int y0 = area.top() + area.height() * row / rows_;
    const int y1 = area.top() + area.height() * (row + 1) / rows_;
    return QRect(QPoint(x0, y0), QPoint(x1, y1));
}

QSize TAberrationMap::sizeHint() const { return {150, 66}; }

QSize TAberrationMap::minimumSizeHint() const { return {90, 66}; }

void TAberrationMap::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const bool night = NightVision();
    const QColor frame = night ? QColor(110, 0, 0) : QColor(150, 150, 150);
    if (columns_ <= 0 || rows_ <= 0) {
        p.setPen(night ? NightPalette().color(QPalette::WindowText) : palette().color(QPalette::WindowText));
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, message_);
        return;
    }
    QFont font = p.font();
    font.setBold(true);
    // The figures fill about half a cell's height, within reason.
    font.setPixelSize(std::clamp(CellRect(0, 0).height() * 3 / 5, 9, 15));
    p.setFont(font);
    for (int row = 0; row < rows_; ++row) {
        for (int column = 0; column < columns_; ++column) {
            const QRect r = CellRect(column, row);
            const MapCell& cell = cells_[static_cast<std::size_t>(row * columns_ + column)];
            const Look look = LookOf(cell.tone, night);
            p.fillRect(r, look.fill);
            p.setPen(frame);
            p.drawRect(r);
            p.setPen(look.text);
            p.drawText(r, Qt::AlignCenter, cell.text);
        }
    }
}

bool TAberrationMap::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip) return QWidget::event(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    for (int row = 0; row < rows_; ++row) {
        for (int column = 0; column < columns_; ++column) {
            if (!CellRect(column, row).contains(help->pos())) continue;
            const QString tip = Cell(column, row).toolTip;
            if (!tip.isEmpty()) QToolTip::showText(help->globalPos(), tip, this, CellRect(column, row));
            else QToolTip::hideText();
            return true;
        }
    }
    if (!toolTip().isEmpty()) QToolTip::showText(help->globalPos(), toolTip(), this);
    else QToolTip::hideText();
    return true;
}

}  // namespace kv
