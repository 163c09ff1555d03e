#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_rtp.h"
#include "wire.h"

namespace tarn_tool {

namespace {

// Sessions by link reference, for the callback (which only gets the request).
std::mutex gSessionsMu;
std::map<CsLinkRef, Session *> gSessions;

}  // namespace

bool parseInputFormat(const std::string &name, InputFormat *fmt) {
    if (name == "v1" || name == "step") {
        *fmt = InputFormat::StepLevel;
        return true;
    }
    if (name == "v2" || name == "procedure") {
        *fmt = InputFormat::Procedure;
        return true;
    }
    return false;
}

const char *inputFormatName(InputFormat fmt) {
    return fmt == InputFormat::StepLevel ? "v1" : "v2";
}

bool linkKnown(CsLinkRef link) {
    TarnLatestComputation probe{};
    probe.size = sizeof probe;
    return tarnGetLatestComputation(link, &probe) == 1;
}

Session::Session(InputFormat fmt, CsLinkRef link) : fmt_(fmt), link_(link) {
    if (linkKnown(link_)) {
        error_ = "link reference " + std::to_string(static_cast<long long>(link_)) +
                 " is already in use";
        return;
    }
    {
        std::lock_guard<std::mutex> g(gSessionsMu);
        gSessions[link_] = this;
    }
    CsInitRecord init{&Session::onResult};
    // Creating a link installs its own log threshold for the whole library;
    // the tool's threshold stays what the tool set.
    const int8_t level = glog_level;
    csIfInit(link_, &init);
    set_log_level(level);
    created_ = linkKnown(link_);
    if (!created_) error_ = "the library did not create the link (see its log)";
}

Session::~Session() {
    if (created_) csIfCleanUp(link_);
    std::lock_guard<std::mutex> g(gSessionsMu);
    auto it = gSessions.find(link_);
    if (it != gSessions.end() && it->second == this) gSessions.erase(it);
}

bool Session::linkOptions(ConfigOpts *out, std::string *why) const {
    TarnLinkOptions rec{};
    rec.size = sizeof rec;
    if (!created_ || tarnGetLinkOptions(link_, &rec) != 1) {
        *why = "cannot read the link's options back";
        return false;
    }
    *out = rec.opts;
    return true;
}

bool Session::installOptions(const ConfigOpts &opts, std::string *why) {
    if (!created_ || csIfSetParam(link_, 0, &opts) != 1) {
        *why = "the library refused the options record";
        return false;
    }
    return true;
}

bool Session::setTrackingMode(int mode) {
    if (!ok()) return false;
    if (tarnSetTrackingMode(link_, mode) == 1) return true;
    error_ = "the library refused tracking mode " + std::to_string(mode);
    return false;
}

bool Session::setCombination(int mode) {
    if (!ok()) return false;
    if (tarnSetCombination(link_, mode) == 1) return true;
    error_ = "the library refused combination " + std::to_string(mode);
    return false;
}

bool parseCombination(const std::string &name, int *mode) {
    if (name == "specified") *mode = 0;
    else if (name == "guarded") *mode = 1;
    else return false;
    return true;
}

const char *combinationName(int mode) {
    return mode == 1 ? "guarded" : "specified";
}

const IntegrityFlagName kIntegrityFlagNames[10] = {
    {TARN_INTEGRITY_DISAGREE, "disagree"},
    {TARN_INTEGRITY_MANIPULATION, "manipulation"},
    {TARN_INTEGRITY_MULTIPATH, "multipath"},
    {TARN_INTEGRITY_BLOCKED, "blocked"},
    {TARN_INTEGRITY_PHASE_JUMPS, "jumps"},
    {TARN_INTEGRITY_RESTARTED, "restarted"},
    {TARN_INTEGRITY_RTT_UNPROTECTED, "unprotected"},
    {TARN_INTEGRITY_RTT_DELIVERED, "rtt"},
    {TARN_INTEGRITY_FIRST_PATH, "first_path"},
    {TARN_INTEGRITY_FUSED, "fused"}};

std::string integrityFlagNames(uint32_t flags) {
    std::string out;
    for (const IntegrityFlagName &n : kIntegrityFlagNames)
        if ((flags & n.bit) != 0) out += (out.empty() ? "" : "+") + std::string(n.name);
    return out.empty() ? "-" : out;
}

// Runs on the library's worker: the only moment at which the link's latest
// computation is the one being delivered.
void Session::onResult(CsEstimate *result, CsRequest *request) {
    Session *s = nullptr;
    {
        std::lock_guard<std::mutex> g(gSessionsMu);
        auto it = gSessions.find(request->linkRef);
        if (it != gSessions.end()) s = it->second;
    }
    if (s == nullptr) return;
    TarnLatestComputation latest{};
    latest.size = sizeof latest;
    const bool read = tarnGetLatestComputation(request->linkRef, &latest) == 1;
    std::lock_guard<std::mutex> g(s->mu_);
    if (s->captureImpulse_) {
        LibraryImpulse &ir = s->impulse_;
        ir = LibraryImpulse();
        std::vector<double> buf(TARN_CIR_MAX_SIZE);
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
            const int n = tarnGetLatestImpulseResponse(request->linkRef, j, buf.data(),
                                                       TARN_CIR_MAX_SIZE, &ir.tapM, &ir.firstM);
            if (n <= 0) break;
            ir.paths.emplace_back(buf.begin(), buf.begin() + n);
        }
    }
    s->answer_ = *result;
    s->latestRead_ = read;
    s->latest_ = latest;
    s->answered_ = true;
    s->cv_.notify_all();
}

