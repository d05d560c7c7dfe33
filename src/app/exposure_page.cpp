#include "app/exposure_page.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QBitmap>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QResizeEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <utility>

#include "app/focus_panel.h"
#include "app/focus_zoom.h"
#include "app/image_view_helpers.h"
#include "app/page_context.h"
#include "app/picture_view.h"
#include "app/radio_group.h"
#include "camera/camera_control.h"
#include "focuser/focus_control.h"
#include "camera/image_object.h"
#include "focusing/focus_frames.h"
#include "shell/log_channel.h"
#include "widgets/lum_lite.h"

namespace {

constexpr int kLevelPageSize = 500;
constexpr int kProgressDonePauseMs = 200;
// A find that ends sooner shows nothing: the status bar would only flicker.
constexpr int kFindBusyTickMs = 250;
constexpr const char* kFindNewImageText = "The star search was cancelled: a new image is coming in. Search again on it";
constexpr const char* kFindCameraGoneText = "The star search was cancelled: the camera's images were let go";
using kv::StretchAuto;
using kv::StretchManual;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A ring with a cross whose arms stop short of the centre, so the star under
// the hot spot stays visible. Drawn twice (black under white) to show on any sky.
QCursor TargetCursor() {
    constexpr int kSize = 32;
    constexpr int c = kSize / 2;
    // Drawn at the screen's pixel density, so it stays sharp on a scaled desktop.
    const qreal dpr = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(kSize, kSize) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    for (const auto& [colour, width] : {std::pair{QColor(Qt::black), 3}, std::pair{QColor(Qt::white), 1}}) {
        p.setPen(QPen(colour, width));
        p.drawEllipse(QPoint(c, c), 9, 9);
        p.drawLine(c, 1, c, c - 4);
        p.drawLine(c, c + 4, c, kSize - 2);
        p.drawLine(1, c, c - 4, c);
        p.drawLine(c + 4, c, kSize - 2, c);
    }
    p.end();
    return QCursor(pixmap, c, c);
}

}  // namespace

