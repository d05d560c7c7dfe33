#include "focusing/focus_frames.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "camera/camera_control.h"
#include "focuser/focus_control.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

// Two runs started within the same second would otherwise share a folder
// and overwrite each other's frames.
constexpr int kMaxRunFolderTries = 100;

std::string RunName(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
    return text;
}

}  // namespace

FitsHeader FrameHeader(TCameraControl& camera, bool focusFrame) {
    FitsHeader h;
    const CameraInfo info = camera.CameraData();
    h.instrument = info.CameraName;
    h.xBinning = focusFrame ? info.FocusBinning : info.XBinning;
    h.yBinning = focusFrame ? info.FocusBinning : info.YBinning;
    if (focusFrame) {
        const FocusReading r = camera.Reading();
        if (r.status == StarStatus::Ok && r.Peak > 0) h.star = FitsStar{r.FWHM, r.HFD, r.Peak, r.PeakX, r.PeakY};
    }
    return h;
}

TFocusFrameRecorder::TFocusFrameRecorder(std::string folder, IDialogs& dialogs,
                                         std::chrono::system_clock::time_point runStart)
    : folder_(std::move(folder)), dialogs_(dialogs), runName_(RunName(runStart)) {
    if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

bool TFocusFrameRecorder::MakeRunFolder() {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        Fail("Could not create the focus frames folder " + folder_ + ": " + error.message());
        return false;
    }
    for (int i = 1; i <= kMaxRunFolderTries; ++i) {
        const std::string name = folder_ + runName_ + (i == 1 ? "" : "_" + std::to_string(i));
        if (std::filesystem::create_directory(name, error)) {
            runFolder_ = name + '/';
            return true;
        }
        if (error) {
            Fail("Could not create the focus frames folder " + name + ": " + error.message());
            return false;
        }
    }
    Fail("Could not create the focus frames folder " + folder_ + runName_ + ": " +
         std::to_string(kMaxRunFolderTries) + " runs of the same second are there already");
    return false;
}

bool TFocusFrameRecorder::Record(TImageObject& image, const FitsHeader& header, std::int32_t position) {
    if (failed_) return false;
    if (runFolder_.empty() && !MakeRunFolder()) return false;
    char number[16];
    std::snprintf(number, sizeof number, "%03d", ++frames_);
    const std::string path = runFolder_ + runName_ + "_pos" + std::to_string(position) + "_" + number + ".fits";
    const WriteResult written = WriteFitsImage(path, image, header);
    if (!written.ok) {
        Fail(written.message);
        return false;
    }
    ++written_;
    return true;
}

void TFocusFrameRecorder::Fail(const std::string& message) {
    failed_ = true;
    const std::string text = message +
                             ". The focusing goes on without saving its frames; check the folder's free space "
                             "and permissions, or switch Save focus frames off.";
    WriteProgramLog(text);
    dialogs_.Defer({text, DialogType::Warning, DialogButtons::Ok});
}

}  // namespace kv
