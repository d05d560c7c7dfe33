// The small "Temp Control" window: average temperature, clock, the
// temperature of the last correction, the automatic-compensation lamp and a
// "Compensate" button. It floats above every window and stays up while the
// main window is minimised, so it has no owner; the main window keeps it and
// the Temp Control page fills it.
#pragma once

#include <QWidget>

// Where a window saved at `topLeft` may open: there when a grip of its title
// bar lies on an available screen, otherwise at the primary screen's top left
// (a position saved with a monitor since unplugged, or typed into the file).
QPoint KeepOnAvailableScreen(const QPoint& topLeft, const QSize& size);

class QCheckBox;
class QLabel;
class QPushButton;
namespace kv {
class TlumLite;
}

class TTCWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 151;
    static constexpr int kClientHeight = 141;

    TTCWindow();

    // Left and top from the settings when at least 1, otherwise centred over
    // `mainFrame`.
    void Place(const QRect& mainFrame, int tcLeft, int tcTop);
    // The user has moved it away from where Place put it.
    bool Moved() const { return pos() != placed_; }
    static QPoint Placement(const QRect& mainFrame, const QSize& own, int tcLeft, int tcTop);

    // The page's average texts; the "F" box picks which one shows.
    void SetAverage(const QString& celsius, const QString& fahrenheit);
    void SetTime(const QString& text);
    void SetLast(const QString& text);
    void SetAutoOn(bool on);

    QPushButton* CompNow() const { return compNow_; }
    QCheckBox* FaranCB() const { return faranCB_; }

signals:
    // "Compensate": one correction now, exactly as "Compensate Now".
    void compensateClicked();

private:
    QPoint placed_;
    void FaranCBClick();

    QLabel* avgTempLabel_ = nullptr;
    QCheckBox* faranCB_ = nullptr;
    QLabel* currentTimeLabel_ = nullptr;
    QPushButton* compNow_ = nullptr;
    QLabel* lastTemp_ = nullptr;
    kv::TlumLite* tcOnLite_ = nullptr;
    QString celsius_;
    QString fahrenheit_;
};