TExposurePage::TExposurePage(TPageContext& form, QWidget* parent)
    : QWidget(parent), form_(form), minFilter_(kv::kStretchLevelLineSize, 100), maxFilter_(kv::kStretchLevelLineSize, 65535) {
    setObjectName(QStringLiteral("ExposureControl"));

    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("ImageScrollBox"));
    scroll_->setGeometry(6, 6, 540, 382);
    scroll_->setBackgroundRole(QPalette::Dark);
    scroll_->setWidgetResizable(false);
    scrollContent_ = new QWidget;
    scrollContent_->setObjectName(QStringLiteral("ImageScrollContent"));
    imagePanel_ = new QFrame(scrollContent_);
    imagePanel_->setObjectName(QStringLiteral("ImageDisplayPanel"));
    imagePanel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    imagePanel_->setLineWidth(1);
    imageDisplay_ = new TPictureView(imagePanel_);
    imageDisplay_->setObjectName(QStringLiteral("ImageDisplay"));
    scroll_->setWidget(scrollContent_);

    getImage_ = new QPushButton(QStringLiteral("Get Image"), this);
    getImage_->setObjectName(QStringLiteral("GetImageButton"));
    getImage_->setGeometry(6, 394, 64, 26);
    getImage_->setEnabled(false);
    // Beside Get Image: the next thing to do once the image is in.
    pickStar_ = new QPushButton(QStringLiteral("Pick Star"), this);
    pickStar_->setObjectName(QStringLiteral("PickStarButton"));
    pickStar_->setToolTip(QStringLiteral("Select the best star for focusing (P)"));
    pickStar_->setGeometry(72, 394, 64, 26);
    auto* update = new QPushButton(QStringLiteral("Show Again"), this);
    update->setObjectName(QStringLiteral("ImageUPdateButton"));
    update->setToolTip(QStringLiteral("Show the main image again"));
    update->setGeometry(138, 394, 74, 26);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("DNProgress"));
    progress_->setGeometry(6, 426, 206, 14);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    downLoadTimer_ = new QTimer(this);
    downLoadTimer_->setObjectName(QStringLiteral("DownLoadTimer"));
    findBusyTimer_ = new QTimer(this);
    findBusyTimer_->setObjectName(QStringLiteral("FindBusyTimer"));
    findBusyTimer_->setInterval(kFindBusyTickMs);

    stretch_ = new TRadioGroup(QStringLiteral("Image Stretch"), {"None", "Manual", "Auto"}, 3, this);
    stretch_->setObjectName(QStringLiteral("ImageStretchRG"));
    stretch_->setGeometry(6, 444, 206, 46);
    stretch_->SetItemIndex(StretchAuto);
    stretch_->setToolTip(QStringLiteral("How the image is stretched for display"));

    const struct {
        const char* name;
        const char* label;
        const char* caption;
        int min, max, value;
        QLabel** labelOut;
        QSlider** sliderOut;
        const char* tip;
    } sliders[] = {{"ImageMinTB", "ImageMinLabel", "Black", 10, 65535, 100, &minLabel_, &minTB_,
                    "Camera counts shown as black by a manual stretch (10-65535)"},
                   {"ImageMaxTB", "ImageMaxLabel", "White", 100, 65535, 65535, &maxLabel_, &maxTB_,
                    "Camera counts shown as white by a manual stretch (100-65535)"},
                   {"ImageGammaTB", "GammaLabel", "Gamma = 1.0", 1, 30, 10, &gammaLabel_, &gammaTB_,
                    "Display gamma: lifts or lowers the faint parts of the image (0.1-3.0)"}};
    int y = 394;
    for (const auto& s : sliders) {
        auto* label = new QLabel(QString::fromLatin1(s.caption), this);
        label->setObjectName(QString::fromLatin1(s.label));
        label->setGeometry(222, y, 92, 24);
        auto* tb = new QSlider(Qt::Horizontal, this);
        tb->setObjectName(QString::fromLatin1(s.name));
        tb->setRange(s.min, s.max);
        tb->setValue(s.value);
        tb->setToolTip(QString::fromLatin1(s.tip));
        tb->setGeometry(314, y, 146, 24);
        *s.labelOut = label;
        *s.sliderOut = tb;
        y += 32;
    }
    for (QSlider* tb : {minTB_, maxTB_}) {
        tb->setSingleStep(kv::kStretchLevelLineSize);
        tb->setPageStep(kLevelPageSize);
    }

    // The arrows nudge the selected star by one pixel.
    const struct {
        const char* name;
        Qt::ArrowType arrow;
        int x, y, dx, dy;
    } arrows[] = {{"MoveUpSB", Qt::UpArrow, 496, 394, 0, -1},
                  {"MoveLeftSB", Qt::LeftArrow, 472, 420, -1, 0},
                  {"MoveRightSB", Qt::RightArrow, 520, 420, 1, 0},
                  {"MoveDownSB", Qt::DownArrow, 496, 446, 0, 1}};
    for (const auto& a : arrows) {
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(a.name));
        b->setArrowType(a.arrow);
        b->setGeometry(a.x, a.y, 24, 24);
        b->setEnabled(false);
        b->setAutoRepeat(true);
        const int dx = a.dx;
        const int dy = a.dy;
        connect(b, &QToolButton::clicked, this, [this, dx, dy] { MoveStar(dx, dy); });
    }
    auto* arrowsCaption = new QLabel(QStringLiteral("Move Star"), this);
    arrowsCaption->setAlignment(Qt::AlignCenter);
    arrowsCaption->setGeometry(466, 470, 84, 18);

    scrollDesign_ = scroll_->geometry();
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w != scroll_ && w->geometry().top() > scrollDesign_.bottom()) belowPicture_.emplace_back(w, w->geometry());
    }

    // The enable rules for the choice the page opens with.
    const bool manual = stretch_->ItemIndex() == StretchManual;
    for (QWidget* w : {static_cast<QWidget*>(minTB_), static_cast<QWidget*>(maxTB_), static_cast<QWidget*>(minLabel_),
                       static_cast<QWidget*>(maxLabel_)}) {
        w->setEnabled(manual);
    }

    connect(getImage_, &QPushButton::clicked, this, &TExposurePage::GetImageButtonClick);
    connect(pickStar_, &QPushButton::clicked, this, &TExposurePage::PickStarClick);
    connect(update, &QPushButton::clicked, this, [this] { PutImage(MainImage(), imageDisplay_); });
    connect(downLoadTimer_, &QTimer::timeout, this, &TExposurePage::DownLoadTimerTick);
    connect(findBusyTimer_, &QTimer::timeout, this, &TExposurePage::ShowFindBusy);
    connect(stretch_, &TRadioGroup::itemIndexChanged, this, &TExposurePage::ImageStretchRGClick);
    for (QSlider* tb : {minTB_, maxTB_, gammaTB_}) {
        connect(tb, &QSlider::valueChanged, this, [this, tb] { ImageLevelChanged(tb); });
    }
    connect(imageDisplay_, &TPictureView::mouseMoved, this, &TExposurePage::ImagePointerMoved);
    connect(imageDisplay_, &TPictureView::mousePressed, this, &TExposurePage::ImageMousePressed);
}

