// The image side of the real main window on the simulated camera: picking a
// star, focus frames, the ROI outline, stretch and a long exposure beside a move.
#include <QAction>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTimer>
#include <fitsio.h>
#include <cstdlib>

#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app/picture_view.h"
#include "app/radio_group.h"
#include "app_test_support.h"
#include "camera/display_rules.h"
#include "camera/field_figure.h"
#include "shell/ini_file.h"

using kvtest::ProcessEventsUntil;

namespace {

constexpr QPoint kStar{382, 255};  // the simulated sky's bright star
constexpr QRgb kSilver = 0xC0C0C0;

// An environment variable set for one test; the old value comes back after it.
class EnvFor {
public:
    EnvFor(const char* name, const std::string& value) : name_(name), had_(std::getenv(name) != nullptr) {
        if (had_) old_ = std::getenv(name);
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvFor() { had_ ? ::setenv(name_, old_.c_str(), 1) : ::unsetenv(name_); }
    EnvFor(const EnvFor&) = delete;
    EnvFor& operator=(const EnvFor&) = delete;

private:
    const char* name_;
    bool had_;
    std::string old_;
};

class ImageDisplay : public kvtest::WindowTest {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        AddSimCamera();
        Start();
    }
    void TearDown() override { window.reset(); }
    // A first start under --simulate picks the simulated camera and hub itself.
    void Start() {
        window.reset();
        ASSERT_TRUE(Open());
        ASSERT_TRUE(window->State().cameraReady);
        window->show();
        camera = window->CameraControl();
        view = window->ExposurePage()->ImageDisplay();
        Find<QSlider>("ExposureMS")->setValue(100);
    }
    static void Mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button = Qt::NoButton) {
        QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button,
                      type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
    // Pixels of `picture` on the outline of `r` that are not silver.
    static int NotSilverOnOutline(const QImage& picture, QRect r) {
        int other = 0;
        for (int x = r.left(); x <= r.right(); ++x) {
            for (int y = r.top(); y <= r.bottom(); ++y) {
                const bool edge = x == r.left() || x == r.right() || y == r.top() || y == r.bottom();
                other += edge && !(picture.valid(x, y) && (picture.pixel(x, y) & 0xFFFFFF) == kSilver);
            }
        }
        return other;
    }

    kv::TCameraControl* camera = nullptr;
    TPictureView* view = nullptr;
};

TEST_F(ImageDisplay, StarSelection_OnlyAfterGetImageAndOnlyWhereAFocusFrameFits_AndTheStretchSliders) {
    ASSERT_EQ(view->size(), QSize(765, 510));  // 1:1 with the simulated sensor
    Mouse(view, QEvent::MouseMove, kStar);
    Mouse(view, QEvent::MouseButtonPress, kStar, Qt::LeftButton);
    EXPECT_FALSE(window->State().starSelected);
    EXPECT_TRUE(window->StatusPanelText(1).isEmpty());
    EXPECT_TRUE(window->StatusPanelText(2).isEmpty());

    GetImage();
    kv::TImageObject* image = camera->MainImage();
    // The 100-pixel focus frame keeps a 50-pixel margin; within 20 of an edge
    // the stretch levels take the place of the pointer text.
    Mouse(view, QEvent::MouseMove, {40, 255});
    EXPECT_EQ(window->StatusPanelText(1).toStdString(), kv::PointerText(40, 255, image->Pixel(40, 255), true));
    Mouse(view, QEvent::MouseMove, {3, 255});
    EXPECT_EQ(window->StatusPanelText(1).toStdString(), kv::StretchText(image->AutoBlack(), image->AutoWhite()));
    Mouse(view, QEvent::MouseButtonPress, {3, 255}, Qt::LeftButton);
    EXPECT_FALSE(window->State().starSelected);
    EXPECT_FALSE(Find<QWidget>("GetFocusImageButton2")->isEnabled());

    Mouse(view, QEvent::MouseMove, kStar);
    EXPECT_EQ(window->StatusPanelText(1).toStdString(), kv::PointerText(382, 255, image->Pixel(382, 255), false));
    Mouse(view, QEvent::MouseButtonPress, kStar, Qt::MiddleButton);
    EXPECT_TRUE(window->State().starSelected);
    EXPECT_EQ(QPoint(camera->FocusX(), camera->FocusY()), kStar);
    EXPECT_EQ(window->StatusPanelText(2).toStdString(), kv::SelectedText(382, 255, image->Pixel(382, 255)));
    for (const char* name : {"GetFocusImageButton2", "MoveLeftSB", "MoveDownSB"}) {
        EXPECT_TRUE(Find<QWidget>(name)->isEnabled()) << name;
    }
    Find<QAbstractButton>("MoveLeftSB")->click();
    Find<QAbstractButton>("MoveDownSB")->click();
    EXPECT_EQ(QPoint(camera->FocusX(), camera->FocusY()), QPoint(381, 256));
    EXPECT_EQ(window->StatusPanelText(2), " Focus Star - X: 381  Y: 256");

    // A level slider applies only every line size of travel.
    auto* black = Find<QSlider>("ImageMinTB");
    EXPECT_FALSE(black->isEnabled());  // "Auto" from the factory settings
    Find<TRadioGroup>("ImageStretchRG")->SetItemIndex(1);
    ASSERT_TRUE(black->isEnabled());
    const int start = black->value();
    EXPECT_EQ(image->Black(), start);

    black->setValue(start + 50);
    EXPECT_EQ(image->Black(), start);
    black->setValue(start + 100);
    EXPECT_EQ(image->Black(), start + 100);
    black->setValue(start + 150);  // 50 from the last applied position
    EXPECT_EQ(image->Black(), start + 100);
    EXPECT_EQ(window->StatusPanelText(1).toStdString(), kv::StretchText(image->AutoBlack(), image->AutoWhite()));
}

TEST_F(ImageDisplay, FocusFrame_FillsTheReadOutsAndTheRoiShowsOnTheFocusFrameOnlyUnmagnified) {
    GetImage();
    Mouse(view, QEvent::MouseButtonPress, kStar, Qt::LeftButton);
    ASSERT_TRUE(camera->ROIOn());  // the factory settings
    auto* fwhm = Find<QLineEdit>("FWHMEdit");
    auto* focusView = window->FocusPanel()->FocusDisplay();
    ASSERT_EQ(focusView->size(), QSize(100, 100));
    ASSERT_EQ(focusView->parentWidget()->size(), QSize(102, 102));
    const auto focusFrame = [&] {
        window->FocusPanel()->ClearFocusReadings();
        Find<QAbstractButton>("GetFocusImageButton2")->click();
        return ProcessEventsUntil([&] { return !fwhm->text().isEmpty(); }, 20000);
    };

    ASSERT_TRUE(focusFrame());
    const kv::FocusReading r = camera->Reading();
    EXPECT_GT(r.Peak, 0);

    // The right button saves the focus frame; a FITS name keeps its own pixels and figures,
    // and the position the frame was exposed at, though the focuser has moved since.
    const std::int32_t exposedAt = window->FocusControl()->CTSCount();
    window->FocusControl()->MoveBy(50);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->GetIdle() && window->FocusControl()->CTSCount() != exposedAt; }));
    window->SetSaveFileNameProvider([&] { return QString::fromStdString(folder.File("star.fits")); });
    Mouse(focusView, QEvent::MouseButtonPress, {50, 50}, Qt::RightButton);
    fitsfile* f = nullptr;
    int status = 0, anyNull = 0;
    long dims[2] = {0, 0}, position = 0;
    double fwhmKey = 0;
    std::vector<std::uint16_t> saved(100 * 100);
    fits_open_diskfile(&f, folder.File("star.fits").c_str(), READONLY, &status);
    fits_get_img_size(f, 2, dims, &status);
    fits_read_img(f, TUSHORT, 1, 100 * 100, nullptr, saved.data(), &anyNull, &status);
    fits_read_key(f, TDOUBLE, "FWHM", &fwhmKey, nullptr, &status);
    fits_read_key(f, TLONG, "FOCUSPOS", &position, nullptr, &status);
    if (f != nullptr) fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(std::vector<long>(dims, dims + 2), (std::vector<long>{100, 100}));
    const std::uint16_t* own = camera->FocusImage()->Pixels();
    EXPECT_EQ(saved, std::vector<std::uint16_t>(own, own + 100 * 100));
    EXPECT_NEAR(fwhmKey, r.FWHM, 1e-4);
    EXPECT_EQ(position, exposedAt);
    EXPECT_EQ(fwhm->text(), QString::asprintf("%3.4f", r.FWHM));
    EXPECT_EQ(Find<QLineEdit>("HFDEdit")->text(), QString::asprintf("%3.4f", r.HFD));
    EXPECT_EQ(Find<QLineEdit>("PeakEdit")->text(), QString::number(r.Peak));
    EXPECT_EQ(Find<QLineEdit>("FOMEdit")->text(), QString::asprintf("%3.4f", r.FWHM));  // FWHM is the figure

    // ROI 40 around the frame's centre and around the star; the outline runs
    // up to, not including, the far corner.
    const QRect focusRoi(QPoint(30, 30), QPoint(69, 69));
    const QRect imageRoi(QPoint(362, 235), QPoint(401, 274));
    EXPECT_EQ(NotSilverOnOutline(focusView->Picture(), focusRoi), 0);
    EXPECT_EQ(NotSilverOnOutline(view->Picture(), imageRoi), 0);

    Find<QSlider>("Magnification")->setValue(2);
    ASSERT_TRUE(focusFrame());
    EXPECT_FALSE(focusView->Overlay().has_value());
    EXPECT_EQ(NotSilverOnOutline(view->Picture(), imageRoi), 0);

    // "Field Median": kept the moment it is chosen and not before; the figure
    // is then the median over the image's stars, and its caption counts them.
    EXPECT_EQ(folder.Read("Kessivane.ini").find("[FocusFigure]"), std::string::npos);
    window->FocusPanel()->findChild<QAction*>(QStringLiteral("FieldMedian1"))->trigger();
    EXPECT_NE(folder.Read("Kessivane.ini").find("[FocusFigure]\r\nFieldMedian=1\r\n"), std::string::npos);
    ASSERT_TRUE(focusFrame());
    const kv::FocusReading field = camera->Reading();
    EXPECT_GE(field.stars, kv::kMinFieldStars);
    EXPECT_EQ(Find<QLabel>("FOMLabel")->text(), QStringLiteral("FWHM  %1 stars").arg(field.stars));
    EXPECT_EQ(Find<QLineEdit>("FOMEdit")->text(), QString::asprintf("%3.4f", field.FWHM));
}

