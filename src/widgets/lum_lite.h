#pragma once
// Indicator lamp: a round or square light that is either lit or not.
#include <QColor>
#include <QWidget>

namespace kv {

enum TLiteShape { lsSquare, lsRound };

class TlumLite : public QWidget {
    Q_OBJECT

public:
    static constexpr int DefaultSize = 18;

    explicit TlumLite(QWidget* parent = nullptr);

    bool Lit() const { return m_lit; }
    // Storing the same value again neither repaints nor signals.
    void SetLit(bool lit);

    QColor OnColor() const { return m_onColor; }
    void SetOnColor(const QColor& c);
    QColor OffColor() const { return m_offColor; }
    void SetOffColor(const QColor& c);
    TLiteShape Shape() const { return m_shape; }
    void SetShape(TLiteShape shape);

    // The square the lamp occupies: the client area cut down to its shorter
    // side, anchored at the top-left corner.
    QRect LampRect() const;

    QSize sizeHint() const override;

signals:
    void changed(kv::TlumLite* sender, bool lit);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_lit = false;
    QColor m_onColor;
    QColor m_offColor;
    TLiteShape m_shape = lsRound;
};

}  // namespace kv
