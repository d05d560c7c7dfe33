#pragma once
// LED bar meter: a column of LEDs lit from the bottom (bar) or a single lit
// LED (dot), in three colour bands, with an optional held peak.
#include <QColor>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace kv {

enum TMeterBorderStyle { bsFlat, bs3D, bsFlat3D };
enum TPeakPower { ppPeak, ppPower };

class TMeter : public QWidget {
    Q_OBJECT

public:
    static constexpr int DefaultWidth = 24;
    static constexpr int DefaultHeight = 187;

    // Milliseconds from a monotonic source; replaceable so peak hold can be
    // tested without waiting.
    using Clock = std::function<qint64()>;

    explicit TMeter(QWidget* parent = nullptr);

    quint8 NumberOfLEDs() const { return m_leds; }
    // At least one LED; a meter value above the new count is brought down to it.
    void SetNumberOfLEDs(quint8 n);
    int MeterValue() const { return m_value; }
    // Clamps to 0..NumberOfLEDs, stores, signals (every time) and repaints.
    void SetMeterValue(int value);

    int LoBarNumber() const { return m_loBarNumber; }
    void SetLoBarNumber(int n);
    QColor LoBarColor() const { return m_loBarColor; }
    void SetLoBarColor(const QColor& c);
    int HiBarNumber() const { return m_hiBarNumber; }
    void SetHiBarNumber(int n);
    QColor HiBarColor() const { return m_hiBarColor; }
    void SetHiBarColor(const QColor& c);
    QColor ClipBarColor() const { return m_clipBarColor; }
    void SetClipBarColor(const QColor& c);
    QColor BackColor() const { return m_backColor; }
    void SetBackColor(const QColor& c);
    QColor ForeColor() const { return m_foreColor; }
    void SetForeColor(const QColor& c);
    TMeterBorderStyle BorderStyle() const { return m_borderStyle; }
    void SetBorderStyle(TMeterBorderStyle style);
    int BorderWidth() const { return m_borderWidth; }
    void SetBorderWidth(int w);  // negative values count as 0
    quint8 InteriorOffset() const { return m_interiorOffset; }
    void SetInteriorOffset(quint8 w);
    int SpaceBetween() const { return m_spaceBetween; }
    void SetSpaceBetween(int s);  // negative values count as 0
    TPeakPower PeakPower() const { return m_peakPower; }
    void SetPeakPower(TPeakPower mode);
    int PeakHoldTime() const { return m_peakHoldTime; }
    void SetPeakHoldTime(int ms);  // negative values count as 0

    void SetClock(Clock clock);

    // Geometry used for painting. LED 0 is the bottom one. The rectangle is
    // empty when the LEDs do not fit.
    QRect LedRect(int i) const;
    // The area inside the border and the interior frame.
    QRect InteriorRect() const;
    // Band colour of LED i, lit or not.
    QColor BandColor(int i) const;
    // Held peak as of the last paint (0 before the first).
    int HeldPeak() const { return m_heldPeak; }

    QSize sizeHint() const override;

signals:
    void changed(kv::TMeter* sender, int meterValue);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect OuterRect() const;
    int BorderInset() const;
    void UpdatePeak(qint64 now);
    bool PeakHeld(qint64 now) const;
    void Changed();

    quint8 m_leds = 20;
    int m_value = 20;
    int m_loBarNumber = 16;
    QColor m_loBarColor;
    int m_hiBarNumber = 3;
    QColor m_hiBarColor;
    QColor m_clipBarColor;
    QColor m_backColor;
    QColor m_foreColor;
    TMeterBorderStyle m_borderStyle = bs3D;
    int m_borderWidth = 0;
    quint8 m_interiorOffset = 1;
    int m_spaceBetween = 1;
    TPeakPower m_peakPower = ppPower;
    int m_peakHoldTime = 0;

    Clock m_clock;
    bool m_peakTaken = false;
    int m_heldPeak = 0;
    qint64 m_peakTime = 0;
    // Repaints once when a held peak expires, so it does not stay lit until
    // the next value arrives.
    QTimer m_holdExpiry;
};

}  // namespace kv