TEST_F(ImageDisplay, GetImage_ALongExposureAndAMoveRunOnTheirThreadsAndTheButtonComesBackAfterTheDownload) {
    // A default of 4 s lets the exposure slider reach 4000 ms.
    Find<QDoubleSpinBox>("ExposureTimeDefaultSE")->setValue(4.0);
    window->UpdatePgmParameters(false);
    auto* exposure = Find<QSlider>("ExposureMS");
    exposure->setValue(2000);
    ASSERT_EQ(exposure->value(), 2000);
    auto* get = Find<QAbstractButton>("GetImageButton");
    get->click();
    // The exposure runs on its thread and the window handles events while it
    // and a move run (the image first: Get Image refuses while the focuser moves).
    EXPECT_FALSE(camera->Idle());
    EXPECT_FALSE(get->isEnabled());
    kv::TFocusControl* focuser = window->FocusControl();
    focuser->MoveBy(2000);
    bool fired = false, busyWhenTimerFired = false;
    QTimer::singleShot(50, window->centralWidget(), [&] {
        fired = true;
        busyWhenTimerFired = !camera->Idle() && !focuser->GetIdle();
    });
    EXPECT_TRUE(ProcessEventsUntil([&] { return fired; }, 1000));
    EXPECT_TRUE(busyWhenTimerFired);
    focuser->CancelMovement();
    EXPECT_TRUE(ProcessEventsUntil([&] { return focuser->GetIdle(); }, 20000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->StatusPanelText(0).startsWith(" Image: Min="); }, 20000));
    // The download estimate (exposure plus the camera's 200 ms) brings the button back.
    ASSERT_TRUE(ProcessEventsUntil([&] { return get->isEnabled(); }, 20000));
    EXPECT_EQ(Find<QProgressBar>("DNProgress")->value(), 0);
}

