// The Exposure Control page: the main image in its scroll box, Get Image and
// its download progress, the main image's stretch controls, star selection.
#pragma once

#include <QWidget>

#include "camera/plugin_host.h"

class TMainForm;
namespace kv {
class TCameraControl;
}

class TExposurePage : public QWidget {
    Q_OBJECT
public:
    TExposurePage(TMainForm& form, QWidget* parent);

    // The camera controller's image notifications come here (marshalled to
    // the GUI thread): the main image to ImageDisplay, the focus frame to the
    // focus panel and the zoom window.
    void AttachCamera(kv::TCameraControl* camera);
    // A camera was (re)initialised: size and place the displays for it, clear
    // both images and show them, re-apply both stretch choices.
    void CameraReconfigured(const kv::CameraInfo& info);
    // The cursor over the usable part of the image: the target (true) or a cross.
    void SetStarCursor(bool target);

private:
    TMainForm& form_;
};
