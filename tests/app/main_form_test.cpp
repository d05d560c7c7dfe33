// The real main window, driven as a user would: start-up checks, the settings
// buttons, the catalogue choice, the logs and the close.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QSpinBox>
#include <QTabWidget>
#include <map>
#include <thread>

#include <QAbstractAxis>
#include <QChart>
#include <QChartView>
#include <QValueAxis>
#include <QLegend>
#include <QXYSeries>
#include <QScreen>
#include <QLabel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollArea>
#include <QThread>
#include <QTimer>

#include "app/auto_focus_page.h"
#include "app/focus_history.h"
#include "app/focus_panel.h"
#include "app/picture_view.h"
#include "app/qt_dialogs.h"
#include "app/tc_window.h"
#include "app/radio_group.h"
#include "app/settings_page.h"
#include "app/splash_form.h"
#include "app_test_support.h"
#include "focuser/focuser_test_support.h"
#include "shell/focuser_catalogue.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"
#include "sim/protocol_device.h"
#include "sim/robofocus_simulator.h"
#include "support/pty.h"
#include "widgets/lum_memo.h"

using kvtest::ProcessEventsUntil;

namespace {

// A started main window on a program folder of its own.
class MainForm : public kvtest::WindowTest {
protected:
    void TearDown() override { window.reset(); }
    bool Start() {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        window.emplace(dialogs, folder.Dir(), QStringList{"kessivane", "--simulate"});
        if (!userFolder.empty()) window->SetUserFolder(userFolder);
        return window->FormCreate();
    }
    // A fresh start on `settings`, with only its own boxes recorded.
    bool StartWith(const std::string& settings) {
        window.reset();
        dialogs.shown.clear();
        folder.Write("Kessivane.ini", settings);
        return Start();
    }
    // The boxes other than the parameter update's "not specified" ones,
    // which every start without a camera or focuser shows.
    std::vector<kvtest::ShownBox> OtherBoxes() const {
        std::vector<kvtest::ShownBox> other;
        for (const auto& b : dialogs.shown) {
            if (b.text.find("was not specified or found!") == std::string::npos) other.push_back(b);
        }
        return other;
    }
    std::string userFolder;  // the program folder when empty
};

// Every control shown lies inside the window and shows its whole caption.
// What sits in a scroll area's view may run past it by design.
void ExpectEveryShownControlWhole(QWidget& window, const std::string& where) {
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow()) continue;
        bool scrolled = false;
        for (QWidget* up = w->parentWidget(); up != &window && up != nullptr; up = up->parentWidget()) {
            scrolled = scrolled || up->objectName() == QStringLiteral("qt_scrollarea_viewport");
        }
        if (scrolled) continue;
        const QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
        EXPECT_TRUE(window.rect().contains(QRect(w->mapTo(&window, QPoint(0, 0)), w->size())))
            << where << ": " << name.toStdString() << " leaves the window";
        const auto* label = qobject_cast<QLabel*>(w);
        if (label == nullptr || label->wordWrap() || label->text().isEmpty() || Qt::mightBeRichText(label->text())) continue;
        EXPECT_LE(label->fontMetrics().size(0, label->text()).width(), label->contentsRect().width())
            << where << ": " << name.toStdString() << " cuts \"" << label->text().toStdString() << "\"";
    }
}

// The largest green or blue level anywhere in the picture, or the largest red.
int Brightest(const QImage& image, bool red = false) {
    int most = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb p = rgb.pixel(x, y);
            most = red ? std::max(most, qRed(p)) : std::max({most, qGreen(p), qBlue(p)});
        }
    }
    return most;
}


// How every chart in every window is drawn, by chart: the theme, the
// background and each colour night vision swaps.
std::map<std::string, std::vector<std::string>> ChartLooks() {
    const auto brush = [](const QBrush& b) {
        std::string text = std::to_string(b.style()) + " " + b.color().name(QColor::HexArgb).toStdString();
        if (const QGradient* g = b.gradient()) {
            for (const auto& [at, colour] : g->stops()) text += " " + std::to_string(at) + ":" + colour.name().toStdString();
        }
        return text;
    };
    const auto colour = [](const QColor& c) { return c.name(QColor::HexArgb).toStdString(); };
    std::map<std::string, std::vector<std::string>> looks;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        for (QChartView* view : top->findChildren<QChartView*>()) {
            const QChart* chart = view->chart();
            auto& l = looks[(view->objectName() + QLatin1Char('/') + chart->title()).toStdString()];
            l.push_back("theme " + std::to_string(chart->theme()));
            l.push_back("background " + brush(chart->backgroundBrush()));
            l.push_back("plot area " + brush(chart->plotAreaBackgroundBrush()));
            l.push_back("title " + brush(chart->titleBrush()));
            l.push_back("legend " + colour(chart->legend()->labelColor()));
            for (QAbstractAxis* axis : chart->axes()) {
                const std::string name = axis->titleText().toStdString();
                l.push_back(name + " labels " + brush(axis->labelsBrush()));
                l.push_back(name + " title " + brush(axis->titleBrush()));
                l.push_back(name + " line " + colour(axis->linePenColor()));
                l.push_back(name + " grid " + colour(axis->gridLineColor()) + " " + colour(axis->minorGridLineColor()));
            }
            for (const QAbstractSeries* series : chart->series()) {
                if (const auto* xy = qobject_cast<const QXYSeries*>(series)) {
                    l.push_back(series->objectName().toStdString() + " " + colour(xy->color()));
                }
            }
        }
    }
    return looks;
}
}  // namespace

