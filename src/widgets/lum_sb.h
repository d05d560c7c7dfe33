#pragma once
// Latching speed button: stays down after a click until clicked again, and
// shows its state by the colour of its face.
#include <QColor>
#include <QToolButton>
#include <optional>

namespace kv {

class TlumSB : public QToolButton {
    Q_OBJECT

public:
    static constexpr int DefaultSize = 25;

    explicit TlumSB(QWidget* parent = nullptr);

    QColor DownColor() const { return m_downColor; }
    void SetDownColor(const QColor& c);
    // Follows the palette's button colour until set explicitly.
    QColor UpColor() const;
    void SetUpColor(const QColor& c);

    // Latched (checked) or held down by the mouse.
    bool IsDown() const { return isChecked() || isDown(); }
    // The face inside the bevel.
    QRect FaceRect() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_downColor;
    std::optional<QColor> m_upColor;
};

}  // namespace kv
