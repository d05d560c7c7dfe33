// Pick Star on a crowded field runs off the window's thread, so the window keeps
// turning; a call-off leaves the selection as it was.
#include <QKeyEvent>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "app/exposure_page.h"
#include "app_test_support.h"
#include "camera/star_finder.h"
#include "sim/observatory.h"

using kvtest::ProcessEventsUntil;

namespace {

// The longest the window's thread may go without turning while a search
// runs: a pause the eye reads as a freeze.
constexpr qint64 kLongestGapMs = 100;
constexpr int kTickMs = 5;

// Nanoseconds the calling thread has waited, ready to run, for a processor
// (the second figure of its schedstat), or -1 where the kernel does not say.
long long RunQueueWaitNs() {
    std::ifstream stat("/proc/thread-self/schedstat");
    long long onCpu = 0, waited = -1;
    if (!(stat >> onCpu >> waited)) return -1;
    return waited;
}

// The longest time between two turns of the window's event loop, as a 5 ms
// timer sees it, over turns `counts` says yes to. The time other processes
// held the thread off the processor (the kernel counts it) is taken out of
// each gap, so what is left is the window's own work and waits.
class GapMeter {
public:
    explicit GapMeter(std::function<bool()> counts) : counts_(std::move(counts)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        clock_.start();
        waited_ = RunQueueWaitNs();
        timer_.start();
    }
    qint64 Longest() const { return longest_; }
    int Turns() const { return turns_; }

private:
    void Tick() {
        const qint64 now = clock_.elapsed();
        const long long waited = RunQueueWaitNs();
        const bool counts = counts_();
        if (counts && countedLast_) {
            const qint64 held = waited >= 0 && waited_ >= 0 ? (waited - waited_) / 1000000 : 0;
            longest_ = std::max(longest_, now - last_ - held);
            ++turns_;
        }
        countedLast_ = counts;
        last_ = now;
        waited_ = waited;
    }
    std::function<bool()> counts_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    long long waited_ = -1;
    qint64 longest_ = 0;
    int turns_ = 0;
    bool countedLast_ = false;
};

class StarSearchWindow : public kvtest::WindowTest {
protected:
    void SetUp() override {
        kvsim::Observatory::Instance().StartNight({.temperatureRateCPerHour = 0.0});
        WindowTest::SetUp();
        AddSimCamera();
        // The camera reports its sensor when it is bound; this copy of it is
        // this test's alone, so the switch reaches no other test.
        setenv("KESSIVANE_SIM_FIELD", "crowded", 1);
        const bool created = Open();
        unsetenv("KESSIVANE_SIM_FIELD");
        ASSERT_TRUE(created);
        ASSERT_TRUE(window->State().cameraReady);
        window->show();
        Camera([](KVSimCameraConfig& c) { c.Seed = 20240611; });
        window->findChild<QSlider*>(QStringLiteral("ExposureMS"))->setValue(1000);
        page = window->ExposurePage();
        ASSERT_NO_FATAL_FAILURE(GetImage(120000));
        ASSERT_EQ(window->CameraControl()->MainImage()->Width(), 2048);
        ASSERT_EQ(window->CameraControl()->MainImage()->Height(), 2048);
    }
    void TearDown() override {
        window.reset();
        kvsim::Observatory::Instance().StartNight({});
    }
    void Key(int key) {
        QWidget* target = window->findChild<QWidget*>(QStringLiteral("ImageDisplay"));
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
    }
    TExposurePage* page = nullptr;
};

TEST_F(StarSearchWindow, PickStarOnACrowdedFieldKeepsTheWindowTurningAndAnswers) {
    // From the click until the answer is in; the turn that draws the selection
    // is the same with or without a search and is left out.
    const std::size_t boxes = dialogs.shown.size();
    bool clicked = false;
    GapMeter meter([&] { return !clicked || page->FindingStars(); });
    QTimer::singleShot(0, [&] {
        clicked = true;
        window->findChild<QAbstractButton*>(QStringLiteral("PickStarButton"))->click();
    });
    ASSERT_TRUE(ProcessEventsUntil([&] { return clicked; }, 5000));
    EXPECT_TRUE(page->FindingStars());
    // Long enough on this field for the busy word and the Cancel button.
    ASSERT_TRUE(ProcessEventsUntil([&] { return !page->FindingStars(); }, 300000));
    EXPECT_GT(meter.Turns(), 2);
    EXPECT_LE(meter.Longest(), kLongestGapMs) << "the window's thread stood still for " << meter.Longest() << " ms";
    // The answer: a star chosen, or why none suits, never silence.
    if (!window->State().starSelected) {
        ASSERT_EQ(dialogs.shown.size(), boxes + 1);
        EXPECT_NE(dialogs.shown.back().text.find("stars found suits focusing"), std::string::npos) << dialogs.shown.back().text;
    }
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("PickStarButton"))->text(), QStringLiteral("Pick Star"));
}