TEST_F(MainForm, Startup_MissingCatalogueEndsStartupBeforeAnySettingsFileIsWritten) {
    std::filesystem::remove(folder.File("Focusers.ini"));
    EXPECT_FALSE(Start());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text,
              "The FOCUSERS.INI file is missing!  \r\n\r\nThe program will shut down so you can correct the problem.");
    EXPECT_EQ(dialogs.shown[0].type, kv::DialogType::Error);
    EXPECT_FALSE(folder.Has("Kessivane.ini"));
}

TEST_F(MainForm, Startup_MissingSettingsFileIsReplacedByTheFactoryFileAndShown) {
    ASSERT_TRUE(Start());
    EXPECT_TRUE(dialogs.Saw("KESSIVANE.INI is missing....  A factory default INI is being installed"));
    EXPECT_EQ(folder.Read("Kessivane.ini"), kv::FactorySettingsText());
    // The controls show what the file holds.
    EXPECT_EQ(window->CurrentSettings(), kv::ReadSettings(folder.File("Kessivane.ini")));
}

// The window grows: the picture takes the room, nothing is cut, and the next
// start comes up as the user left it.
TEST_F(MainForm, Window_GrowsThePictureKeepsEveryControlWholeAndComesBackAsLeft) {
    ASSERT_TRUE(Start());
    window->show();
    auto* picture = Find<QScrollArea>("ImageScrollBox");
    auto* focusPanel = Find<QWidget>("FocusPanel");
    const QSize least = picture->size();
    const int panelGap = window->width() - focusPanel->geometry().right();
    // The pages' layouts follow the window through posted requests.
    const auto settle = [] { ProcessEventsUntil([] { return false; }, 100); };
    // A star text longer than the bar: both other panels lend what their texts do not need.
    const QString image = QStringLiteral("Image: Min= 182  Max= 5672  Avg= 250");
    window->SetStatusPanel(0, image);
    window->SetStatusPanel(1, QString());
    settle();
    const QLabel* last = Find<QLabel>("StatusPanel2");
    const int firstSpare = window->StatusPanelWidth(0) - last->fontMetrics().horizontalAdvance(image);
    QString star = QStringLiteral("Selected:  X: 382   Y: 255   Value: 05672");
    while (last->fontMetrics().horizontalAdvance(star) < last->width() + firstSpare + 40) star += QStringLiteral(" *");
    window->SetStatusPanel(2, star);
    settle();
    ExpectEveryShownControlWhole(*window, "a long star text");
    for (const QSize size : {QSize(TMainForm::kClientWidth, TMainForm::kClientHeight), QSize(1600, 1000)}) {
        window->resize(size);
        // Grown while another page showed: the picture catches up when it shows again.
        window->PageControl()->setCurrentIndex(TMainForm::ExposureControl);
        settle();
        const std::string where = std::to_string(size.width()) + "x" + std::to_string(size.height());
        EXPECT_EQ(picture->size(), least + (size - QSize(TMainForm::kClientWidth, TMainForm::kClientHeight))) << where;
        EXPECT_EQ(window->width() - focusPanel->geometry().right(), panelGap) << where;
        for (int page = 0; page < window->PageControl()->count(); ++page) {
            if (!window->PageControl()->isTabVisible(page)) continue;
            window->PageControl()->setCurrentIndex(page);
            for (int tab = 0; tab < (page == TMainForm::StatusSettings ? window->SettingsPages()->count() : 1); ++tab) {
                if (page == TMainForm::StatusSettings) window->SettingsPages()->setCurrentIndex(tab);
                settle();
                ExpectEveryShownControlWhole(*window, where + " page " + std::to_string(page) + "/" + std::to_string(tab));
            }
        }
    }
    // A large focus frame: the taller window lends the panel the height its lowest control needs.
    window->FocusPanel()->SetFocusFrameSize(200, 200);
    const auto* lowest = Find<QWidget>("SaveFocusFramesCB");
    EXPECT_LE(lowest->mapTo(focusPanel, QPoint(0, lowest->height())).y(), focusPanel->height());
    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    window->move(40, 60);
    ASSERT_TRUE(window->close());
    window.reset();

    const kv::IniFile kept = kv::IniFile::Load(folder.File("Kessivane.ini"));
    EXPECT_EQ(kept.GetInteger("Position", "Width", 0), 1600);
    EXPECT_EQ(kept.GetInteger("Position", "Height", 0), 1000);
    ASSERT_TRUE(Start());
    // No larger than the screen it comes back on.
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    EXPECT_EQ(window->size(), QSize(1600, 1000).boundedTo(screen).expandedTo(window->minimumSize()));
    EXPECT_EQ(window->pos(), QPoint(40, 60));
    EXPECT_EQ(window->PageControl()->currentIndex(), TMainForm::ManualFocus);
    // An unattended run (--screenshot, --tour) that moves things writes nothing.
    const std::string text = folder.Read("Kessivane.ini");
    window->SetUnattended(true);
    window->PageControl()->setCurrentIndex(TMainForm::AutoFocus);
    window->resize(1000, 700);
    ASSERT_TRUE(window->close());
    EXPECT_EQ(folder.Read("Kessivane.ini"), text);
}

