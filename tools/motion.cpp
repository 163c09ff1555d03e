#include "motion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace tarn_sim {

bool parseTracking(const std::string &name, int *mode) {
    if (name == "still" || name == "0") {
        *mode = 0;
        return true;
    }
    if (name == "moving" || name == "1") {
        *mode = 1;
        return true;
    }
    return false;
}

void addTrackingOption(CLI::App *app, std::string *tracking, bool withBoth) {
    if (withBoth) {
        app->add_option("--tracking", *tracking,
                        "the link's tracking mode: still (the default tracking), moving "
                        "(follows moving targets; tarnSetTrackingMode 1), or both (a second "
                        "link in mode moving on the same procedures: its final distance in "
                        "the summary and the chart)")
            ->check(CLI::IsMember({"still", "moving", "both"}))
            ->capture_default_str();
        return;
    }
    app->add_option("--tracking", *tracking,
                    "the links' tracking mode for the static points: still (the default "
                    "tracking) or moving (tarnSetTrackingMode 1); the moving points run in "
                    "both")
        ->check(CLI::IsMember({"still", "moving"}))
        ->capture_default_str();
}

void addCombinationOption(CLI::App *app, std::string *combination) {
    app->add_option("--combination", *combination,
                    "how the link combines its phase and round-trip distances: specified (the "
                    "specified rule) or guarded (the round trip bounds the result from below; "
                    "tarnSetCombination 1)")
        ->check(CLI::IsMember({"specified", "guarded"}))
        ->capture_default_str();
}

std::string trackingNote(const std::string &tracking) {
    if (tracking == "both") return ", tracking still and (second link) moving";
    int mode = 0;
    return parseTracking(tracking, &mode) && mode == 1 ? ", tracking moving" : "";
}

const char *trackingName(int mode) {
    return mode == 1 ? "moving" : "still";
}

std::string trackingSuffix(int mode) {
    return mode == 1 ? " (moving)" : "";
}

std::vector<TimingPoint> timingAxis() {
    return {{"fast", {15, 10, 10, 10, 0, 1, 0}},
            {"mid", {60, 80, 40, 20, 10, 1, 0}},
            {"phone", {150, 145, 145, 40, 10, 1, 0}}};
}

bool parseTiming(const std::string &text, StepTiming *timing, std::string *why) {
    if (text == "none") {
        *timing = StepTiming();
        return true;
    }
    for (const TimingPoint &tp : timingAxis())
        if (text == tp.name) {
            *timing = tp.timing;
            return true;
        }
    std::vector<long> v;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        char *end = nullptr;
        const long x = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || end == nullptr || *end != '\0' || x < 0 || x > 65535) {
            *why = "bad --timing value '" + item + "' in '" + text + "'";
            return false;
        }
        v.push_back(x);
    }
    if (v.size() < 4 || v.size() > 7 || (v.size() > 4 && v[4] > 255) ||
        (v.size() > 5 && v[5] > 255) || (v.size() > 6 && v[6] > 255)) {
        *why = "--timing expects FCS,IP1,IP2,PM[,SW[,PHY[,RTT]]] in microseconds, fast, mid, "
               "phone or none (got '" + text + "')";
        return false;
    }
    StepTiming t;
    t.tFcsUs = static_cast<uint16_t>(v[0]);
    t.tIp1Us = static_cast<uint16_t>(v[1]);
    t.tIp2Us = static_cast<uint16_t>(v[2]);
    t.tPmUs = static_cast<uint16_t>(v[3]);
    t.tSwUs = static_cast<uint8_t>(v.size() > 4 ? v[4] : 0);
    t.phy = static_cast<uint8_t>(v.size() > 5 ? v[5] : 1);
    t.rttType = static_cast<uint8_t>(v.size() > 6 ? v[6] : 0);
    if (!t.known()) {
        *timing = StepTiming();
        return true;
    }
    const std::string fault = stepTimingFault(t);
    if (!fault.empty() || t.phy == 0) {
        *why = "--timing " + text + ": " + (fault.empty() ? "the PHY must be 1 to 3" : fault);
        return false;
    }
    *timing = t;
    return true;
}

std::string timingText(const StepTiming &t) {
    if (!t.known()) return "none";
    std::ostringstream os;
    os << t.tFcsUs << ',' << t.tIp1Us << ',' << t.tIp2Us << ',' << t.tPmUs << ','
       << static_cast<int>(t.tSwUs);
    return os.str();
}

std::vector<MotionPoint> motionPoints() {
    std::vector<MotionPoint> out;
    out.push_back({"walk", Trajectory::outAndBack(0.5, 10.0, 1.0), false});
    Trajectory fast;
    fast.setPoints({{0.0, 0.5}, {10.0, 20.5}});
    out.push_back({"2 m/s", fast, false});
    Trajectory faster;
    faster.setPoints({{0.0, 0.5}, {10.0, 30.5}});
    out.push_back({"3 m/s", faster, false});
    out.push_back({"reversal", Trajectory::outAndBack(0.5, 10.0, 2.0), true});
    Trajectory stopGo;
    stopGo.setPoints({{0.0, 1.0},
                      {2.0, 4.0},
                      {3.0, 4.0},
                      {5.0, 7.0},
                      {6.0, 7.0},
                      {8.0, 4.0},
                      {9.0, 4.0},
                      {11.0, 1.0},
                      {12.0, 1.0}});
    out.push_back({"stop-and-go", stopGo, true});
    return out;
}

double stopOvershootM(const Trajectory &t, double intervalS,
                      const std::vector<std::optional<double>> &estimates) {
    const std::vector<Trajectory::Point> &pts = t.points();
    double worst = NAN;
    for (size_t i = 1; i < pts.size(); ++i) {
        const double dir = pts[i].d - pts[i - 1].d;
        if (dir == 0.0) continue;  // a stop segment itself
        // Where the motion ends and until when it stays behind that point.
        const double tStop = pts[i].t;
        double tEnd = tStop + 1.0;
        if (i + 1 < pts.size()) {
            const double next = pts[i + 1].d - pts[i].d;
            if (next * dir > 0.0) continue;  // keeps going the same way
            if (next == 0.0) tEnd = pts[i + 1].t;
        } else {
            tEnd = tStop + 1.0;  // held after the last point
        }
        const double sign = dir > 0.0 ? 1.0 : -1.0;
        for (size_t k = 0; k < estimates.size(); ++k) {
            const double tk = k * intervalS;
            if (tk < tStop - 1e-9 || tk > tEnd + 1e-9 || !estimates[k]) continue;
            const double past = std::max(0.0, (*estimates[k] - pts[i].d) * sign);
            worst = std::isnan(worst) ? past : std::max(worst, past);
        }
    }
    return worst;
}

}  // namespace tarn_sim