// ---------------------------------------------------------------- camera

void TExposurePage::AttachCamera(kv::TCameraControl* camera) {
    // Posted with this page as the context: a post that arrives after the
    // page is gone is dropped, and the handler looks the images up afresh.
    camera->SetOnBusyChange([this](kv::TCameraControl&, bool idle) {
        QMetaObject::invokeMethod(
            this, [this, idle] { form_.FocusPanel()->CameraBusyLight()->SetLit(!idle); }, Qt::QueuedConnection);
    });
    camera->SetOnImageReady([this](kv::TCameraControl&) {
        QMetaObject::invokeMethod(this, &TExposurePage::OnImageReady, Qt::QueuedConnection);
    });
    camera->SetOnFocusImageReady([this](kv::TCameraControl&) {
        QMetaObject::invokeMethod(this, &TExposurePage::OnFocusImageReady, Qt::QueuedConnection);
    });
}

void TExposurePage::PlaceImagePanel() {
    const QSize panel = imagePanel_->size();
    const QSize box = scroll_->size();
    const int left = kv::CenteredOffset(panel.width(), box.width());
    const int top = kv::CenteredOffset(panel.height(), box.height());
    imagePanel_->move(left, top);
    const QSize viewport = scroll_->maximumViewportSize();
    scrollContent_->resize(std::max(left + panel.width() + 1, viewport.width()),
                           std::max(top + panel.height() + 1, viewport.height()));
}

void TExposurePage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Measured against the window: every page is this much larger than at
    // the least window size, whichever page was shown when it grew.
    const int dw = std::max(0, form_.Window().width() - TPageContext::kClientWidth);
    const int dh = std::max(0, form_.Window().height() - TPageContext::kClientHeight);
    scroll_->setGeometry(scrollDesign_.adjusted(0, 0, dw, dh));
    for (const auto& [w, design] : belowPicture_) w->move(design.topLeft() + QPoint(0, dh));
    PlaceImagePanel();
}