// Night vision reaches every window, box, chart and picture, and is kept
// from the moment the user switches it.
TEST_F(MainForm, Window_NightVisionTurnsEveryWindowAndThePictureRedAndIsKept) {
    ASSERT_TRUE(Start());
    window->show();
    window->ShowFocusHistory();
    QApplication::processEvents();
    const auto day = ChartLooks();
    ASSERT_GE(day.size(), 4u);
    window->TCWindow()->show();
    kv::TImageObject image(64, 48);
    std::vector<std::uint16_t> sky(64 * 48);
    for (std::size_t i = 0; i < sky.size(); ++i) sky[i] = static_cast<std::uint16_t>((i * 977) % 65536);
    image.LoadPixels(sky.data());
    auto* view = Find<TPictureView>("ImageDisplay");
    view->resize(64, 48);
    view->SetSource(&image);
    image.PutImage(*view);
    view->SetOverlay(QRect(4, 4, 20, 20));
    EXPECT_GT(Brightest(view->grab().toImage()), 200);  // a grey sky by day
    const std::string before = folder.Read("Kessivane.ini");
    EXPECT_EQ(before.find("NightVision"), std::string::npos);

    window->NightVisionKey();
    QApplication::processEvents();
    for (const auto& [chart, looks] : ChartLooks()) EXPECT_NE(looks, day.at(chart)) << chart << " kept its day colours";
    // The sky keeps its levels in red; the windows' own drawing (the style's
    // bevels) may keep a faint grey.
    EXPECT_LE(Brightest(view->grab().toImage()), 4);
    constexpr int kDimEnough = 64;
    for (QWidget* top : {static_cast<QWidget*>(&*window), static_cast<QWidget*>(window->TCWindow())}) {
        EXPECT_LE(Brightest(top->grab().toImage()), kDimEnough) << top->objectName().toStdString();
    }
    // The empty circle and square of an unchosen radio button and check box
    // still show, in dim red, on the night's near-black.
    const auto buttons = window->findChildren<QAbstractButton*>();
    for (const auto& [type, indicator] : {std::pair("QRadioButton", QStyle::SE_RadioButtonIndicator),
                                          std::pair("QCheckBox", QStyle::SE_CheckBoxIndicator)}) {
        const auto empty = std::find_if(buttons.begin(), buttons.end(), [type](QAbstractButton* b) {
            return b->inherits(type) && b->isVisible() && !b->isChecked();
        });
        ASSERT_NE(empty, buttons.end()) << type;
        QStyleOptionButton option;
        option.initFrom(*empty);
        EXPECT_GE(Brightest((*empty)->grab((*empty)->style()->subElementRect(indicator, &option, *empty)).toImage(), true), 60)
            << type;
    }
    QtDialogs boxes;
    boxes.SetWindow(&*window);
    int inBox = -1;
    QTimer::singleShot(0, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            inBox = Brightest(box->grab().toImage());
            box->close();
        }
    });
    boxes.Show("Temperature compensation is underway", kv::DialogType::Warning, kv::DialogButtons::Ok);
    EXPECT_GE(inBox, 0);
    EXPECT_LE(inBox, kDimEnough);
    for (int page : {TMainForm::ManualFocus, TMainForm::AutoFocus}) {
        window->PageControl()->setCurrentIndex(page);
        QApplication::processEvents();
        EXPECT_LE(Brightest(window->grab().toImage()), kDimEnough) << "page " << page;
    }
    window->FocusHistory()->close();
    EXPECT_EQ(kv::IniFile::Load(folder.File("Kessivane.ini")).GetBool("Misc", "NightVision", false), true);
    window->TCWindow()->hide();
    view->SetSource(nullptr);
    window.reset();

    // The next start is red at once, the history first opened at night too;
    // switching back leaves every chart as a day window shows it.
    ASSERT_TRUE(Start());
    EXPECT_TRUE(window->NightVisionOn());
    window->show();
    window->ShowFocusHistory();
    QApplication::processEvents();
    EXPECT_LE(Brightest(window->grab().toImage()), kDimEnough);
    EXPECT_LE(Brightest(window->FocusHistory()->grab().toImage()), kDimEnough);
    window->NightVisionKey();
    QApplication::processEvents();
    EXPECT_FALSE(window->NightVisionOn());
    EXPECT_EQ(kv::IniFile::Load(folder.File("Kessivane.ini")).GetBool("Misc", "NightVision", true), false);
    EXPECT_GT(Brightest(window->grab().toImage()), 200);
    EXPECT_EQ(ChartLooks(), day);
    window->FocusHistory()->close();
}

// Every reading on the quality chart stays inside its axis with room for its
// marker, through night vision and Update Parameters, which reset the range.
TEST_F(MainForm, Window_TheQualityChartKeepsEveryReadingInside) {
    ASSERT_TRUE(Start());
    QChart* quality = window->AutoFocusPage()->QualityChart();
    for (const double fom : {7.95, 10.0}) AppendCurvePoint(quality, 0.0, fom);
    const auto inside = [&] {
        const auto* y = qobject_cast<QValueAxis*>(quality->axes(Qt::Vertical).first());
        const double room = 0.02 * (y->max() - y->min());
        for (const QPointF& p : quality->findChild<QXYSeries*>(QStringLiteral("CurvePoints"))->points())
            if (!(p.y() < y->max() - room)) return false;
        return true;
    };
    EXPECT_TRUE(inside());
    window->NightVisionKey();
    window->NightVisionKey();
    window->UpdatePgmParameters(true);
    EXPECT_TRUE(inside());
}

