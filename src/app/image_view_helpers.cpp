#include "app/image_view_helpers.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <optional>
#include <string>

#include "app/page_context.h"
#include "app/picture_view.h"
#include "camera/camera_control.h"
#include "camera/fits_writer.h"
#include "camera/image_object.h"
#include "focusing/focus_frames.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"

void PutImage(kv::TImageObject* image, TPictureView* view) {
    if (image == nullptr || view->Source() != image) return;
    image->PutImage(*view);
    view->SetOverlay(std::nullopt);
}

namespace {

// Where the save dialog opens: the folder of the last save unless it has gone
// since (an unplugged drive), else the user's pictures folder; never wherever
// the program happened to be started from.
QString StartFolder(const std::string& kept) {
    if (!kept.empty() && QFileInfo(QString::fromStdString(kept)).isDir()) return QString::fromStdString(kept);
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

}  // namespace

void SaveImage(TPageContext& form, TPictureView* view, kv::TImageObject* image, bool focusFrame) {
    const std::string& iniPath = form.IniPath();
    const std::string kept =
        iniPath.empty() ? std::string() : kv::IniFile::Load(iniPath).GetString("Misc", kv::kPictureFolderKey, "");
    // FITS first: the camera's own pixels are what a saved frame is kept for.
    const QString file = form.AskSaveFileName(QStringLiteral("Save Image"),
                                              QStringLiteral("FITS Files (*.fits *.fit *.fts);;Bitmap Files (*.bmp)"),
                                              QStringLiteral("fits"), StartFolder(kept));
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
    } else if (QString why; !view->SavePicture(file, &why)) {
        failure = "The picture could not be saved to " + file.toStdString() + ": " + why.toStdString();
    }
    if (!failure.empty()) {
        kv::WriteProgramLog(failure);
        form.Dialogs().Show(failure, kv::DialogType::Error, kv::DialogButtons::Ok);
        return;
    }
    const QFileInfo saved(file);
    const std::string folder = saved.absolutePath().toStdString();
    // Written only once the user has saved somewhere: a settings file nobody
    // changed stays the factory one.
    if (!iniPath.empty() && folder != kept) {
        const kv::WriteResult remembered = kv::SaveSettingValue(iniPath, "Misc", kv::kPictureFolderKey, folder);
        if (!remembered.ok) kv::WriteProgramLog(remembered.message);
    }
    const std::string done = "Image saved to " + saved.absoluteFilePath().toStdString();
    kv::WriteProgramLog(done);
    form.SetStatusPanel(0, QString::fromStdString(" " + done));
}
