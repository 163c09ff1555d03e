// MUSIC estimator internals shared with its tests and benchmark (not exported).
#pragma once

#include "tarn_rtp.h"

namespace tarn_rtp {

// Largest covariance size (M) and order count the estimator's buffers hold.
constexpr int kMusicMaxCov = TARN_MUSIC_COV_STRIDE - 1;
constexpr int kMusicMaxOrders = 7;

// How root-MUSIC decomposes: kFast uses the Hermitian solver for the
// covariance and eigenvalues only for the polynomial roots, in a static
// work area; kReference is the general complex eigen-solver with
// eigenvectors for both steps through the exported toolkit (allocates; kept
// to check the fast route against).
enum class MusicRoute { kFast, kReference };

// algRootMusicFreq on the chosen route.
int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  MusicRoute route);

// algEstWithMusic on the chosen route.
void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest, bool reset,
                  MusicRoute route);

}  // namespace tarn_rtp