// A position saved on a monitor since unplugged (or typed in) opens the
// window on an available screen; one on a screen stays where it was.
TEST_F(MainForm, Startup_ASavedPositionOffEveryScreenOpensOnTheScreen) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint kept(screen.left() + 40, screen.top() + 30);
    // Only a sliver of the title bar at the right edge is too little to grab.
    const QPoint sliver(screen.right() - 20, screen.top() + 30);
    const QPoint grip(screen.right() - 100, screen.top() + 30);
    struct Case {
        QPoint saved;
        QSize size;  // saved Width and Height; empty for none
        QPoint expected;
    };
    for (const Case& c : {Case{{6000, 4000}, {}, screen.topLeft()}, Case{{-3000, 50}, {}, screen.topLeft()},
                          Case{sliver, {}, screen.topLeft()}, Case{grip, {}, grip}, Case{kept, {}, kept},
                          // Saved on a larger monitor: shrunk to the screen it opens on.
                          Case{{6000, 4000}, {5000, 4000}, screen.topLeft()}}) {
        SCOPED_TRACE(std::to_string(c.saved.x()) + "," + std::to_string(c.saved.y()));
        std::string text = "[Position]\r\nSavePosition=1\r\nLeft=" + std::to_string(c.saved.x()) + "\r\nTop=" +
                           std::to_string(c.saved.y()) + "\r\nTCLeft=" + std::to_string(c.saved.x()) + "\r\nTCTop=" +
                           std::to_string(c.saved.y()) + "\r\n";
        if (!c.size.isEmpty()) {
            text += "Width=" + std::to_string(c.size.width()) + "\r\nHeight=" + std::to_string(c.size.height()) + "\r\n";
        }
        ASSERT_TRUE(StartWith(text));
        EXPECT_EQ(window->pos(), c.expected);
        if (c.expected == screen.topLeft()) {
            EXPECT_TRUE(screen.contains(window->frameGeometry())) << window->width() << "x" << window->height();
        }
        // Placed beside the main window unless its own position was saved.
        EXPECT_TRUE(screen.contains(window->TCWindow()->pos())) << window->TCWindow()->x() << "," << window->TCWindow()->y();
        // Where it opened is not a place the user chose: nothing is written.
        window->show();
        ASSERT_TRUE(window->close());
        EXPECT_EQ(folder.Read("Kessivane.ini"), text);
    }
}

// A sparse file shows clamped values, a damaged one is reported by line and
// its lost values are the factory ones; neither file is rewritten.
TEST_F(MainForm, Startup_ExistingOrDamagedSettingsAreShownClampedOrFactoryAndTheFileIsNotRewritten) {
    std::string text = "; mine\r\n[Position]\r\nSavePosition=1\r\n";
    ASSERT_TRUE(StartWith(text));
    EXPECT_TRUE(OtherBoxes().empty());
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("DefaultGainSE")->value(), 0.1);
    EXPECT_EQ(Find<QSpinBox>("StopFactorSE")->value(), 10);
    EXPECT_EQ(Find<QComboBox>("FocuserComboBox")->currentIndex(), -1);  // "None" is no model
    EXPECT_EQ(folder.Read("Kessivane.ini"), text);

    text = kv::FactorySettingsText();
    text.replace(text.find("[CameraControl]"), 15, "\x13\xf7\xa0" "binary");
    ASSERT_TRUE(StartWith(text));
    ASSERT_EQ(OtherBoxes().size(), 1u);
    EXPECT_EQ(OtherBoxes()[0].text.find("The settings file " + folder.File("Kessivane.ini") + " could not be read at line 9."),
              0u) << OtherBoxes()[0].text;
    // Its keys now sit in [Device/Ports], so [CameraControl] lost them all.
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("ExposureTimeDefaultSE")->value(), 1.0);
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("DefaultGainSE")->value(), 1.0);
    EXPECT_EQ(Find<TRadioGroup>("ImageStretchDefaultRG")->ItemIndex(), 2);
    EXPECT_EQ(folder.Read("Kessivane.ini"), text);
}

TEST_F(MainForm, Startup_SettingsBesideAProgramTheUserCannotWriteToAreUsedAndSavedInTheUserFolder) {
    std::string text = kv::FactorySettingsText() + "; mine\r\n";
    text.replace(text.find("StopFactor=12"), 13, "StopFactor=33");
    kv::test::TempDir user;
    userFolder = user.Path().string() + "/";
    ASSERT_TRUE(StartWith(text));
    EXPECT_EQ(Find<QSpinBox>("StopFactorSE")->value(), 33);
    ASSERT_EQ(OtherBoxes().size(), 1u);
    EXPECT_NE(OtherBoxes()[0].text.find("saved to " + userFolder + "Kessivane.ini"), std::string::npos) << OtherBoxes()[0].text;
    EXPECT_EQ(window->IniPath(), userFolder + "Kessivane.ini");
    EXPECT_EQ(kv::test::ReadFile(userFolder + "Kessivane.ini"), text);
    EXPECT_EQ(folder.Read("Kessivane.ini"), text);
    window.reset();
}

TEST_F(MainForm, Startup_SimulateStillReachesTheSimulatorsAfterTheSettingsWereSaved) {
    AddSimCamera("sim_camera.so");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(window->State().portOpen);
    Find<QPushButton>("SaveSettingsButton")->click();
    ASSERT_NE(folder.Read("Kessivane.ini").find("Camera=Simulated CCD"), std::string::npos);
    window.reset();
    dialogs.shown.clear();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(window->State().portOpen);
    // The simulated hub, not whatever serial port the machine has: its temperature unit answers.
    EXPECT_TRUE(window->FocusControl()->GetTCAvail());
    EXPECT_TRUE(window->State().cameraReady);
    EXPECT_TRUE(OtherBoxes().empty()) << OtherBoxes()[0].text;
}

