// The frames behind a focusing run, kept: with "Save focus frames" on, every
// focus frame a scan or an auto focus takes is written as a FITS file, so a
// curve that looks wrong can be checked frame by frame afterwards.
//
// Each run gets its own folder under the focus-frames folder, named with the
// run's start (UTC), and each file the run's start, the focuser position and
// the frame's number in the run:
//   focus_frames/20261207-193847/20261207-193847_pos-120_007.fits
// A frame that cannot be written never stops the run: the first failure is
// logged and told once (deferred, the run is on a worker thread), and the run
// saves no further frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "camera/fits_writer.h"
#include "platform/dialogs.h"

namespace kv {

class TCameraControl;
class TFocusControl;
class TImageObject;

// Beside the settings file.
inline constexpr const char* kFocusFramesFolder = "focus_frames";

// What the program knows about the last frame of `camera`: the camera's name,
// the binning (the focus binning for a focus frame), and for a focus frame the
// star it was measured on. The exposure time and start, and the focuser's
// position and temperature at the exposure, come from the image when it is written.
FitsHeader FrameHeader(TCameraControl& camera, bool focusFrame);

class TFocusFrameRecorder {
public:
    // `folder` is the focus-frames folder; the run's own folder is made in it
    // at the first frame. `dialogs` must outlive the recorder.
    TFocusFrameRecorder(std::string folder, IDialogs& dialogs,
                        std::chrono::system_clock::time_point runStart = std::chrono::system_clock::now());

    // Writes `image` taken at `position`. False when it was not written: this
    // failure or an earlier one of the run (told once).
    bool Record(TImageObject& image, const FitsHeader& header, std::int32_t position);

    // The run's folder, with a trailing '/'; empty before the first frame.
    const std::string& RunFolder() const { return runFolder_; }
    int Written() const { return written_; }

private:
    bool MakeRunFolder();
    void Fail(const std::string& message);

    std::string folder_;
    IDialogs& dialogs_;
    std::string runName_;
    std::string runFolder_;
    int frames_ = 0;
    int written_ = 0;
    bool failed_ = false;
};

}  // namespace kv