void TExposurePage::CameraReconfigured(const kv::CameraInfo& info) {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;

    // ImageDisplay is 1:1 with the main image inside a one-pixel bevel.
    const QSize panel(info.HorizRes + 2, info.VertRes + 2);
    imagePanel_->setFixedSize(panel);
    imageDisplay_->setGeometry(1, 1, info.HorizRes, info.VertRes);
    PlaceImagePanel();
    form_.FocusPanel()->SetFocusFrameSize(info.HorizFocusFrame, info.VertFocusFrame);

    kv::TImageObject* main = camera->MainImage();
    kv::TImageObject* focus = camera->FocusImage();
    imageDisplay_->SetSource(main);
    form_.FocusPanel()->SetFocusImage(focus);
    if (main != nullptr) main->Clear();
    if (focus != nullptr) focus->Clear();
    PutImage(main, imageDisplay_);
    form_.FocusPanel()->ApplyControlsToCamera();
    form_.FocusPanel()->PutFocusImage();

    minFilter_.Reset(minTB_->value());
    maxFilter_.Reset(maxTB_->value());
    form_.FocusPanel()->ResetLevelFilters();
    ImageStretchRGClick();
    form_.FocusPanel()->FocusStretchRGClick();
}

void TExposurePage::DetachImages() {
    CancelFindStars(QString::fromLatin1(kFindCameraGoneText));
    imageDisplay_->SetSource(nullptr);
    imageDisplay_->SetOverlay(std::nullopt);
    form_.FocusPanel()->SetFocusImage(nullptr);
}

kv::TImageObject* TExposurePage::MainImage() const {
    kv::TCameraControl* camera = form_.CameraControl();
    return camera != nullptr ? camera->MainImage() : nullptr;
}

void TExposurePage::OnImageReady() {
    kv::TImageObject* image = MainImage();
    if (image == nullptr) return;
    // A frame that came without Get Image (a script's, say): the stars
    // would be chosen on a picture no longer shown.
    CancelFindStars(QString::fromLatin1(kFindNewImageText));
    PutImage(image, imageDisplay_);
    const int min = image->Min();
    const int max = image->Max();
    const double avg = image->Avg();
    form_.SetStatusPanel(0, Q(kv::ImageStatsText(min, max, avg)));
    form_.SetStatusPanel(1, Q(kv::StretchText(image->AutoBlack(), image->AutoWhite())));
    emit imageShown();
}

void TExposurePage::OnFocusImageReady() {
    TFocusPanel* panel = form_.FocusPanel();
    panel->PutFocusImage();
    panel->ShowFocusReadings();
    DrawRoi();
    emit focusFrameShown();
}

void TExposurePage::DrawRoi() {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    TFocusPanel* panel = form_.FocusPanel();
    PutImage(camera->FocusImage(), panel->FocusDisplay());
    if (form_.PageControl()->currentIndex() == TPageContext::ExposureControl) PutImage(camera->MainImage(), imageDisplay_);
    if (!camera->ROIOn()) {
        imageDisplay_->SetOverlay(std::nullopt);
        return;
    }
    const kv::CameraInfo info = camera->CameraData();
    const int roi = camera->ROISize();
    // The outline covers the pixels from the first corner up to, not
    // including, the second.
    auto outline = [](const kv::PixelRect& r) { return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)); };
    kv::TImageObject* focus = camera->FocusImage();
    if (focus != nullptr && kv::FocusRoiShown(focus->Magnification())) {
        panel->FocusDisplay()->SetOverlay(outline(kv::FocusRoiRect(info.HorizFocusFrame, info.VertFocusFrame, roi)));
    }
    if (camera->MainImage() != nullptr) {
        imageDisplay_->SetOverlay(
            outline(kv::ImageRoiRect(camera->FocusX(), camera->FocusY(), roi, info.XBinning, info.YBinning)));
    }
}

// ---------------------------------------------------------------- Get Image