TEST_F(MainForm, Startup_AnUnreadableSettingsFileIsReportedAndNeverReplaced) {
    // A folder in the file's place cannot be read even by root.
    const std::string path = folder.File("Kessivane.ini");
    std::filesystem::create_directory(path);
    kv::test::WriteFile(path + "/mine", "kept");
    ASSERT_TRUE(Start());
    ASSERT_EQ(OtherBoxes().size(), 1u);
    EXPECT_EQ(OtherBoxes()[0].type, kv::DialogType::Error);
    EXPECT_NE(OtherBoxes()[0].text.find("The settings file " + path + " could not be read"), std::string::npos)
        << OtherBoxes()[0].text;

    Find<QPushButton>("RevertSavedButton")->click();
    EXPECT_EQ(OtherBoxes().size(), 2u);
    Find<QPushButton>("SaveSettingsButton")->click();
    EXPECT_FALSE(dialogs.Saw("Settings file has been updated with new parameters"));
    EXPECT_TRUE(window->close());
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(folder.Read("Kessivane.ini/mine"), "kept");
}

TEST_F(MainForm, Pages_SettingsButtonsAndPanelsFollowThePageAndEverySettingsControlSitsOnATab) {
    ASSERT_TRUE(Start());
    window->show();
    auto* save = Find<QPushButton>("SaveSettingsButton");
    auto* focusPanel = Find<QWidget>("FocusPanel");
    auto* readOut = Find<QWidget>("ReadOutPanel");
    // Without a camera the start ends on the Device/Ports tab; the user goes back.
    EXPECT_EQ(window->PageControl()->currentIndex(), TMainForm::StatusSettings);
    EXPECT_EQ(window->SettingsPages()->currentIndex(), TMainForm::DevicePortsTab);
    window->SettingsPages()->setCurrentIndex(TMainForm::StatusTab);
    window->PageControl()->setCurrentIndex(TMainForm::ExposureControl);
    EXPECT_TRUE(focusPanel->isVisible());
    EXPECT_FALSE(readOut->isVisible());

    window->PageControl()->setCurrentIndex(TMainForm::StatusSettings);
    EXPECT_EQ(window->SettingsPages()->currentIndex(), TMainForm::StatusTab);
    EXPECT_FALSE(save->isVisible());
    EXPECT_TRUE(focusPanel->isVisible());
    for (int tab : {TMainForm::DevicePortsTab, TMainForm::CameraControlTab, TMainForm::FocuserControlTab}) {
        window->SettingsPages()->setCurrentIndex(tab);
        for (const char* b : {"UpdatePgmParametersButton", "SaveSettingsButton", "RevertSavedButton",
                              "FactoryDefaultsButton"}) {
            EXPECT_TRUE(Find<QPushButton>(b)->isVisible()) << b << " on tab " << tab;
        }
        EXPECT_FALSE(focusPanel->isVisible());
    }
    window->SettingsPages()->setCurrentIndex(TMainForm::StatusTab);
    EXPECT_FALSE(save->isVisible());

    window->PageControl()->setCurrentIndex(TMainForm::ManualFocus);
    EXPECT_TRUE(readOut->isVisible());
    window->PageControl()->setCurrentIndex(TMainForm::ExposureControl);
    EXPECT_FALSE(readOut->isVisible());

    // A settings control on no tab would be read and written unseen; a hidden
    // one stays hidden wherever it is placed; each explains itself.
    window->PageControl()->setCurrentIndex(TMainForm::StatusSettings);
    QTabWidget* tabs = window->SettingsPages();
    for (const auto& setting : kv::SettingSpecs()) {
        if (setting.control.empty() || !setting.written) continue;
        QWidget* w = Find<QWidget>(std::string(setting.control).c_str());
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(w->toolTip().isEmpty()) << setting.control;
        int tab = 0;
        while (tab < tabs->count() && !tabs->widget(tab)->isAncestorOf(w)) ++tab;
        ASSERT_LT(tab, tabs->count()) << setting.control;
        tabs->setCurrentIndex(tab);
        EXPECT_EQ(w->isVisible(), !setting.hidden) << setting.control;
    }
}

// Save keeps the user's own lines; the factory defaults change only the
// controls; a save that cannot write says so and leaves the file alone.
TEST_F(MainForm, Settings_SaveKeepsCommentsFactoryDefaultsLeaveTheFileAndAFailedSaveSaysSo) {
    ASSERT_TRUE(StartWith("; written by hand\r\n[Misc]\r\nMyOwnKey=7\r\nFocusSamples=9\r\n"));
    Find<QDoubleSpinBox>("DefaultGainSE")->setValue(1.5);
    Find<QDoubleSpinBox>("CompRateSE")->setValue(2.5);
    Find<QPushButton>("SaveSettingsButton")->click();
    EXPECT_TRUE(dialogs.Saw("Settings file has been updated with new parameters"));

    const std::string saved = folder.Read("Kessivane.ini");
    EXPECT_EQ(saved.rfind("; written by hand\r\n[Misc]\r\nMyOwnKey=7\r\nFocusSamples=9\r\n", 0), 0u) << saved;
    EXPECT_NE(saved.find("FocusGain=1.5\r\n"), std::string::npos);
    EXPECT_NE(saved.find("TempCompRate=2\r\n"), std::string::npos);
    const kv::Settings back = kv::ReadSettings(folder.File("Kessivane.ini"));
    EXPECT_DOUBLE_EQ(back.focusGain, 1.5);
    EXPECT_EQ(back.focusSamples, 9);

    Find<QSpinBox>("StopFactorSE")->setValue(33);
    Find<QPushButton>("FactoryDefaultsButton")->click();
    EXPECT_EQ(Find<QSpinBox>("StopFactorSE")->value(), 12);
    EXPECT_EQ(Find<TRadioGroup>("VoiceRG")->ItemIndex(), 2);  // "None"
    EXPECT_EQ(folder.Read("Kessivane.ini"), saved);

    dialogs.shown.clear();
    Find<QDoubleSpinBox>("DefaultGainSE")->setValue(2.0);
    {
        // Fails the write part-way even for root, as a full disk would.
        kv::test::FileSizeLimit limit(64);
        Find<QPushButton>("SaveSettingsButton")->click();
    }
    EXPECT_EQ(folder.Read("Kessivane.ini"), saved);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].type, kv::DialogType::Error);
    EXPECT_NE(dialogs.shown[0].text.find("Kessivane.ini"), std::string::npos) << dialogs.shown[0].text;
}

