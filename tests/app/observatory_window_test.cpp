// The real main window on the simulated observatory: each catalogue kind, ports
// and names that fail, picking a star.
#include <QComboBox>
#include <QSlider>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <cstdlib>
#include <typeinfo>

#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app_test_support.h"
#include "focuser/o_focus_control.h"
#include "focuser/j_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"


namespace {

class ObservatoryWindow : public kvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        AddSimCamera();
    }
    void TearDown() override { window.reset(); }
    // Starts on a settings file choosing the simulated camera, `focuser` and COM1 = `device`.
    bool Start(const std::string& focuser, const std::string& device, const std::string& extra = {}) {
        folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=Simulated CCD\r\nFocuser=" + focuser +
                                          "\r\nComPort=1\r\nCommands=1\r\n" + extra + "[Ports]\r\nCOM1=" + device + "\r\n");
        return Open(false);
    }
    QString Text(const char* name) {
        if (auto* l = window->findChild<QLabel*>(QString::fromLatin1(name))) return l->text();
        return Find<QPushButton>(name)->text();
    }
    std::pair<int, int> Range(const char* name) {
        return {Find<QSpinBox>(name)->minimum(), Find<QSpinBox>(name)->maximum()};
    }
};

}  // namespace

TEST_F(ObservatoryWindow, EachKindGetsItsClassCaptionsRangesAndPagesAndAnUpdateKeepsItsCount) {
    struct Case {
        const char* name;
        const std::type_info& type;
        const char* device;
        const char* position;
        const char* in;
        const char* out;
        int move;
        int scanStart;
        bool group;
        bool temperature;
    };
    const Case cases[] = {
        {"Meade LX200 Microfocuser", typeid(kv::TJFocusControl), "sim:hub", "Focuser Position", "In+", "Out-", 250, 200,
         true, true},
        {"RoboFocus", typeid(kv::TRFFocusControl), "sim:robofocus", "Focuser Position", "In+", "Out-", 400, 200, false,
         false},
        {"Optec TCF-S", typeid(kv::TOFocusControl), "sim:optec", "Optec Focuser Position", "In-", "Out+", 3500, 1000,
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialogs.shown.clear();
        // Compensation on: the temperature page follows the kind.
        ASSERT_TRUE(Start(c.name, c.device, "[TempControl]\r\nEnabled=1\r\n"));
        kv::TFocusControl& f = *window->FocusControl();
        EXPECT_TRUE(typeid(f) == c.type) << typeid(f).name();
        EXPECT_TRUE(window->State().portOpen);
        EXPECT_TRUE(window->State().cameraReady);
        EXPECT_EQ(Text("FocusPositionLabel"), c.position);
        EXPECT_EQ(Text("Focus_InBtn"), c.in);
        EXPECT_EQ(Text("Focus_OutBtn"), c.out);
        for (const char* box : {"MoveToSE", "MoveBySE"}) EXPECT_EQ(Range(box), std::pair(-c.move, c.move)) << box;
        EXPECT_EQ(Range("StartScanSE"), std::pair(-c.scanStart, c.scanStart));
        EXPECT_EQ(!Find<QWidget>("FocuserParametersGB")->isHidden(), c.group);
        EXPECT_EQ(window->PageControl()->isTabVisible(TMainForm::TempControl), c.temperature);
        // The focusing controls wait for a star.
        EXPECT_FALSE(Find<QWidget>("StartSearch")->isEnabled());

        // An update with nothing changed keeps the count. The hub's last pulses
        // are timed, so a loaded machine may pass the target by a count or two.
        ASSERT_TRUE(kvtest::ProcessEventsUntil([&] { return f.GetIdle(); }, 20000));
        f.MoveBy(-38);
        const int slack = c.group ? 3 : 0;
        ASSERT_TRUE(kvtest::ProcessEventsUntil(
            [&] { return f.GetIdle() && std::abs(f.CTSCount() + 38) <= slack; }, 20000))
            << "at " << f.CTSCount() << (f.GetIdle() ? ", idle" : ", moving");
        kvtest::ProcessEventsUntil([] { return false; }, 200);  // a count still on its way
        const int ended = f.CTSCount();
        window->UpdatePgmParameters(true);
        EXPECT_TRUE(dialogs.Saw("Parameters have been updated"));
        EXPECT_TRUE(kvtest::ProcessEventsUntil([&] { return window->FocusControl()->CTSCount() == ended; }, 5000))
            << window->FocusControl()->CTSCount() << " after ending at " << ended;
        window.reset();
    }
}

TEST_F(ObservatoryWindow, APortThatCannotOpenAFailedUpdateAreSaidAndAnUnknownNameKeepsTheControllerAndItsPort) {
    ASSERT_TRUE(Start("Default", "/nonexistent/tty"));
    ASSERT_FALSE(dialogs.shown.empty());
    // The device tried and the system's reason follow the fixed text.
    EXPECT_EQ(dialogs.shown.back().text.find("Could not open COM 1\r\n\r\nTried /nonexistent/tty (open: No such file or "
                                             "directory)."),
              0u)
        << dialogs.shown.back().text;
    EXPECT_FALSE(window->State().portOpen);

    // A model the catalogue lists whose name says nothing of its kind.
    window.reset();
    std::string catalogue = folder.Read("Focusers.ini");
    const std::size_t section = catalogue.find("\n[Focusers]");
    ASSERT_NE(section, std::string::npos);
    catalogue.insert(catalogue.find('\n', section + 1) + 1, "Homebuilt=1\n");
    folder.Write("Focusers.ini", catalogue);
    ASSERT_TRUE(Start("Default", "sim:hub"));
    kv::TFocusControl* before = window->FocusControl();
    ASSERT_TRUE(window->State().portOpen);
    auto* combo = Find<QComboBox>("FocuserComboBox");
    ASSERT_GE(combo->findText("Homebuilt"), 0);
    combo->setCurrentIndex(combo->findText("Homebuilt"));
    Find<QLabel>("FocusPositionLabel")->setText("mine");
    dialogs.shown.clear();
    window->UpdatePgmParameters(true);
    EXPECT_EQ(window->FocusControl(), before);
    EXPECT_TRUE(window->State().portOpen);
    EXPECT_EQ(Text("FocusPositionLabel"), "mine");
    EXPECT_TRUE(dialogs.Saw("Parameters have been updated"));

    // A known kind is created afresh even on the same port, and the
    // simulated hub takes the chosen model's encoder.
    EXPECT_FALSE(kvsim::HubFor("hub")->Parameters().dualSense);
    combo->setCurrentIndex(combo->findText("JMI NGF-S"));
    window->UpdatePgmParameters(false);
    // The kind's captions again (a new controller may reuse the old one's address).
    EXPECT_EQ(Text("FocusPositionLabel"), "Focuser Position");
    EXPECT_TRUE(window->State().portOpen);
    EXPECT_TRUE(kvsim::HubFor("hub")->Parameters().dualSense);

    // A name of no kind on the same port number, but the number now names
    // another device: the port is opened on that one, not kept.
    combo->setCurrentIndex(combo->findText("Homebuilt"));
    ASSERT_TRUE(window->ChoosePortDevice(1, "/nonexistent/tty"));
    window->UpdatePgmParameters(false);
    EXPECT_FALSE(window->State().portOpen);
    EXPECT_EQ(dialogs.shown.back().text.find("Could not open COM 1\r\n\r\nTried /nonexistent/tty"), 0u);

    // An Optec driver on a line where no Optec answers: no session, no success.
    window.reset();
    ASSERT_TRUE(Start("Optec TCF-S", "sim:robofocus"));
    dialogs.shown.clear();
    window->UpdatePgmParameters(true);
    EXPECT_TRUE(dialogs.Saw(kv::kOptecNoSessionText));
    EXPECT_FALSE(dialogs.Saw("Parameters have been updated"));
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(dialogs.shown.back().text.find("The parameter update failed: the focuser on COM 1 is not connected."), 0u)
        << dialogs.shown.back().text;
}

TEST_F(ObservatoryWindow, AStarPickedFromTheImageOutlivesAnUpdate) {
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    sky.SetTruePosition(std::llround(sky.BestFocus()) - 120);  // true steps from best focus
    ASSERT_TRUE(Start("Default", "sim:hub"));
    window->show();
    kv::TCameraControl* camera = window->CameraControl();
    Find<QSlider>("ExposureMS")->setValue(100);
    // P picks the star, but a control the user types into keeps the letter.
    auto pressP = [&](QWidget* to) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_P, Qt::NoModifier, QStringLiteral("p"));
        QApplication::sendEvent(to, &press);
    };
    pressP(Find<QWidget>("ExposureControl"));
    EXPECT_TRUE(dialogs.Saw("No image has been taken: take one first (Get Image)"));

    ASSERT_NO_FATAL_FAILURE(GetImage());
    kv::TImageObject* image = camera->MainImage();
    QLineEdit typing(window->ExposurePage());
    pressP(&typing);
    EXPECT_FALSE(window->State().starSelected);
    EXPECT_EQ(typing.text(), QStringLiteral("p"));
    pressP(Find<QPushButton>("GetImageButton"));
    // The search runs beside the window, which takes its answer a moment later.
    ASSERT_TRUE(kvtest::ProcessEventsUntil([&] { return window->State().starSelected; }, 20000));
    EXPECT_NEAR(camera->FocusX(), image->MaxX(), 1);
    EXPECT_NEAR(camera->FocusY(), image->MaxY(), 1);
    EXPECT_TRUE(Find<QWidget>("GetFocusImageButton")->isEnabled());

    // Update Parameters with the same camera, focuser and port: the image and
    // the star stay (the position is the test of each kind above).
    window->UpdatePgmParameters(true);
    EXPECT_TRUE(dialogs.Saw("Parameters have been updated"));
    EXPECT_EQ(camera->MainImage(), image);
    EXPECT_TRUE(window->State().starSelected);
    EXPECT_TRUE(Find<QWidget>("GetFocusImageButton")->isEnabled());
}