void TExposurePage::GetImageButtonClick() {
    kv::WriteProgramLog("Get Image button clicked", kv::LogKind::Trace);
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser != nullptr && !focuser->GetIdle()) {
        kv::WriteProgramLog("Focus Control is not idle... exiting");
        return;
    }
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    form_.StopContinuousFocus();
    if (auto* cont = form_.Window().findChild<QWidget*>(QStringLiteral("ContFocus"))) cont->setEnabled(false);
    getImage_->setEnabled(false);
    form_.State().imageTaken = false;
    form_.SetStarSelected(false);
    for (int i = 0; i < 3; ++i) form_.SetStatusPanel(i, QString());
    // Its stars would be chosen on a picture about to be replaced.
    CancelFindStars(QString::fromLatin1(kFindNewImageText));

    camera->QueryCameraData();
    if (!camera->Initialized()) {
        // The user gave up on the camera's answer: it is not exposed any more.
        form_.ShowCameraState();
        form_.SetStatusPanel(0, QString::fromStdString(camera->CancelledText()));
        return;
    }
    downloadTimeMs_ = camera->CameraData().DownloadTime;
    exposureMs_ = form_.Window().findChild<QSlider*>(QStringLiteral("ExposureMS"))->value();
    downloadTotalMs_ = downloadTimeMs_ + exposureMs_;
    elapsedMs_ = 0;
    const int interval = kv::DownloadTimerInterval(downloadTimeMs_, exposureMs_);
    downLoadTimer_->setInterval(interval);
    kv::WriteProgramLog("Download timer interval set to: " + std::to_string(interval), kv::LogKind::Trace);
    downLoadTimer_->start();
    const double seconds = exposureMs_ / 1000.0;
    camera->SetExposureTime(seconds);
    kv::WriteProgramLog("Exposure time set to: " + QString::number(seconds).toStdString(), kv::LogKind::Trace);
    camera->DoImageFrame();
    kv::WriteProgramLog("Return from DoImageFrame method", kv::LogKind::Trace);
    ImageStretchRGClick();

    if (kv::TImageObject* focus = camera->FocusImage()) focus->Clear();
    form_.FocusPanel()->PutFocusImage();
    form_.FocusPanel()->ClearFocusReadings();
    form_.State().imageTaken = true;
    kv::WriteProgramLog("Leaving Get Image Button click handler", kv::LogKind::Trace);
}

void TExposurePage::DownLoadTimerTick() {
    elapsedMs_ += downLoadTimer_->interval();
    progress_->setValue(kv::DownloadProgress(elapsedMs_, downloadTimeMs_, exposureMs_));
    if (elapsedMs_ < downloadTotalMs_) return;
    // The button comes back after the estimated time, whatever the exposure
    // thread is doing; the full bar stays up for a moment first.
    downLoadTimer_->stop();
    progress_->setValue(100);
    elapsedMs_ = 0;
    QTimer::singleShot(kProgressDonePauseMs, this, [this] {
        progress_->setValue(0);
        getImage_->setEnabled(form_.State().cameraReady);
    });
}

void TExposurePage::GetFocusImage() {
    kv::TFocusControl* focuser = form_.FocusControl();
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr || (focuser != nullptr && !focuser->GetIdle())) return;
    form_.FocusPanel()->FocusStretchRGClick();
    camera->StartFocusFrame();
}

// ---------------------------------------------------------------- stretch

void TExposurePage::ImageStretchRGClick() {
    const int choice = stretch_->ItemIndex();
    const bool manual = choice == StretchManual;
    const bool gamma = choice == StretchManual || choice == StretchAuto;
    for (QWidget* w : {static_cast<QWidget*>(minTB_), static_cast<QWidget*>(maxTB_), static_cast<QWidget*>(minLabel_),
                       static_cast<QWidget*>(maxLabel_)}) {
        w->setEnabled(manual);
    }
    gammaTB_->setEnabled(gamma);
    gammaLabel_->setEnabled(gamma);
    ApplyMainStretch();
}

void TExposurePage::ImageLevelChanged(QSlider* slider) {
    if (!form_.State().cameraReady) return;
    // Dragging a level slider re-stretches only every line size of travel.
    if (slider == minTB_ && !minFilter_.Accept(slider->value())) return;
    if (slider == maxTB_ && !maxFilter_.Accept(slider->value())) return;
    ApplyMainStretch();
}