// The wheel and the arrow keys change the model without dropping the list
// down; values a model lacks are the catalogue's own tests.
TEST_F(MainForm, Catalogue_NoRestoresTheSettledModelHoweverItChangedAndYesSetsOnlyTheModelValues) {
    folder.Write("Focusers.ini", "[Focusers]\r\nDefault=1\r\nRoboFocus=1\r\n[RoboFocus]\r\nNudgeTime=0.03\r\n");
    AddSimCamera("sim_camera.so");
    AddSimCamera("sim_camera_twin.so");
    ASSERT_TRUE(Start());
    auto* cameras = Find<QComboBox>("CameraComboBox");
    ASSERT_EQ(cameras->count(), 2);
    ASSERT_EQ(cameras->itemText(0), cameras->itemText(1));
    cameras->setCurrentIndex(0);
    Find<QSpinBox>("WhiteLevelSE")->setValue(30000);
    auto* combo = Find<QComboBox>("FocuserComboBox");
    ASSERT_EQ(combo->currentIndex(), 0);  // "Default", from the factory file
    const auto choose = [&](int index, kv::DialogResult answer) {
        dialogs.answer = answer;
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    };

    choose(1, kv::DialogResult::No);
    EXPECT_EQ(combo->currentText(), "Default");
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(dialogs.shown.back().text, kv::kFocuserChangeQuestion);
    EXPECT_EQ(dialogs.shown.back().buttons, kv::DialogButtons::YesNo);
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("NudgeTimeSE")->value(), 0.015);
    Find<QPushButton>("SaveSettingsButton")->click();
    EXPECT_EQ(kv::ReadSettings(folder.File("Kessivane.ini")).focuser, "Default");

    choose(1, kv::DialogResult::Yes);
    EXPECT_DOUBLE_EQ(Find<QDoubleSpinBox>("NudgeTimeSE")->value(), 0.03);
    EXPECT_EQ(Find<QSpinBox>("StopFactorSE")->value(), 10);
    EXPECT_TRUE(Find<QWidget>("FocuserParametersGB")->isHidden());  // a ROBO name
    EXPECT_EQ(cameras->currentIndex(), 0);
    EXPECT_EQ(Find<QSpinBox>("WhiteLevelSE")->value(), 30000);

    choose(0, kv::DialogResult::No);  // back to the model just confirmed
    EXPECT_EQ(combo->currentText(), "RoboFocus");
}

TEST_F(MainForm, About_RefusedWhileContinuousFocusRunsAndItsLineComesFromTheHub) {
    AddSimCamera("sim_camera.so");
    ASSERT_TRUE(Start());
    int shown = 0;
    QString line;
    window->SetAboutShown([&](TSplashForm& about) {
        ++shown;
        line = about.findChild<QLabel*>("TCLabel")->text();
        // Closed once it runs modally: showing it may already process events,
        // and a box closed before its loop starts would never return.
        auto* closer = new QTimer(&about);
        const int level = QThread::currentThread()->loopLevel();
        QObject::connect(closer, &QTimer::timeout, &about, [&about, closer, level] {
            if (QThread::currentThread()->loopLevel() <= level) return;
            closer->deleteLater();
            about.accept();
        });
        closer->start(20);
    });
    Find<QPushButton>("AboutButton")->click();
    EXPECT_EQ(shown, 1);
    // The first start chose the simulated hub, which has a temperature unit.
    EXPECT_TRUE(line.startsWith("TC/Guider Firmware Version ")) << line.toStdString();

    kv::TCameraControl* camera = window->CameraControl();
    ASSERT_TRUE(camera->Initialized());
    camera->SetContinuousFocus(true);
    Find<QPushButton>("AboutButton")->click();
    EXPECT_EQ(shown, 1);
    camera->SetContinuousFocus(false);

    kv::test::ScriptedFocuser hub;
    ASSERT_TRUE(hub.Open());
    // The line asks the hub itself: availability, then the firmware.
    hub.script->Reply("KTR03YES!!");
    hub.script->Reply("KTR0102345");
    EXPECT_EQ(TMainForm::AboutTCText(&hub.focuser), "TC/Guider Firmware Version 2.3.45");
    EXPECT_EQ(TMainForm::AboutTCText(nullptr), "TC/Guider Unavailable");
}

