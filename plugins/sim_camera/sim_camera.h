/*
 * Settings of the simulated camera plug-in (sim_camera.so) beyond the six
 * camera exports, for tests and for the simulated observatory's set-up. Look
 * them up with dlsym on the loaded plug-in.
 */
#ifndef KESSIVANE_SIM_CAMERA_H
#define KESSIVANE_SIM_CAMERA_H

#include <stdint.h>

#include "kessivane/camera_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How the star's FWHM grows with the distance d from best focus:
 * V:         seeing + slope * |d|
 * hyperbola: sqrt(seeing^2 + (slope * d)^2), seeing and defocus combined in
 *            quadrature as real optics do: round at the bottom, straight far out. */
#define KV_SIM_CURVE_V 0
#define KV_SIM_CURVE_HYPERBOLA 1

typedef struct KVSimCameraConfig {
    int32_t Binning;         /* 1..4, both axes; reported by the next DLLQueryCameraData */
    int32_t Noise;           /* 0: no photon noise, read noise or seeing jitter */
    uint32_t Seed;           /* random seed; 0 picks one */
    int32_t Curve;           /* KV_SIM_CURVE_V or KV_SIM_CURVE_HYPERBOLA; other values read as V */
    double DefaultExposure;  /* seconds, used when the image object carries none (<= 0) */
    double SeeingFWHM;       /* star FWHM at best focus, unbinned pixels */
    double SeeingJitter;     /* relative standard deviation of the seeing, frame to frame */
    double FocusSlope;       /* FWHM growth, unbinned pixels per focuser step from best focus */
    double SkyPerSecond;     /* sky background, ADU per second per unbinned pixel */
    double Bias;             /* ADU added to every pixel */
    double ReadNoise;        /* ADU rms per read pixel */
    double FluxScale;        /* multiplies every star's brightness */
    double SeeingPatch;      /* relative standard deviation of each star's own seeing around the
                              * frame's: the air differs across the field (0: all stars alike) */
    double Obstruction;      /* central obstruction, a fraction 0..0.9 of the aperture's diameter
                              * (0: none). With one, a defocused star is the pupil's image, a ring
                              * slope * |d| across whose middle is dark, blurred by the seeing;
                              * the curve setting then no longer applies. */
    int32_t CrowdedField;    /* 0: the small field of eight stars. 1: a crowded star cloud, about
                              * 41 600 faint stars 10 px apart on a 2048 x 2048 sensor (reported by
                              * the next DLLQueryCameraData), a star finder's hardest field;
                              * KESSIVANE_SIM_FIELD=crowded chooses it at start. */
    int32_t FieldStars;      /* 0: the eight stars. More (up to 2000): that many stars in all, the eight
                              * among them, the rest scattered over the sensor with fluxes from faint
                              * to bright, always the same for a count: a field to focus on as a
                              * whole. KESSIVANE_SIM_STARS=N chooses it at start. */
    /* The optics' faults, as best focus differing across the sensor, in um of
     * focus travel (StepMicrons a focuser step); a positive value puts that
     * part's best focus at a higher focuser position than the centre's. */
    double TiltX;            /* at the right edge (the left edge has its negative): a tilt about the
                              * column axis; linear across the sensor */
    double TiltY;            /* at the bottom edge (the top edge has its negative); linear */
    double Curvature;        /* at the corners, growing with the square of the distance from the
                              * centre: field curvature */
    double StepMicrons;      /* focus travel a focuser step, um (5 by default) */
    /* KESSIVANE_SIM_TILT="x,y" and KESSIVANE_SIM_CURVATURE=um set them at start. */
} KVSimCameraConfig;

typedef void (*KVSimCameraGetConfigProc)(KVSimCameraConfig* config);
typedef void (*KVSimCameraSetConfigProc)(const KVSimCameraConfig* config);

void KVSimCamera_GetConfig(KVSimCameraConfig* config);
/* Values out of range are brought into range. */
void KVSimCamera_SetConfig(const KVSimCameraConfig* config);

/* The next `count` main images end "delivered" without any pixels loaded, as
 * a camera busy with another program may: the host must not take the previous
 * picture for the new one. */
typedef void (*KVSimCameraSetEmptyFramesProc)(int count);
void KVSimCamera_SetEmptyFrames(int count);

#ifdef __cplusplus
}
#endif

#endif
