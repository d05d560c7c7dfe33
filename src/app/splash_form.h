// The splash window, which is also the About box. Its animation is drawn by
// the program: a star that comes to focus, its blurred disc shrinking to a
// sharp point while the figure of merit falls along a V.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <functional>

class QLabel;
class QPushButton;
class QTimer;

class TSplashForm : public QDialog {
    Q_OBJECT
public:
    explicit TSplashForm(QWidget* parent = nullptr);

    // Auto-close: after the animation the window waits Timer1 (2000 ms), then
    // reports done and hides. Otherwise (About) an OK button closes it.
    void SetAutoClose(bool on) { autoClose_ = on; }
    bool AutoClose() const { return autoClose_; }
    // The temperature line: empty at process start, the hub's firmware or
    // "TC/Guider Unavailable" when shown as About.
    void SetTCText(const QString& text);
    void SetOnDone(std::function<void()> done) { onDone_ = std::move(done); }
    // True once Timer1 has fired (auto-close mode).
    bool IsDone() const { return done_; }
    // Runs the event loop, asleep between events, until the splash is done.
    void WaitUntilDone();

signals:
    void Done();

public:

    bool AnimationRunning() const;
    static constexpr int kAnimationMs = 1800;
    static constexpr int kTimer1Ms = 2000;

protected:
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    void AnimationStopped();
    double Progress() const;

    bool autoClose_ = false;
    std::function<void()> onDone_;
    QLabel* label1_;
    QLabel* label2_;
    QLabel* version_;
    QLabel* notice_;
    QLabel* tcLabel_;
    QPushButton* ok_;
    QTimer* frameTimer_;
    QTimer* timer1_;
    QElapsedTimer clock_;
    bool animating_ = false;
    bool done_ = false;
};