// Lines from before the window and from workers arrive in order, the status
// bar gets its blank, the program log keeps 4048 lines and saves with line ends.
TEST_F(MainForm, Logs_ArriveInOrderKeep4048LinesAndSaveWithLineEnds) {
    kv::PostLogText("before the window", kv::kComLog);  // nobody listens yet
    ASSERT_TRUE(Start());
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->ComLogMemo()->Lines().contains("before the window"); }));
    window->LogMemo()->Clear();
    window->ComLogMemo()->Clear();

    std::thread worker([] {
        for (int i = 0; i < 300; ++i) kv::PostLogText(std::to_string(i), kv::kComLog);
    });
    worker.join();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->ComLogMemo()->LineCount() == 300; }));
    const QStringList lines = window->ComLogMemo()->Lines();
    for (int i = 0; i < 300; ++i) ASSERT_EQ(lines.value(i).toInt(), i);

    kv::ShowStatus("Scanning");
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->StatusPanelText(0).isEmpty(); }));
    EXPECT_EQ(window->StatusPanelText(0), "  Scanning");
    EXPECT_EQ(window->LogMemo()->Lines().value(0), "Scanning");

    // With the program log off, only the status bar hears of it.
    Find<QCheckBox>("ProgLogCB")->setChecked(false);
    kv::ShowStatus("Quietly");
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->StatusPanelText(0) == "  Quietly"; }));
    EXPECT_EQ(window->LogMemo()->LineCount(), 1);
    Find<QCheckBox>("ProgLogCB")->setChecked(true);

    window->DrainLog();
    window->LogMemo()->Clear();
    for (int i = 1; i <= 4049; ++i) kv::WriteProgramLog("line " + std::to_string(i));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->LogMemo()->Lines().value(4047) == "line 4049"; }));
    EXPECT_EQ(window->LogMemo()->LineCount(), 4048);
    EXPECT_EQ(window->LogMemo()->Lines().value(0), "line 2");

    // A bare name is saved with ".txt", and the overwrite question names that file.
    folder.Write("night.txt", "kept");
    window->SetSaveFileNameProvider([&] { return QString::fromStdString(folder.File("night")); });
    dialogs.shown.clear();
    dialogs.answer = kv::DialogResult::No;
    Find<QPushButton>("SaveLog")->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, folder.File("night.txt") + " already exists.\r\nDo you want to replace it?");
    EXPECT_EQ(folder.Read("night.txt"), "kept");
    dialogs.answer = kv::DialogResult::Yes;
    Find<QPushButton>("SaveLog")->click();
    const std::string saved = folder.Read("night.txt");
    EXPECT_EQ(saved.rfind("line 2\r\nline 3\r\n", 0), 0u);
    EXPECT_EQ(saved.size() - saved.rfind("line 4049\r\n"), std::string("line 4049\r\n").size());

    Find<QPushButton>("ClearLog")->click();
    EXPECT_EQ(window->LogMemo()->LineCount(), 0);

    // The view is the user's: written when they pick it, and read at the next start.
    auto* view = Find<QComboBox>("LogViewCombo");
    EXPECT_EQ(view->currentText(), "Everything");
    EXPECT_EQ(folder.Read(kv::kSettingsFileName).find(kv::kProgramLogViewKey), std::string::npos);
    view->setCurrentIndex(1);
    emit view->activated(1);
    EXPECT_NE(folder.Read(kv::kSettingsFileName).find("ProgramLogView=Results"), std::string::npos);
    window.reset();
    ASSERT_TRUE(Start());
    EXPECT_EQ(Find<QComboBox>("LogViewCombo")->currentText(), "Results");
    EXPECT_FALSE(window->LogMemo()->ShowsTrace());
}

TEST_F(MainForm, Close_RefusedWhileTheFocuserMovesAndSavesThePositionWhenIdle) {
    ASSERT_TRUE(Start());
    window->show();
    auto busy = std::make_unique<kvtest::BusyFocuser>(dialogs);
    kvtest::BusyFocuser* focuser = busy.get();
    window->SetFocusControl(std::move(busy));
    dialogs.shown.clear();

    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.Saw("Kessivane cannot shut down while the focuser is moving!"));
    EXPECT_EQ(dialogs.beeps, 1);
    EXPECT_EQ(focuser->stops, 1);
    EXPECT_EQ(focuser->cancels, 1);

    focuser->busy = false;
    window->move(40, 60);
    EXPECT_TRUE(window->close());
    const kv::Settings s = kv::ReadSettings(folder.File("Kessivane.ini"));
    EXPECT_EQ(s.left, window->x());
    EXPECT_EQ(s.top, window->y());
}

TEST_F(MainForm, Startup_TheCameraListShowsWhatThePluginScanFound) {
    AddSimCamera("sim_camera.so");
    std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "libkv_observatory.so",
                               folder.File("libkv_observatory.so"));
    ASSERT_TRUE(StartWith("[Device/Ports]\r\nCamera=Nothing Like It\r\n"));
    auto* cameras = Find<QComboBox>("CameraComboBox");
    ASSERT_EQ(cameras->count(), 1);
    ASSERT_EQ(window->Plugins().size(), 1u);
    EXPECT_EQ(cameras->itemText(0).toStdString(), window->Plugins().names[0]);
    EXPECT_EQ(cameras->currentIndex(), -1);  // a name no plug-in has selects nothing

    folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=" + window->Plugins().names[0] + "\r\n");
    Find<QPushButton>("RevertSavedButton")->click();
    EXPECT_EQ(cameras->currentIndex(), 0);
}