// Saving starts in the pictures folder, then where the last picture went (also
// after a restart), offers FITS first, and names the file written or what failed.
TEST_F(ImageDisplay, SaveImage_StartsWhereTheLastPictureWentOffersFitsFirstAndSaysWhereItWent) {
    kv::test::TempDir home;
    const std::filesystem::path pictures = home.Path() / "Pictures", night = home.Path() / "night";
    std::filesystem::create_directories(pictures);
    std::filesystem::create_directories(night);
    const EnvFor homeIs("HOME", home.Path().string());
    const EnvFor noUserDirs("XDG_CONFIG_HOME", home.File("config"));
    const std::string factory = folder.Read("Kessivane.ini");
    GetImage();
    struct Asked {
        QString filter, suffix, folder;
    };
    std::vector<Asked> asked;
    QString answer;
    window->SetSaveFileNameProvider([&](const QString&, const QString& filter, const QString& suffix, const QString& start) {
        asked.push_back({filter, suffix, start});
        return answer;
    });
    const auto save = [&](const std::filesystem::path& name) {
        answer = QString::fromStdString(name.string());
        window->SetStatusPanel(0, QString());
        dialogs.shown.clear();
        Mouse(view, QEvent::MouseButtonPress, kStar, Qt::RightButton);
    };
    const auto keptFolder = [&] { return kv::IniFile::Load(folder.File("Kessivane.ini")).GetString("Misc", "PictureFolder", ""); };

    save({});  // cancelled: nothing written, nothing said
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].folder.toStdString(), pictures.string());
    EXPECT_EQ(asked[0].filter, "FITS Files (*.fits *.fit *.fts);;Bitmap Files (*.bmp)");
    EXPECT_EQ(asked[0].suffix, "fits");
    EXPECT_EQ(folder.Read("Kessivane.ini"), factory);
    EXPECT_TRUE(window->StatusPanelText(0).isEmpty());

    save(night / "m31");  // a bare name is a FITS file
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(std::filesystem::exists(night / "m31.fits"));
    EXPECT_EQ(window->StatusPanelText(0).toStdString(), " Image saved to " + (night / "m31.fits").string());
    EXPECT_EQ(keptFolder(), night.string());
    const std::string remembered = folder.Read("Kessivane.ini");

    save(night / "m31.bmp");
    EXPECT_EQ(asked.back().folder.toStdString(), night.string());
    EXPECT_EQ(QImage(QString::fromStdString((night / "m31.bmp").string())).size(), QSize(765, 510));
    EXPECT_EQ(window->StatusPanelText(0).toStdString(), " Image saved to " + (night / "m31.bmp").string());
    EXPECT_EQ(folder.Read("Kessivane.ini"), remembered);  // the same folder is not written again

    // A folder that is not there: said with the path and the reason, as a bitmap or a FITS file.
    for (const auto& [name, says] : {std::pair(home.Path() / "gone" / "m31.bmp", "The picture could not be saved to "),
                                     std::pair(home.Path() / "gone" / "m31.fits", "Could not write the FITS image ")}) {
        save(name);
        ASSERT_EQ(dialogs.shown.size(), 1u) << name;
        const std::string prefix = says + name.string() + ": ";
        EXPECT_EQ(dialogs.shown[0].text.rfind(prefix, 0), 0u) << dialogs.shown[0].text;
        EXPECT_GT(dialogs.shown[0].text.size(), prefix.size()) << "no reason given";
        EXPECT_EQ(dialogs.shown[0].type, kv::DialogType::Error);
        EXPECT_TRUE(window->StatusPanelText(0).isEmpty());
    }
    EXPECT_EQ(keptFolder(), night.string());

    // The next start opens the file dialog itself there, FITS chosen.
    ASSERT_NO_FATAL_FAILURE(Start());
    GetImage();
    window->SetSaveFileNameProvider(TMainForm::SaveFileNameProvider{});
    QString opened, chosen;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            opened = dialog->directory().absolutePath();
            chosen = dialog->selectedNameFilter();
            dialog->reject();
        }
    });
    Mouse(view, QEvent::MouseButtonPress, kStar, Qt::RightButton);
    EXPECT_EQ(opened.toStdString(), night.string());
    EXPECT_EQ(chosen, "FITS Files (*.fits *.fit *.fts)");
}

}  // namespace
