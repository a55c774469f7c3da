// Benchmark, not a test: a full 516,096-byte programming session (24 chunks
// written and read back) over the simulator's pty, for a version-1 monitor
// (native ROM monitor) and a version-2 one (the SRAM monitor image runs the
// line in the emulated CPU). Prints wall time and the simulator's counts.
//
// Usage: session_bench [v1|v2]...   (default: both)
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/images_session.h"
#include "sim/sim_client.h"

namespace {

// "key: value" from the simulator's summary, or "?" when missing.
std::string Figure(const std::string& summary, const std::string& key) {
    size_t at = summary.find(key + ": ");
    if (at == std::string::npos) return "?";
    at += key.size() + 2;
    return summary.substr(at, summary.find('\n', at) - at);
}

int RunOne(bool version2) {
    std::vector<uint8_t> image(24 * images_session::kChunk);
    uint32_t x = 7;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    sim::SimClient client;
    std::string error;
    const char* version = version2 ? "v2.0 Jan 01 2010" : "v1.4 Nov 10 2006";
    if (!client.Start(QUILLMERE_SIM_PATH, {"--version", version, "--timeout", "1800"}, &error) ||
        !client.OpenPort(1)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", error.c_str());
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    images_session::Session session(&client, QUILLMERE_SOURCE_DIR);
    bool ok = session.Run(version2, image, &error);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    client.ClosePort();
    client.Stop();
    std::string summary = client.ReadFile("summary.txt");
    std::printf("%s monitor: %s in %.2f s wall; instructions %s, MMIO accesses %s, chip cycles %s, lost bytes %s\n",
                version2 ? "v2 (SRAM monitor)" : "v1 (ROM monitor)", ok ? "session done" : error.c_str(), seconds,
                Figure(summary, "instructions").c_str(), Figure(summary, "mmio_accesses").c_str(),
                Figure(summary, "cycles").c_str(), Figure(summary, "lost_bytes").c_str());
    if (!ok) std::printf("simulator log:\n%s", client.ReadFile("sim.log").c_str());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> which(argv + 1, argv + argc);
    if (which.empty()) which = {"v1", "v2"};
    int status = 0;
    for (const std::string& w : which) status |= RunOne(w == "v2");
    return status;
}
