#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "tarn_diag.h"
#include "tarn_rtp.h"
#include "tarn_rtt.h"
#include "wire.h"

namespace tarn_sim {

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

Session::Session(InputFormat fmt, CsLinkRef link) : fmt_(fmt), link_(link) {
    if (csContextListExistItem(link_)) {
        error_ = "link reference " + std::to_string(static_cast<long long>(link_)) +
                 " is already in use";
        return;
    }
    {
        std::lock_guard<std::mutex> g(gSessionsMu);
        gSessions[link_] = this;
    }
    CsInitRecord init{&Session::onResult};
    csIfInit(link_, &init);
    created_ = csContextListExistItem(link_) != 0;
    if (!created_) {
        error_ = "the library did not create the link (see its log)";
        return;
    }
    const int bytes = csGetMemory(&init);
    side_ = static_cast<CsContext *>(std::calloc(1, static_cast<size_t>(bytes)));
    sideTrack_ = new (std::nothrow) NewPresState();
    if (side_ == nullptr || sideTrack_ == nullptr) {
        error_ = "out of memory";
        return;
    }
    csInit(side_, &init, link_);
}

Session::~Session() {
    if (created_) csIfCleanUp(link_);
    {
        std::lock_guard<std::mutex> g(gSessionsMu);
        auto it = gSessions.find(link_);
        if (it != gSessions.end() && it->second == this) gSessions.erase(it);
    }
    std::free(side_);
    delete sideTrack_;
}

void Session::onResult(CsEstimate *result, CsRequest *request) {
    Session *s = nullptr;
    {
        std::lock_guard<std::mutex> g(gSessionsMu);
        auto it = gSessions.find(request->linkRef);
        if (it != gSessions.end()) s = it->second;
    }
    if (s == nullptr) return;
    std::lock_guard<std::mutex> g(s->mu_);
    s->answerDest_ = result->dest;
    s->answerConf_ = result->conf;
    s->answered_ = true;
    s->cv_.notify_all();
}

bool Session::process(const Procedure &p, SessionRow *row) {
    if (!ok()) return false;
    SessionRow r;
    r.seq = seq_++;
    r.timeS = p.timeS();
    r.trueM = p.trueDistance;

    // Start the second context from exactly what the worker will start from:
    // the link's options, ranging state and tracking state before this request.
    csContextListlock();
    CsContextItem *item = csContextListGetItem(link_);
    if (item == nullptr || item->ctx == nullptr) {
        csContextListunlock();
        error_ = "the link disappeared";
        return false;
    }
    csSetParam(side_, 0, item->ctx->opts);
    *side_->pres = *item->ctx->pres;
    *sideTrack_ = item->trackState;
    csContextListunlock();

    int hostStatus = 0, sideStatus = 0;
    if (fmt_ == InputFormat::Procedure) {
        WireProcedure wire(p);
        hostStatus = csIfAddMeasurementV2(link_, wire.get());
        sideStatus = csAddMeasurement_v2(side_, wire.get());
    } else {
        WireMeasurement wire(p);
        hostStatus = csIfAddMeasurement(link_, wire.get());
        WireMeasurement again(p);
        sideStatus = csAddMeasurement(side_, again.get());
    }
    r.accepted = hostStatus == 1;
    if (!r.accepted) {
        *row = r;
        return true;
    }
    (void)sideStatus;

    {
        std::lock_guard<std::mutex> g(mu_);
        answered_ = false;
    }
    if (csIfGetEstimate(link_) != 1) {
        error_ = "the library refused the estimate request";
        return false;
    }
    {
        std::unique_lock<std::mutex> g(mu_);
        const auto limit = std::chrono::duration<double>(timeoutS_);
        if (!cv_.wait_for(g, limit, [&] { return answered_; })) {
            error_ = "no result from the library within the time limit";
            return false;
        }
        r.conf = answerConf_;
    }
    const double answer = answerDest_;

    // The same two estimator calls the worker made, on the second context.
    csContextListlock();
    std::unique_ptr<NewPresState> saved(new NewPresState(gNewPres));
    gNewPres = *sideTrack_;
    const double sf = side_->opts->distSF != 0 ? side_->opts->distSF : 1.0;
    const int phaseValid = RTP_calcEstimate(side_);
    const double phaseDest = side_->result->dest;
    const int phaseConf = side_->result->conf;
    const int rttValid = RTT_calcEstimate(side_);
    const double rttDest = side_->result->dest;
    const int rttConf = side_->result->conf;
    RangeEstimate phase = {}, rtt = {};
    phase.valid = static_cast<uint8_t>(phaseValid);
    phase.dest = phaseDest;
    phase.conf = phaseConf;
    rtt.valid = static_cast<uint8_t>(rttValid);
    rtt.dest = rttDest;
    rtt.conf = rttConf;
    CsEstimate combined = *side_->result;
    alg_combineRttRtp(side_, &phase, &rtt, &combined);
    *sideTrack_ = gNewPres;
    gNewPres = *saved;
    csContextListunlock();

    if (static_cast<uint8_t>(phaseValid) == 1) {
        r.phaseM = phaseDest / sf;
        r.phaseConf = phaseConf;
    }
    if (static_cast<uint8_t>(rttValid) == 1) {
        r.rttM = rttDest / sf;
        r.rttConf = rttConf;
    }
    // Without either estimator's output the result record holds nothing of
    // this procedure.
    if (r.phaseM || r.rttM) {
        r.finalM = answer / sf;
        r.consistent = combined.dest == answer && combined.conf == r.conf;
    }
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

}  // namespace tarn_sim