void TExposurePage::PrepareMainStretch(kv::TImageObject& image) {
    kv::WriteProgramLog("Preparing to stretch main image", kv::LogKind::Trace);
    switch (stretch_->ItemIndex()) {
        case StretchManual:
            image.SetBlack(minTB_->value());
            image.SetWhite(maxTB_->value());
            image.SetGamma(gammaTB_->value() / 10.0);
            image.SetStretchOn(true);
            break;
        case StretchAuto:
            image.SetBlack(-1);
            image.SetWhite(-1);
            image.SetGamma(gammaTB_->value() / 10.0);
            image.SetStretchOn(true);
            break;
        default:
            image.SetBlack(-1);
            image.SetWhite(-1);
            image.SetStretchOn(false);
            image.SetGamma(1.0);
            break;
    }
}

void TExposurePage::ApplyMainStretch() {
    gammaLabel_->setText(Q(kv::GammaText(gammaTB_->value() / 10.0)));
    kv::TImageObject* image = MainImage();
    if (image == nullptr) return;
    {
        std::lock_guard lock(image->Lock());
        PrepareMainStretch(*image);
        image->SetIsUpdated(false);
        PutImage(image, imageDisplay_);
    }
    const TWindowState& state = form_.State();
    if (state.imageTaken) form_.SetStatusPanel(1, Q(kv::StretchText(image->AutoBlack(), image->AutoWhite())));
    if (state.starSelected && form_.CameraControl()->ROIOn()) DrawRoi();
}

// ---------------------------------------------------------------- star selection

kv::Margins TExposurePage::UsableMargins() const {
    const kv::CameraInfo info = form_.CameraControl()->CameraData();
    return kv::UsableMargins(info.HorizFocusFrame, info.VertFocusFrame, info.XBinning, info.YBinning);
}

bool TExposurePage::Usable(int x, int y) const {
    return kv::IsUsablePoint(x, y, imageDisplay_->width(), imageDisplay_->height(), UsableMargins());
}

int TExposurePage::MainPixel(int x, int y) const {
    kv::TImageObject* image = MainImage();
    if (image == nullptr || x < 0 || y < 0 || x >= image->Width() || y >= image->Height()) return 0;
    return image->Pixel(x, y);
}

void TExposurePage::ImagePointerMoved(QPoint pos) {
    const TWindowState& state = form_.State();
    if (!state.cameraReady || !state.imageTaken || MainImage() == nullptr) {
        imageDisplay_->unsetCursor();
        return;
    }
    const int x = pos.x();
    const int y = pos.y();
    const bool usable = Usable(x, y);
    imageDisplay_->setCursor(usable ? starCursor_ : QCursor(Qt::ForbiddenCursor));
    QString text = Q(kv::PointerText(x, y, MainPixel(x, y), !usable));
    if (kv::NearImageEdge(x, y, imageDisplay_->width(), imageDisplay_->height())) {
        kv::TImageObject* image = MainImage();
        text = Q(kv::StretchText(image->AutoBlack(), image->AutoWhite()));
    }
    form_.SetStatusPanel(1, text);
}

void TExposurePage::ImageMousePressed(QPoint pos, Qt::MouseButton button) {
    if (!form_.State().imageTaken || MainImage() == nullptr) return;
    if (button == Qt::RightButton) {
        SaveImage(form_, imageDisplay_, MainImage(), false);
        return;
    }
    if (button != Qt::LeftButton && button != Qt::MiddleButton) return;
    SelectStar(pos.x(), pos.y());
}

