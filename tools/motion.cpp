#include "motion.h"

#include <algorithm>
#include <cmath>

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
