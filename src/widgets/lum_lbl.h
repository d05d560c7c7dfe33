#pragma once
// Caption label: a one-line caption on a filled background with an optional
// one-pixel frame, drawn off-screen first so it never flickers.
#include <QLabel>

namespace kv {

class TlumLbl : public QLabel {
    Q_OBJECT

public:
    explicit TlumLbl(QWidget* parent = nullptr);
    explicit TlumLbl(const QString& caption, QWidget* parent = nullptr);

    bool LineBorder() const { return m_lineBorder; }
    void SetLineBorder(bool on);
    // A transparent label leaves its background to the parent.
    bool Transparent() const { return m_transparent; }
    void SetTransparent(bool on);

    // Where the caption is laid out: the client area less 2 px on the left and
    // top and 1 px on the right and bottom.
    QRect CaptionRect() const;
    // The whole label as it is painted (the off-screen image).
    QPixmap Render() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_lineBorder = true;
    bool m_transparent = false;
};

}  // namespace kv