// The compensation settings follow their check boxes, and every value shown
// (camera name, slider scale, samples) is the one in use.
TEST_F(MainForm, Settings_CompensationControlsFollowTheirBoxesAndEveryShownValueIsTheOneInUse) {
    std::string text = kv::FactorySettingsText();
    text.replace(text.find("FocusSamples=5"), 14, "FocusSamples=25");
    text.replace(text.find("ExposureTimeDefault=1"), 21, "ExposureTimeDefault=3");
    AddSimCamera("sim_camera.so");
    ASSERT_TRUE(StartWith(text));
    auto* enable = Find<QCheckBox>("TCEnableCB");
    auto* ignore = Find<QCheckBox>("IgnoreCB");
    const char* const compensation[] = {"MinCorrectLabel", "MinCorrectSE", "IgnoreCB", "CompRateLabel", "CompRateSE",
                                        "DefCoefLabel", "DefCoefSE", "TempUpdateLabel", "TempUpdateSE"};
    for (bool on : {true, false}) {
        enable->click();
        ASSERT_EQ(enable->isChecked(), on);
        for (const char* name : compensation) EXPECT_EQ(Find<QWidget>(name)->isEnabled(), on) << name;
        EXPECT_FALSE(Find<QWidget>("IgnoreSE")->isEnabled());
    }
    enable->click();
    ignore->click();
    EXPECT_TRUE(Find<QWidget>("IgnoreSE")->isEnabled());
    enable->click();
    EXPECT_FALSE(Find<QWidget>("IgnoreSE")->isEnabled());

    EXPECT_EQ(Find<QLabel>("CameraLabel")->text(), "Simulated CCD");
    EXPECT_EQ(Find<QLabel>("Label20")->text(), "1.5");
    EXPECT_EQ(Find<QLabel>("Label21")->text(), "3.0");
    // A stored 25 is more than the panel holds: both show the value in use.
    EXPECT_EQ(Find<QSpinBox>("FocusSamplesSE")->value(), 20);
    EXPECT_EQ(Find<QSpinBox>("FocusSamples")->value(), 20);
    EXPECT_EQ(Find<QSpinBox>("FocusSamplesSE")->maximum(), Find<QSpinBox>("FocusSamples")->maximum());
}

// A serial adapter plugged in while the program runs shows when the tab shows
// again; choosing it maps the COM port to it, and the update opens it.
TEST_F(MainForm, Ports_AnAdapterPluggedInShowsChoosingItMapsThePortAndTheUpdateOpensIt) {
    namespace fs = std::filesystem;
    ASSERT_TRUE(Start());
    const std::string before = folder.Read("Kessivane.ini");
    kv::test::TempDir dev;
    const fs::path byId = dev.Path() / "serial" / "by-id";
    fs::create_directories(byId);
    window->SettingsPage()->SetSerialRoots({dev.Path().string(), (dev.Path() / "sys").string()});
    window->show();
    window->PageControl()->setCurrentIndex(TMainForm::StatusSettings);
    window->SettingsPages()->setCurrentIndex(TMainForm::DevicePortsTab);
    auto* devices = Find<QComboBox>("PortDeviceCombo");
    const QString adapter = QString::fromStdString((byId / "usb-Test_Focuser_Cable-if00-port0").string());
    EXPECT_EQ(devices->findData(adapter), -1);

    kv::test::Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    fs::create_symlink(pty.Path(), adapter.toStdString());
    window->SettingsPages()->setCurrentIndex(TMainForm::CameraControlTab);
    window->SettingsPages()->setCurrentIndex(TMainForm::DevicePortsTab);
    Find<TRadioGroup>("ComPortRG")->SetItemIndex(2);
    EXPECT_EQ(Find<QLabel>("PortDeviceLabel")->text(), "Device for COM3:");
    EXPECT_EQ(devices->currentData().toString().toStdString(), "sim:hub");  // what COM3 opens, not /dev/ttyS2
    const int index = devices->findData(adapter);
    ASSERT_GE(index, 0);
    EXPECT_EQ(folder.Read("Kessivane.ini"), before);  // looking writes nothing
    emit devices->activated(index);
    EXPECT_EQ(folder.Read("Kessivane.ini"), before + "\r\n[Ports]\r\nCOM3=" + adapter.toStdString() + "\r\n");
    EXPECT_EQ(devices->currentData().toString().toStdString(), adapter.toStdString());
    EXPECT_EQ(Find<QLabel>("PortDeviceNote")->text().toStdString(), "COM3 opens " + adapter.toStdString() + ".");

    // A device server's address is typed in.
    devices->lineEdit()->setText("indi://example:7000/Focuser");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(devices->lineEdit(), &enter);
    EXPECT_EQ(folder.Read("Kessivane.ini"), before + "\r\n[Ports]\r\nCOM3=indi://example:7000/Focuser\r\n");
    emit devices->activated(devices->findData(adapter));

    // A focuser answers on the other side of the cable.
    auto* focusers = Find<QComboBox>("FocuserComboBox");
    focusers->setCurrentIndex(focusers->findText("RoboFocus"));
    kvsim::RoboFocusDevice focuser;
    kvsim::FdDeviceServer server(pty.Master(), focuser);
    Find<QPushButton>("UpdatePgmParametersButton")->click();
    EXPECT_TRUE(dialogs.Saw("Parameters have been updated")) << dialogs.shown.back().text;
    EXPECT_TRUE(window->State().portOpen);
    EXPECT_EQ(window->FocusControl()->ComPort(), 3);
    EXPECT_NE(focuser.Received(), "");  // this one, not the simulator --simulate puts on every port
    EXPECT_FALSE(Find<QWidget>("ParPortRG")->isEnabled());
}
