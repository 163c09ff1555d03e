// Log texts hosts rely on (read by log scrapers and field tools), shared by
// the code that writes them and the tests that check them.
#pragma once

namespace tarn_diag {

// The delivered result, logged by the worker before each callback
// (distance in 1/distSF metre, confidence in percent).
constexpr char kLogFinalDistance[] = "Final Distance: %lf Confidence: %d \n";
// The round-trip-time estimator's result, once per run (metres, confidence).
constexpr char kLogRttDistance[] = "[Filter] RTT Distance: %lf Confidence: %d \n";

}  // namespace tarn_diag
