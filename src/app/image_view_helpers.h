// What the Exposure Control page and the focus panel both do with a camera
// image in a picture view: show it afresh, and save it on a right click.
// Kept apart so that neither of them needs the other's header for it.
#pragma once

class TPageContext;
class TPictureView;
namespace kv {
class TImageObject;
}  // namespace kv

// Shows `image` in `view` afresh (when it is the view's source): what was
// drawn over the picture goes, as it would from a canvas.
void PutImage(kv::TImageObject* image, TPictureView* view);

// The right click on an image: asks for a file, starting in the folder the
// last picture went to, and saves `image` there, as a FITS file of its own
// 16-bit pixels when the name ends in .fits, .fit or .fts, else what `view`
// shows as a Windows bitmap. Where it went shows in the status bar; a failure
// is said and logged.
void SaveImage(TPageContext& form, TPictureView* view, kv::TImageObject* image, bool focusFrame);
