// MUSIC estimator internals shared with its tests and benchmark (not exported).
#pragma once

#include "math/eigen_fast.h"
#include "rtp/rtp_stages.h"

namespace tarn_rtp {

// Largest covariance size (M) and order count the estimator's buffers hold.
constexpr int kMusicMaxCov = TARN_MUSIC_COV_STRIDE - 1;
constexpr int kMusicMaxOrders = 7;
constexpr int kMusicMaxL = TARN_MUSIC_COV_STRIDE;
// Orders a call with the channel-centre bound hands on: its 7-order run
// less the bound-setting order 1.
constexpr int kMusicOrdersAfterCentre = 6;

// How root-MUSIC decomposes: kFast shares the covariance sums across
// orders, decomposes the forward-backward covariance as a real symmetric
// matrix, forms only the noise eigenvectors and iterates only the roots
// inside the unit circle (their mirrors outside follow); kReference is the
// straightforward route, one covariance per order and the general complex
// eigen-solver with eigenvectors for both steps through the exported
// toolkit (allocates; kept to check the fast route against).
enum class MusicRoute { kFast, kReference };

// Everything one algEstWithMusic call works in, about 70 kB. Owned by the
// caller (the estimation worker can keep one for all links); one call at a
// time per workspace. Contents do not carry over between calls.
struct MusicWorkspace {
    // Prefix sums over the gathered samples x of x[u + lag] conj(x[u]):
    // lagSums[lag][t] is the sum over u < t. Any covariance size's forward
    // sums are differences of two entries.
    TarnCplxD lagSums[kMusicMaxL][TARN_NUM_CHANNELS + 1];
    TarnCplxD samples[TARN_NUM_CHANNELS];
    int channels[TARN_NUM_CHANNELS];
    TarnCplxD cov[kMusicMaxL * TARN_MUSIC_COV_STRIDE];
    TarnCplxD noise[kMusicMaxL * kMusicMaxL];
    tarn_math::SymEigenWork eigen;
    // The previous order's roots inside the unit circle on the current
    // path: the next order's iteration starts from them (the signal roots
    // move little from order to order). Cleared for every path.
    TarnCplxD warmRoots[kMusicMaxL];
    int warmCount;
    // True: every order starts cold (the tests compare both starts).
    bool coldRoots;
};

// algRootMusicFreq on the chosen route; the fast route works in `work`.
int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  MusicRoute route, MusicWorkspace *work);

// algEstWithMusic on the chosen route, working in `work` (no lock, no heap
// on the fast route). It reads opts only: what the exported call leaves in
// the options is leaveMusicSets' to write.
void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  const ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                  bool reset, MusicRoute route, MusicWorkspace *work);

// With the channel-centre bound (useChannelCenterForBoundMusicEst 1) a MUSIC
// call runs its own order sets and leaves the fixed 6-order defaults in the
// caller's options, whatever was configured: hosts see them in the options
// they read back and the stages after MUSIC read them. Writes those sets
// into opts; nothing without the bound.
void leaveMusicSets(ConfigOpts &opts);

// The options as the stages after a MUSIC call see them: opts itself, or a
// copy in `scratch` with the sets leaveMusicSets leaves (only when opts does
// not hold them already). The reference lives as long as both arguments.
const ConfigOpts &optionsAfterMusic(const ConfigOpts &opts, ConfigOpts &scratch);

}  // namespace tarn_rtp
