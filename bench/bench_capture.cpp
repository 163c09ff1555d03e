// Capture import speed: a simulated initiator's snoop log (2 antenna paths,
// 4 subevents, real-time RAS at ATT MTU 247) imported from memory and from a
// file, in octets of capture per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>

#include "importer.h"
#include "writer.h"

namespace {

const std::vector<uint8_t> &sampleCapture(int mtu) {
    static std::vector<uint8_t> captures[2];
    std::vector<uint8_t> &c = captures[mtu == 23 ? 1 : 0];
    if (c.empty()) {
        tarn_sim::SimConfig s;
        s.trajectory = tarn_sim::Trajectory::still(3.0);
        s.nap = 2;
        s.procedures = 2000;
        tarn_sim::Simulator sim(s);
        tarn_capture::CaptureWriterOptions o;
        o.attMtu = mtu;
        o.aclDataLength = mtu == 23 ? 27 : 251;
        tarn_capture::CaptureWriter w(o);
        std::string why;
        for (int i = 0; i < s.procedures; ++i) w.write(sim.next(), &why);
        c = w.data();
    }
    return c;
}

void importAll(tarn_capture::CaptureImporter &imp, benchmark::State &state) {
    tarn_capture::ImportedProcedure p;
    long n = 0;
    while (imp.next(&p)) ++n;
    if (n != 2000) state.SkipWithError("not every procedure imported");
    benchmark::DoNotOptimize(n);
}

void BM_CaptureImportMemory(benchmark::State &state) {
    const std::vector<uint8_t> &c = sampleCapture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        tarn_capture::CaptureImporter imp;
        std::string why;
        imp.openMemory(c.data(), c.size(), &why);
        importAll(imp, state);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.size()));
}
BENCHMARK(BM_CaptureImportMemory)->Arg(247)->Arg(23)->Unit(benchmark::kMillisecond);

void BM_CaptureImportFile(benchmark::State &state) {
    const std::vector<uint8_t> &c = sampleCapture(247);
    char path[] = "/tmp/tarn_bench_capture_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size())) {
        state.SkipWithError("cannot write the sample capture");
        return;
    }
    close(fd);
    for (auto _ : state) {
        tarn_capture::CaptureImporter imp;
        std::string why;
        if (!imp.openFile(path, &why)) state.SkipWithError(why.c_str());
        importAll(imp, state);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.size()));
    unlink(path);
}
BENCHMARK(BM_CaptureImportFile)->Unit(benchmark::kMillisecond);

}  // namespace
