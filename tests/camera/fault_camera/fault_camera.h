// A camera plug-in for the controller's tests: every step can be made to
// fail or to take time, and every call is counted. The test reaches the
// state through the extra export FaultCamera_State.
#pragma once

#include <atomic>
#include <new>

struct FaultCameraState {
    // Results of the exports (non-zero: true).
    std::atomic<int> initResult{1};
    std::atomic<int> setUpExposeResult{1};
    std::atomic<int> imageResult{1};
    std::atomic<int> focusResult{1};
    // DLLGetImageObject reports success without loading any pixels.
    std::atomic<int> skipLoad{0};
    // DLLGetFocusObject takes this long before it delivers.
    std::atomic<int> focusDelayMs{0};
    // DLLGetFocusObject and DLLGetImageObject block while this is non-zero,
    // as a camera unplugged in the middle of a download.
    std::atomic<int> hang{0};
    // Reports "Santa Barbara" as the maker (an SBIG camera).
    std::atomic<int> sbig{0};

    std::atomic<int> imageCalls{0};
    std::atomic<int> focusCalls{0};
    std::atomic<int> focusInProgress{0};
    std::atomic<int> lastX{0};
    std::atomic<int> lastY{0};
    std::atomic<double> lastGain{0.0};
    std::atomic<double> lastImageExposure{-1.0};

    // Every field back to its initial value (atomics cannot be assigned whole).
    void Reset() {
        this->~FaultCameraState();
        new (this) FaultCameraState();
    }
};

// Every frame: a Gaussian star in the middle over a flat sky.
inline constexpr double kFaultStarSigma = 2.0;
inline constexpr double kFaultStarPeak = 20000.0;
inline constexpr double kFaultSky = 300.0;
inline constexpr int kFaultMainWidth = 96;
inline constexpr int kFaultMainHeight = 72;
inline constexpr int kFaultFocusWidth = 48;
inline constexpr int kFaultFocusHeight = 40;

using FaultCameraStateProc = FaultCameraState* (*)();