TEST_F(StarSearchWindow, ACallOffEndsTheSearchAndKeepsTheSelectionAndTheNextSearchRuns) {
    const struct {
        const char* how;
        std::function<void()> callOff;
        bool keepsSelection;  // Get Image lets go of the star, search or not
    } ways[] = {
        {"Escape", [this] { Key(Qt::Key_Escape); }, true},
        {"the button, which reads Cancel",
         [this] { window->findChild<QAbstractButton*>(QStringLiteral("PickStarButton"))->click(); }, true},
        {"a new image", [this] { window->findChild<QAbstractButton*>(QStringLiteral("GetImageButton"))->click(); },
         false},
    };
    kv::TCameraControl* camera = window->CameraControl();
    ASSERT_TRUE(page->SelectStar(1000, 1000).isEmpty());
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        const std::size_t boxes = dialogs.shown.size();
        page->PickStarClick();
        ASSERT_TRUE(page->FindingStars());
        // A second Pick Star by the key while one runs is refused, not a cancel.
        const int beeps = dialogs.beeps;
        Key(Qt::Key_P);
        EXPECT_TRUE(page->FindingStars());
        EXPECT_EQ(dialogs.beeps, beeps + 1);
        // The search works meanwhile; if done first, its answer waits for the
        // window to take it, and the call-off comes first all the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        way.callOff();
        EXPECT_FALSE(page->FindingStars());
        EXPECT_TRUE(window->StatusPanelText(1).startsWith(QLatin1String("The star search was cancelled")))
            << window->StatusPanelText(1).toStdString();
        // The search's late report, if any, changes nothing.
        ProcessEventsUntil([] { return false; }, 300);
        EXPECT_EQ(camera->FocusX(), 1000);
        EXPECT_EQ(camera->FocusY(), 1000);
        EXPECT_EQ(window->State().starSelected, way.keepsSelection);
        EXPECT_EQ(dialogs.shown.size(), boxes) << "a call-off is said in the status bar, not in a box";
        EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("PickStarButton"))->text(), QStringLiteral("Pick Star"));
    }
    // Straight after a call-off a search starts and runs to its answer.
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return camera->Idle() && window->StatusPanelText(0).startsWith(QLatin1String(" Image:")); }, 120000));
    bool answered = false;
    QString why;
    const QString refused = page->StartFindStars([&](const kv::StarField& field, const QString& w) {
        answered = true;
        why = w;
        EXPECT_TRUE(field.stars.empty());
    });
    ASSERT_TRUE(refused.isEmpty()) << refused.toStdString();
    page->CancelFindStars();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(why.isEmpty());
    answered = false;
    ASSERT_TRUE(page->StartFindStars([&](const kv::StarField& field, const QString& w) {
                        answered = true;
                        why = w;
                        // Every star found, the brightest kept.
                        EXPECT_GT(field.found, 1000u);
                        EXPECT_EQ(field.stars.size(), kv::StarFinderSettings{}.maxStars);
                    })
                    .isEmpty());
    ASSERT_TRUE(ProcessEventsUntil([&] { return answered; }, 300000));
    EXPECT_TRUE(why.isEmpty()) << why.toStdString();
}

}  // namespace