QString TExposurePage::SelectStar(int x, int y) {
    if (!form_.State().imageTaken || MainImage() == nullptr) {
        return QStringLiteral("No image has been taken: take one first (Get Image)");
    }
    if (!Usable(x, y)) {
        const kv::Margins m = UsableMargins();
        return QStringLiteral("%1: a focus frame around X %2, Y %3 would leave the image; X must lie in %4..%5 and Y in %6..%7")
            .arg(Q(kv::PointerText(x, y, MainPixel(x, y), true)).simplified())
            .arg(x)
            .arg(y)
            .arg(m.mx + 1)
            .arg(imageDisplay_->width() - m.mx - 1)
            .arg(m.my + 1)
            .arg(imageDisplay_->height() - m.my - 1);
    }
    kv::TCameraControl* camera = form_.CameraControl();
    form_.SetStarSelected(true);
    camera->SetFocusX(x);
    camera->SetFocusY(y);
    form_.SetStatusPanel(2, Q(kv::SelectedText(x, y, MainPixel(x, y))));
    if (camera->ROIOn()) DrawRoi();
    return {};
}

QString TExposurePage::StartFindStars(FindDone done) {
    if (FindingStars()) return QString::fromLatin1(kFindBusyText);
    kv::TCameraControl* camera = form_.CameraControl();
    kv::TImageObject* image = MainImage();
    if (!form_.State().imageTaken || image == nullptr) {
        return QStringLiteral("No image has been taken: take one first (Get Image)");
    }
    // Half an image would show stars that are not all there yet.
    if (!camera->Idle()) return QStringLiteral("The camera is still taking the image: wait for it to come in");
    const kv::CameraInfo info = camera->CameraData();
    kv::StarFinderSettings settings;
    settings.focusFrame = std::max(info.HorizFocusFrame, info.VertFocusFrame);
    kv::FrameCopy frame = kv::CopyFrame(*image);
    const int width = frame.width, height = frame.height;
    // The report comes on the search's thread. The page outlives it: the
    // search is a member, whose end waits for its thread, and a post to a
    // page that is going away is dropped with it.
    findId_ = search_.Start(std::move(frame), settings, [this](kv::StarSearchResult result) {
        auto shared = std::make_shared<kv::StarSearchResult>(std::move(result));
        QMetaObject::invokeMethod(this, [this, shared] { FindEnded(*shared); }, Qt::QueuedConnection);
    });
    if (findId_ == 0) return QString::fromLatin1(kFindBusyText);
    findDone_ = std::move(done);
    findClock_.start();
    findBusyTimer_->start();
    kv::WriteProgramLog("Star search started on the main image (" + std::to_string(width) + " x " +
                            std::to_string(height) + ")",
                        kv::LogKind::Trace);
    return {};
}

void TExposurePage::FindEnded(const kv::StarSearchResult& result) {
    // A find called off has already answered.
    if (result.id != findId_ || !FindingStars()) return;
    FindDone done = std::move(findDone_);
    const qint64 ms = findClock_.elapsed();
    EndFind();
    if (result.outcome == kv::StarSearchOutcome::Cancelled) {
        done({}, QString::fromLatin1(kFindCancelledText));
        return;
    }
    kv::WriteProgramLog("Star search found " + std::to_string(std::max(result.field.found, result.field.stars.size())) + " stars in " +
                            std::to_string(ms) + " ms",
                        kv::LogKind::Trace);
    done(result.field, {});
}

void TExposurePage::CancelFindStars(const QString& why) {
    if (!FindingStars()) return;
    search_.Cancel();
    FindDone done = std::move(findDone_);
    EndFind();
    kv::WriteProgramLog(why.toStdString());
    form_.SetStatusPanel(1, why);
    done({}, why);
}

void TExposurePage::EndFind() {
    findDone_ = nullptr;
    findId_ = 0;
    findBusyTimer_->stop();
    pickStar_->setText(QStringLiteral("Pick Star"));
    pickStar_->setToolTip(QStringLiteral("Select the best star for focusing (P)"));
    if (kv::TImageObject* image = MainImage(); image != nullptr && form_.State().imageTaken)
        form_.SetStatusPanel(1, Q(kv::StretchText(image->AutoBlack(), image->AutoWhite())));
}

