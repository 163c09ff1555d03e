// The MUSIC stage on the library's one default workspace, under its lock:
// what the exported algRootMusicFreq / algEstWithMusic run on (tests and
// benchmarks compare the routes through these too).
#pragma once

#include "rtp/rtp_music.h"

namespace tarn_compat {

int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  tarn_rtp::MusicRoute route);
void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  const ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                  bool reset, tarn_rtp::MusicRoute route);

}  // namespace tarn_compat
