// A short unattended session on the simulated observatory, for machines with
// no one at the screen: take a full image, pick the brightest star that a
// focus frame fits around, take a focus frame, move the focuser towards best
// focus, take another, then put it 60 steps past best focus and let an auto
// focus find it again, by the golden section and then, from the same start,
// by the curve fit, printing for each where it ended against the simulator's
// best focus and how many frames it took; pictures of the Exposure Control,
// Manual Focus and Auto Focus pages are saved. It drives the window through its own controls, never blocking
// the GUI thread: each step waits for the last one's result on a timer.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

class TMainForm;

class TSimulatedTour : public QObject {
    Q_OBJECT
public:
    // Pictures go to `prefix` + "-exposure-control.png", "-manual-focus.png",
    // "-auto-focus-golden.png" and "-auto-focus.png" (the curve fit).
    TSimulatedTour(TMainForm& form, QString prefix);
    void Start();

signals:
    // The tour is over; `ok` is false when a step did not finish in time.
    void finished(bool ok);

private:
    struct Step {
        QString what;
        std::function<bool()> ready;  // may the action run now?
        std::function<void()> action;
    };
    void Add(const QString& what, std::function<bool()> ready, std::function<void()> action);
    void Tick();
    bool PickStar();
    void StartFocusFrame();
    bool FocusFrameArrived() const;
    void PrintReading(const char* where);
    bool SavePage(int page, const QString& file);
    // Chooses the method on the Auto Focus page and clicks "Auto Focus".
    void StartAutoFocus(int methodItem);

    TMainForm& form_;
    QString prefix_;
    QTimer timer_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    qint64 stepStartedMs_ = 0;
    bool ok_ = true;
    bool searchEnded_ = false;
    int method_ = 0;   // the Auto Focus page's method item of the run
    int frames_ = 0;   // focus frames the last run took
    std::int64_t startDrive_ = 0;
};
