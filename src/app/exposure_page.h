// The Exposure Control page: the main image in its scroll box, Get Image and
// its download progress, the main image's stretch controls, star selection.
//
// The camera controller reports finished frames on its worker threads; the
// page only posts them to itself (a post to a page that is gone is dropped)
// and, on the GUI thread, asks the controller for its images afresh, so a
// frame that arrives after the camera was re-initialised never reaches a
// freed image object.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include <QElapsedTimer>

#include <QCursor>
#include <QWidget>
#include <optional>

#include "camera/display_rules.h"
#include "camera/plugin_host.h"
#include "camera/star_finder.h"
#include "camera/star_search.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSlider;
class QTimer;
class TPageContext;
class TPictureView;
class TRadioGroup;
namespace kv {
class TCameraControl;
class TImageObject;
}  // namespace kv

class TExposurePage : public QWidget {
    Q_OBJECT
public:
    TExposurePage(TPageContext& form, QWidget* parent);

    // The camera controller's image notifications come here (marshalled to
    // the GUI thread): the main image to ImageDisplay, the focus frame to the
    // focus panel and the zoom window.
    void AttachCamera(kv::TCameraControl* camera);
    // A camera was (re)initialised: size and place the displays for it, clear
    // both images and show them, re-apply both stretch choices.
    void CameraReconfigured(const kv::CameraInfo& info);
    // Every display lets go of the camera's image objects; called before the
    // camera frees them (uninitialise, disconnect, close).
    void DetachImages();
    // The cursor over the usable part of the image: the target (true) or a cross.
    void SetStarCursor(bool target);

    TPictureView* ImageDisplay() const { return imageDisplay_; }
    // The main stretch choice applied again (what a click on ImageStretchRG does).
    void ImageStretchRGClick();
    // The ROI outline on both displays after a focus frame, a selection or a
    // stretch change; the displays show their images again first.
    void DrawRoi();

    // Selects the star at (x, y) as a left click does; empty when taken,
    // otherwise why not (the refusal a script is told; a click just does nothing).
    QString SelectStar(int x, int y);
    // Star finding runs on a thread of its own, on a copy of the main image:
    // a crowded field takes seconds, and the window keeps drawing meanwhile.
    // One find runs at a time. A second request while it runs is refused
    // rather than let replace it: it would search the same image again from
    // the start and answer whoever asked first with a cancel they never
    // asked for. A find is called off by Escape, by the Pick Star button
    // (which reads Cancel while it runs), by a new image or a camera that
    // goes away; whoever waits is then told so, and the selection stays.
    using FindDone = std::function<void(const kv::StarField& field, const QString& why)>;
    using PickDone = std::function<void(const kv::FoundStar& star, const QString& why)>;
    // Starts finding the stars of the main image with the camera's focus
    // frame size; `done` runs later on the window's thread, with the field or
    // why there is none. Empty when started, otherwise why not (and `done`
    // is never called).
    QString StartFindStars(FindDone done);
    // Starts finding the stars, picking the best one for focusing and
    // selecting it as a click would; `done` as for StartFindStars, with the
    // chosen star when `why` is empty.
    QString StartPickStar(PickDone done);
    bool FindingStars() const { return static_cast<bool>(findDone_); }
    // Calls the running find off; whoever waits on it is told `why`.
    void CancelFindStars(const QString& why = QString::fromLatin1(kFindCancelledText));
    // Pick Star, waiting for its answer while the window goes on (for the
    // tour and other step-by-step callers). Empty on success, with `picked`
    // set; otherwise the reason.
    QString PickStar(kv::FoundStar* picked = nullptr);
    // The P key: Pick Star, or while one runs, a word in the status bar.
    void PickStarKey();

    static constexpr const char* kFindCancelledText = "The star search was cancelled; the selection is unchanged";
    static constexpr const char* kFindBusyText =
        "Stars are already being searched for: wait for the search to end, or cancel it (Escape)";

signals:
    // A focus frame has been drawn and its figures shown.
    void focusFrameShown();
    // A main image has come in and been shown.
    void imageShown();

public slots:
    // The Get Focus Image buttons: with the focuser idle, one focus frame
    // around the selected star (the exposure runs on a camera thread).
    void GetFocusImage();
    void GetImageButtonClick();
    // The Pick Star button (and its key): picks and selects, or tells why not.
    void PickStarClick();

protected:
    // The picture takes the room a larger window gives; the controls under
    // it keep their places relative to the bottom edge.
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceImagePanel();
    void OnImageReady();
    void OnFocusImageReady();
    void DownLoadTimerTick();
    void ImageLevelChanged(QSlider* slider);
    void ApplyMainStretch();
    void PrepareMainStretch(kv::TImageObject& image);
    void ImagePointerMoved(QPoint pos);
    void ImageMousePressed(QPoint pos, Qt::MouseButton button);
    void MoveStar(int dx, int dy);
    void FindEnded(const kv::StarSearchResult& result);
    void ShowFindBusy();
    void EndFind();
    kv::TImageObject* MainImage() const;
    kv::Margins UsableMargins() const;
    bool Usable(int x, int y) const;
    int MainPixel(int x, int y) const;

    TPageContext& form_;
    QScrollArea* scroll_ = nullptr;
    QRect scrollDesign_;
    std::vector<std::pair<QWidget*, QRect>> belowPicture_;  // with their places at the least window size
    QWidget* scrollContent_ = nullptr;
    QFrame* imagePanel_ = nullptr;
    TPictureView* imageDisplay_ = nullptr;
    QPushButton* getImage_ = nullptr;
    QPushButton* pickStar_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTimer* downLoadTimer_ = nullptr;
    TRadioGroup* stretch_ = nullptr;
    QSlider* minTB_ = nullptr;
    QSlider* maxTB_ = nullptr;
    QSlider* gammaTB_ = nullptr;
    QLabel* minLabel_ = nullptr;
    QLabel* maxLabel_ = nullptr;
    QLabel* gammaLabel_ = nullptr;
    kv::LineSizeFilter minFilter_;
    kv::LineSizeFilter maxFilter_;
    QCursor starCursor_{Qt::CrossCursor};
    int elapsedMs_ = 0;
    int downloadTotalMs_ = 0;  // DownloadTime + ExposureMS of the running Get Image
    int downloadTimeMs_ = 0;
    int exposureMs_ = 0;
    // The running find's answer goes to findDone_; a report for any other
    // id (a find called off) is dropped.
    kv::TStarSearch search_;
    std::uint64_t findId_ = 0;
    FindDone findDone_;
    QElapsedTimer findClock_;
    QTimer* findBusyTimer_ = nullptr;
};
