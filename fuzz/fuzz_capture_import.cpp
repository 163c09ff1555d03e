// Fuzzes the capture importer: arbitrary octets as a btsnoop file, and the
// same octets behind a valid file header (so mutations land in the records),
// with RAS handles given for the writer's layout so that bodies get parsed.
// Every procedure is drained and the report printed; the RAS body parser is
// also run on the raw input with each layout.
#include <cstdint>
#include <sstream>
#include <vector>

#include "importer.h"

using namespace tarn_capture;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint32_t kDatalinks[] = {kDatalinkH4, kDatalinkH1, kDatalinkMonitor, kDatalinkH4};
    for (int variant = 0; variant < 2; ++variant) {
        std::vector<uint8_t> buf;
        const uint8_t *p = data;
        size_t n = size;
        if (variant == 1) {
            const uint32_t link = kDatalinks[size > 0 ? data[0] & 3 : 0];
            buf = {'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1, 0, 0,
                   static_cast<uint8_t>(link >> 8), static_cast<uint8_t>(link)};
            buf.insert(buf.end(), data, data + size);
            p = buf.data();
            n = buf.size();
        }
        ImportOptions o;
        o.guessRas = (size & 1) != 0;
        o.oneSided = (size & 2) != 0;
        o.joinWindow = 1 + static_cast<int>(size % 5);
        o.maxConnections = 4;
        o.rasHandles = {{0x0040, 0x0024, RasChar::RealTime},
                        {0x0040, 0x0027, RasChar::OnDemand},
                        {0x0040, 0x002A, RasChar::ControlPoint},
                        {0x0040, 0x0030, RasChar::Overwritten}};
        CaptureImporter imp(o);
        std::string why;
        if (!imp.openMemory(p, n, &why)) continue;
        ImportedProcedure ip;
        size_t steps = 0;
        while (imp.next(&ip))
            for (const auto &se : ip.procedure.initiator) steps += se.steps.size();
        std::ostringstream os;
        imp.report().print(os);
        if (steps > (size_t(1) << 30)) return 1;  // keeps the loop from being optimised away
    }
    for (int k = 0; k < 4; ++k) {
        StepLayout l;
        l.role = k & 1 ? Role::Reflector : Role::Initiator;
        l.pct = k >= 2;
        l.pctSize = k == 3 ? 3 : 4;
        RasBody b;
        parseRasBody(data, size, l, &b);
        std::vector<WireStep> steps;
        StepDecodeStats st;
        l.nap = static_cast<int>(size % 4) + 1;
        decodeHciSteps(data, size, 255, l, &steps, &st);
    }
    return 0;
}
