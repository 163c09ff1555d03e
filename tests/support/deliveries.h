// Results delivered to a test's callback, and a request that waits for its
// own delivery: the host's side of csIfGetEstimate in end-to-end tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "tarn_interface.h"

namespace tarn_test {

struct Delivery {
    CsLinkRef link;
    double dest;
    int conf;
};

inline std::mutex gDeliveryMutex;
inline std::condition_variable gDeliveryCond;
inline std::vector<Delivery> gDeliveries;

// A result callback that records every delivery.
inline void recordDelivery(CsEstimate *result, CsRequest *request) {
    std::lock_guard<std::mutex> lock(gDeliveryMutex);
    gDeliveries.push_back({request->linkRef, result->dest, result->conf});
    gDeliveryCond.notify_all();
}

// Requests an estimate and waits (up to 30 s) for the next delivery.
inline bool estimateAndWait(CsLinkRef link, Delivery *out) {
    std::unique_lock<std::mutex> lock(gDeliveryMutex);
    const size_t before = gDeliveries.size();
    lock.unlock();
    if (csIfGetEstimate(link) != 1) return false;
    lock.lock();
    if (!gDeliveryCond.wait_for(lock, std::chrono::seconds(30),
                                [&] { return gDeliveries.size() > before; })) {
        return false;
    }
    *out = gDeliveries.back();
    return true;
}

}  // namespace tarn_test