TarnStepTiming stepTimingRecord(const StepTiming &timing) {
    TarnStepTiming t{};
    t.size = sizeof t;
    if (timing.known()) {
        t.tFcsUs = timing.tFcsUs;
        t.tIp1Us = timing.tIp1Us;
        t.tIp2Us = timing.tIp2Us;
        t.tPmUs = timing.tPmUs;
        t.tSwUs = timing.tSwUs;
        // A source that does not say which PHY carries CS_SYNC: LE 1M,
        // which every device supports.
        t.phy = timing.phy != 0 ? timing.phy : 1;
        t.rttType = timing.rttType;
    }
    return t;
}

bool Session::process(const Procedure &p, SessionRow *row) {
    if (!ok()) return false;
    SessionRow r;
    r.seq = seq_++;
    r.timeS = p.timeS();
    r.trueM = p.trueDistance;

    if (giveTiming_ && p.timing != givenTiming_) {
        const TarnStepTiming t = stepTimingRecord(p.timing);
        if (tarnSetStepTiming(link_, &t) == 1)
            givenTiming_ = p.timing;
        else
            ++timingRefusals_;
    }

    int status = 0;
    if (fmt_ == InputFormat::Procedure) {
        WireProcedure wire(p);
        status = csIfAddMeasurementV2(link_, wire.get());
    } else {
        WireMeasurement wire(p);
        status = csIfAddMeasurement(link_, wire.get());
    }
    r.accepted = status == 1;
    if (!r.accepted) {
        *row = r;
        return true;
    }

    {
        std::lock_guard<std::mutex> g(mu_);
        answered_ = false;
    }
    if (csIfGetEstimate(link_) != 1) {
        error_ = "the library refused the estimate request";
        return false;
    }
    CsEstimate answer;
    TarnLatestComputation latest;
    bool read;
    {
        std::unique_lock<std::mutex> g(mu_);
        const auto limit = std::chrono::duration<double>(timeoutS_);
        if (!cv_.wait_for(g, limit, [&] { return answered_; })) {
            error_ = "no result from the library within the time limit";
            return false;
        }
        answer = answer_;
        latest = latest_;
        read = latestRead_;
    }
    r.conf = answer.conf;
    delivered_ = latest;
    r.computation = latest.sequence;
    if (read && latest.size >= TARN_LATEST_COMPUTATION_V4_SIZE) {
        r.sigmaM = latest.sigmaM;
        r.phaseSigmaM = latest.phaseSigmaM;
        r.rttSigmaM = latest.rttSigmaM;
        r.flags = latest.integrityFlags;
    }
    r.consistent = read && latest.sequence == lastComputation_ + 1 &&
                   std::memcmp(&latest.result.dest, &answer.dest, sizeof answer.dest) == 0 &&
                   latest.result.conf == answer.conf;
    lastComputation_ = latest.sequence;

    // Distances leave the library in 1/distSF metre; distSF has one valid value.
    const double sf = constOpts.distSF != 0 ? constOpts.distSF : 1.0;
    if (latest.phase.valid == 1) {
        r.phaseM = latest.phase.dest / sf;
        r.phaseConf = static_cast<int>(latest.phase.conf);
    }
    if (latest.rtt.valid == 1) {
        r.rttM = latest.rtt.dest / sf;
        r.rttConf = static_cast<int>(latest.rtt.conf);
    }
    // Without either estimator's output the result record holds nothing of
    // this procedure; nor does one that says "no estimate" (the guarded
    // combination refusing both).
    const bool noEstimate = answer.dest == 0.0 && answer.conf == -1;
    if ((r.phaseM || r.rttM) && !noEstimate) r.finalM = answer.dest / sf;
    *row = r;
    return true;
}

ErrorStats errorStats(std::vector<double> absErrors) {
    ErrorStats s;
    s.n = absErrors.size();
    if (s.n == 0) return s;
    std::sort(absErrors.begin(), absErrors.end());
    s.median =
        s.n % 2 == 1 ? absErrors[s.n / 2] : 0.5 * (absErrors[s.n / 2 - 1] + absErrors[s.n / 2]);
    // Nearest rank: the smallest value with at least 90 % of the values at or below it.
    const size_t rank = (9 * s.n + 9) / 10;  // ceil(0.9 n)
    s.p90 = absErrors[std::max<size_t>(rank, 1) - 1];
    return s;
}

}  // namespace tarn_tool