void TExposurePage::ShowFindBusy() {
    if (!FindingStars()) return;
    pickStar_->setText(QStringLiteral("Cancel"));
    pickStar_->setToolTip(QStringLiteral("Stop searching for stars (Esc)"));
    form_.SetStatusPanel(1, QStringLiteral("Finding stars... %1 s  (Esc cancels)").arg(findClock_.elapsed() / 1000));
}

QString TExposurePage::StartPickStar(PickDone done) {
    return StartFindStars([this, done = std::move(done)](const kv::StarField& field, const QString& why) {
        if (!why.isEmpty()) {
            done({}, why);
            return;
        }
        const kv::StarPick pick = kv::PickFocusStar(field, imageDisplay_->width(), imageDisplay_->height(),
                                                    [this](int x, int y) { return Usable(x, y); });
        if (!pick.star) {
            done({}, Q(pick.reason));
            return;
        }
        const int x = static_cast<int>(std::lround(pick.star->x));
        const int y = static_cast<int>(std::lround(pick.star->y));
        const QString refused = SelectStar(x, y);
        if (!refused.isEmpty()) {
            done({}, refused);
            return;
        }
        kv::WriteProgramLog("Pick Star chose the star at X " + std::to_string(x) + ", Y " + std::to_string(y) + " (HFD " +
                            QString::number(pick.star->hfd, 'f', 2).toStdString() + ", SNR " +
                            QString::number(pick.star->snr, 'f', 0).toStdString() + ", one of " +
                            std::to_string(std::max(field.found, field.stars.size())) + " stars)");
        done(*pick.star, {});
    });
}

QString TExposurePage::PickStar(kv::FoundStar* picked) {
    QEventLoop loop;
    bool ended = false;
    QString why;
    const QString refused = StartPickStar([&](const kv::FoundStar& star, const QString& w) {
        ended = true;
        why = w;
        if (picked != nullptr && w.isEmpty()) *picked = star;
        loop.quit();
    });
    if (!refused.isEmpty()) return refused;
    if (!ended) loop.exec();
    return why;
}

void TExposurePage::PickStarClick() {
    if (FindingStars()) {
        kv::WriteProgramLog("Pick Star button clicked to cancel the star search", kv::LogKind::Trace);
        CancelFindStars();
        return;
    }
    kv::WriteProgramLog("Pick Star button clicked", kv::LogKind::Trace);
    const auto refuse = [this](const QString& why) {
        kv::WriteProgramLog("Pick Star: " + why.toStdString());
        form_.Dialogs().Beep();
        form_.Dialogs().Show(why.toStdString(), kv::DialogType::Information, kv::DialogButtons::Ok);
    };
    const QString why = StartPickStar([refuse](const kv::FoundStar&, const QString& w) {
        // A search the user or a new image called off has said so in the
        // status bar already; a box would only have to be clicked away.
        if (!w.isEmpty() && !w.startsWith(QLatin1String("The star search was cancelled"))) refuse(w);
    });
    if (!why.isEmpty()) refuse(why);
}

void TExposurePage::PickStarKey() {
    if (FindingStars()) {
        form_.Dialogs().Beep();
        form_.SetStatusPanel(1, QString::fromLatin1(kFindBusyText));
        return;
    }
    PickStarClick();
}

void TExposurePage::MoveStar(int dx, int dy) {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr || !form_.State().starSelected) return;
    const int x = camera->FocusX() + dx;
    const int y = camera->FocusY() + dy;
    if (!Usable(x, y)) return;
    camera->SetFocusX(x);
    camera->SetFocusY(y);
    form_.SetStatusPanel(2, Q(kv::FocusStarText(x, y)));
    // The outline follows the star at once rather than with the next frame.
    if (camera->ROIOn() && imageDisplay_->Overlay()) DrawRoi();
}

void TExposurePage::SetStarCursor(bool target) {
    starCursor_ = target ? TargetCursor() : QCursor(Qt::CrossCursor);
}
