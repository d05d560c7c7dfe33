// The regions of the sensor as a grid of cells, each with a short figure and
// the words behind it under the pointer: the optics a whole-field focus run
// read, drawn as the sensor lies in the image (the top-left cell is the
// image's top-left). The widget knows nothing of focusing: its owner gives
// each cell its text, tooltip and tone.
//
// It paints its own colours, so it reads the night-vision setting as it
// paints, as the lamps and meters do: red on black at night, where the tones
// differ only in brightness and the figures stay the brightest thing.
#pragma once

#include <QString>
#include <QWidget>
#include <vector>

namespace kv {

struct MapCell {
    // Within: inside the tolerance; Act: beyond it; Unsure: not measurable;
    // None: no figure at all (the text says "–" and the tooltip why).
    enum class Tone { Within, Act, Unsure, None };
    QString text;
    QString toolTip;
    Tone tone = Tone::None;
};

class TAberrationMap : public QWidget {
    Q_OBJECT
public:
    explicit TAberrationMap(QWidget* parent = nullptr);

    // `cells` row by row from the top-left; fewer than columns × rows leaves
    // the rest empty.
    void SetCells(int columns, int rows, std::vector<MapCell> cells);
    // No grid, only `message` in the middle.
    void ShowMessage(const QString& message);

    int Columns() const { return columns_; }
    int Rows() const { return rows_; }
    // Empty for a cell outside the grid.
    MapCell Cell(int column, int row) const;
    QString Message() const { return message_; }
    // Where a cell is drawn.
    QRect CellRect(int column, int row) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    int columns_ = 0;
    int rows_ = 0;
    std::vector<MapCell> cells_;
    QString message_;
};

}  // namespace kv
