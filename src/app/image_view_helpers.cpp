#include "app/image_view_helpers.h"

#include <optional>
#include <string>

#include "app/page_context.h"
#include "app/picture_view.h"
#include "camera/camera_control.h"
#include "camera/fits_writer.h"
#include "camera/image_object.h"
#include "focusing/focus_frames.h"
#include "shell/log_channel.h"

void PutImage(kv::TImageObject* image, TPictureView* view) {
    if (image == nullptr || view->Source() != image) return;
    image->PutImage(*view);
    view->SetOverlay(std::nullopt);
}

void SaveImage(TPageContext& form, TPictureView* view, kv::TImageObject* image, bool focusFrame) {
    const QString file =
        form.AskSaveFileName(QStringLiteral("Save Image"),
                             QStringLiteral("Bitmap Files (*.bmp);;FITS Files (*.fits *.fit *.fts)"), QStringLiteral("bmp"));
    if (file.isEmpty()) return;
    std::string failure;
    if (kv::IsFitsFileName(file.toStdString())) {
        kv::TCameraControl* camera = form.CameraControl();
        if (image == nullptr || camera == nullptr) {
            failure = "Could not write the FITS image " + file.toStdString() + ": no camera image to save";
        } else {
            const kv::WriteResult written = kv::WriteFitsImage(
                file.toStdString(), *image, kv::FrameHeader(*camera, focusFrame));
            failure = written.message;
        }
    } else if (!view->SavePicture(file)) {
        failure = "The picture could not be saved to " + file.toStdString();
    }
    if (failure.empty()) return;
    kv::WriteProgramLog(failure);
    form.Dialogs().Show(failure, kv::DialogType::Error, kv::DialogButtons::Ok);
}
