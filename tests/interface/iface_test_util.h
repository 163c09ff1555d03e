// Helpers for the service interface tests: a recording result callback and a
// builder of round-trip-time procedures.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "interface/link_state.h"
#include "tarn.h"

namespace tarn_test {

struct Delivery {
    CsLinkRef link;
    double dest;
    int conf;
};

// Records every delivered result, process-wide (the callback has no user data).
class Deliveries {
  public:
    static Deliveries &instance() {
        static Deliveries d;
        return d;
    }

    static void callback(CsEstimate *result, CsRequest *request) {
        instance().record(request->linkRef, result->dest, result->conf);
    }

    void record(CsLinkRef link, double dest, int conf) {
        std::lock_guard<std::mutex> lock(m_);
        all_.push_back({link, dest, conf});
        cv_.notify_all();
    }

    int count(CsLinkRef link) const {
        std::lock_guard<std::mutex> lock(m_);
        int n = 0;
        for (const auto &d : all_) n += d.link == link ? 1 : 0;
        return n;
    }

    // Deliveries of the given links, in delivery order.
    std::vector<Delivery> of(const std::vector<CsLinkRef> &links) const {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<Delivery> out;
        for (const auto &d : all_) {
            for (CsLinkRef l : links) {
                if (d.link == l) out.push_back(d);
            }
        }
        return out;
    }

    // Waits until `link` has at least `n` deliveries; false on timeout.
    bool waitFor(CsLinkRef link, int n, int timeoutMs = 20000) const {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            int c = 0;
            for (const auto &d : all_) c += d.link == link ? 1 : 0;
            return c >= n;
        });
    }

  private:
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<Delivery> all_;
};

// The library's state of a registered link (made on first use); the caller
// holds the registry lock.
inline TarnLinkState &linkState(CsLinkRef link) {
    TarnLinkState *st = tarn_iface::linkStateLocked(csContextListGetItem(link));
    if (st == nullptr) std::abort();
    return *st;
}

inline CsInitRecord recordingInit() {
    return CsInitRecord{&Deliveries::callback};
}

// Creates a link that reports to Deliveries.
inline void createLink(CsLinkRef link) {
    const CsInitRecord init = recordingInit();
    csIfInit(link, &init);
}

// Queues one estimate and waits for its delivery (the worker answers in
// queue order, so everything queued before has been served as well).
inline bool estimateAndWait(CsLinkRef link, int timeoutMs = 20000) {
    const int before = Deliveries::instance().count(link);
    if (csIfGetEstimate(link) != 1) return false;
    return Deliveries::instance().waitFor(link, before + 1, timeoutMs);
}

// A procedure of mode-1 steps, all with the same ToA_ToD pair and initiator
// quality 0.
struct RttProcedure {
    std::vector<uint8_t> channels;
    std::vector<uint8_t> modes;
    std::vector<CsStepResult> init;
    std::vector<CsStepResult> refl;
    CsMeasurement meas{};

    RttProcedure(int steps, int16_t initTime, int16_t reflTime, uint32_t timeUs)
        : channels(steps), modes(steps, 1), init(steps), refl(steps) {
        for (int i = 0; i < steps; ++i) {
            channels[i] = static_cast<uint8_t>(2 + i % 70);
            init[i].mode1.aaQual = 0;
            init[i].mode1.timeEst = initTime;
            refl[i].mode1.timeEst = reflTime;
        }
        meas.channels = channels.data();
        meas.modes = modes.data();
        meas.NAP = 1;
        meas.initSteps = init.data();
        meas.reflSteps = refl.data();
        meas.N = static_cast<uint16_t>(steps);
        meas.timeUs = timeUs;
    }
};

}  // namespace tarn_test
