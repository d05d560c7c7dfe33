#include "widgets/meter.h"

#include <QPainter>
#include <algorithm>
#include <chrono>

#include "widgets/bevel.h"
#include "widgets/night_vision.h"

namespace kv {

namespace {

qint64 SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TMeter::TMeter(QWidget* parent)
    : QWidget(parent),
      m_loBarColor(Qt::green),
      m_hiBarColor(Qt::yellow),
      m_clipBarColor(Qt::red),
      m_backColor(Qt::white),
      m_foreColor(Qt::black),
      m_clock(SteadyMs) {
    resize(DefaultWidth, DefaultHeight);
    m_holdExpiry.setSingleShot(true);
    connect(&m_holdExpiry, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void TMeter::Changed() {
    update();
}

void TMeter::SetNumberOfLEDs(quint8 n) {
    n = std::max<quint8>(n, 1);
    if (n == m_leds) {
        return;
    }
    m_leds = n;
    if (m_value > m_leds) {
        SetMeterValue(m_value);
    }
    Changed();
}

void TMeter::SetMeterValue(int value) {
    m_value = std::clamp(value, 0, static_cast<int>(m_leds));
    emit changed(this, m_value);
    Changed();
}

void TMeter::SetLoBarNumber(int n) {
    m_loBarNumber = n;
    Changed();
}

void TMeter::SetLoBarColor(const QColor& c) {
    m_loBarColor = c;
    Changed();
}

void TMeter::SetHiBarNumber(int n) {
    m_hiBarNumber = n;
    Changed();
}

void TMeter::SetHiBarColor(const QColor& c) {
    m_hiBarColor = c;
    Changed();
}

void TMeter::SetClipBarColor(const QColor& c) {
    m_clipBarColor = c;
    Changed();
}

void TMeter::SetBackColor(const QColor& c) {
    m_backColor = c;
    Changed();
}

void TMeter::SetForeColor(const QColor& c) {
    m_foreColor = c;
    Changed();
}

void TMeter::SetBorderStyle(TMeterBorderStyle style) {
    m_borderStyle = style;
    Changed();
}

void TMeter::SetBorderWidth(int w) {
    m_borderWidth = std::max(w, 0);
    Changed();
}

void TMeter::SetInteriorOffset(quint8 w) {
    m_interiorOffset = w;
    Changed();
}

void TMeter::SetSpaceBetween(int s) {
    m_spaceBetween = std::max(s, 0);
    Changed();
}

void TMeter::SetPeakPower(TPeakPower mode) {
    m_peakPower = mode;
    Changed();
}

void TMeter::SetPeakHoldTime(int ms) {
    m_peakHoldTime = std::max(ms, 0);
    Changed();
}

void TMeter::SetClock(Clock clock) {
    m_clock = clock ? std::move(clock) : Clock(SteadyMs);
    m_peakTaken = false;
}

QSize TMeter::sizeHint() const {
    return QSize(DefaultWidth, DefaultHeight);
}

QRect TMeter::OuterRect() const {
    return rect().adjusted(m_borderWidth, m_borderWidth, -m_borderWidth, -m_borderWidth);
}

int TMeter::BorderInset() const {
    return m_borderStyle == bs3D ? 2 : 1;
}

QRect TMeter::InteriorRect() const {
    const int o = BorderInset() + m_interiorOffset;
    return OuterRect().adjusted(o, o, -o, -o);
}

QRect TMeter::LedRect(int i) const {
    const QRect r = OuterRect();
    const int n = m_leds;
    const int s = m_spaceBetween;
    const int o = BorderInset() + m_interiorOffset;
    const int interiorHeight = r.height() - 2 * o - 2 * s;
    const int h = (interiorHeight - (n - 1) * s) / n;
    const int w = r.width() - 2 * o;
    if (i < 0 || i >= n || h <= 0 || w <= 0) {
        return QRect();
    }
    return QRect(r.left() + o, r.top() + o + s + (h + s) * (n - 1 - i), w, h);
}

QColor TMeter::BandColor(int i) const {
    if (i < m_loBarNumber) {
        return m_loBarColor;
    }
    if (i < m_loBarNumber + m_hiBarNumber) {
        return m_hiBarColor;
    }
    return m_clipBarColor;
}

void TMeter::UpdatePeak(qint64 now) {
    if (!m_peakTaken || now - m_peakTime >= m_peakHoldTime) {
        m_heldPeak = m_value;
        m_peakTime = now;
        m_peakTaken = true;
    }
    if (m_value > m_heldPeak) {
        m_heldPeak = m_value;
        m_peakTime = now;
    }
}

bool TMeter::PeakHeld(qint64 now) const {
    return m_peakTaken && now - m_peakTime < m_peakHoldTime;
}

void TMeter::paintEvent(QPaintEvent*) {
    const QRect r = OuterRect();
    if (r.width() <= 0 || r.height() <= 0) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);

    const QPalette& pal = palette();
    switch (m_borderStyle) {
        case bs3D:
            DrawBevelRing(p, r, pal.color(QPalette::Dark), pal.color(QPalette::Light));
            DrawBevelRing(p, r.adjusted(1, 1, -1, -1), pal.color(QPalette::ButtonText),
                          pal.color(QPalette::Button));
            break;
        case bsFlat3D:
            DrawBevelRing(p, r, pal.color(QPalette::Dark), pal.color(QPalette::Light));
            break;
        case bsFlat:
            DrawPixelFrame(p, r, Qt::black);
            break;
    }

    // The interior frame, the gaps between LEDs and the space under the
    // bottom LED all show the back colour.
    const QRect inside = r.adjusted(BorderInset(), BorderInset(), -BorderInset(), -BorderInset());
    if (inside.width() > 0 && inside.height() > 0) {
        p.fillRect(inside, ShownColor(m_backColor));
    }

    const qint64 now = m_clock();
    UpdatePeak(now);
    const bool held = PeakHeld(now);

    for (int i = 0; i < m_leds; ++i) {
        const QRect led = LedRect(i);
        if (led.isEmpty()) {
            break;
        }
        const int number = i + 1;
        const bool lit = (m_peakPower == ppPower && number <= m_value) ||
                         (m_peakPower == ppPeak && number == m_value) ||
                         (held && number == m_heldPeak);
        p.fillRect(led, ShownColor(lit ? BandColor(i) : m_backColor));
        DrawPixelFrame(p, led, ShownColor(m_foreColor));
    }

    if (held) {
        const qint64 left = m_peakTime + m_peakHoldTime - now;
        m_holdExpiry.start(static_cast<int>(std::clamp<qint64>(left, 1, 24LL * 3600 * 1000)));
    }
}

}  // namespace kv
