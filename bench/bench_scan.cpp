// Quote scanner (structural index) throughput per corpus file: scalar, AVX2 and (when the
// processor has it) AVX-512, timed side by side in one run. `make bench` runs
// it; by hand: bench_scan [corpus folder, default ../shared/corpus].
//
// Each variant runs in batches of about 50 ms; the batches of the variants
// are interleaved and the best batch of each counts, so a burst of noise
// hurts one batch rather than one variant.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "simd/cpu_features.hpp"
#include "simd/scanner.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using ScanFn = void (*)(std::string_view, vesk::StructuralIndex&);

constexpr double kBatchSeconds = 0.05;
constexpr int kRounds = 7;

uint64_t g_sink = 0;  // every index's size lands here, so no scan is dead code

// Seconds per scan over `runs` back-to-back scans into one index, whose
// memory is reused as loads reuses it.
double time_batch(ScanFn scan, std::string_view text, int runs) {
    vesk::StructuralIndex index;
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        index.reset(text.size());
        scan(text, index);
        g_sink += index.size();
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / runs;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : "../shared/corpus";
    if (!std::filesystem::is_directory(dir)) {
        std::printf("bench_scan: corpus folder %s not found; nothing to time\n", dir.c_str());
        return 0;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == ".json")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::printf("bench_scan: no *.json files in %s; nothing to time\n", dir.c_str());
        return 0;
    }

    std::vector<ScanFn> variants = {&vesk::scan_scalar, &vesk::scan_avx2};
    const bool avx512 = vesk::use_avx512_scanner();
    if (avx512) variants.push_back(&vesk::scan_avx512);

    std::printf("%-22s %10s %9s %9s %9s %11s %13s\n", "file", "bytes", "scalar", "avx2", "avx512",
                "avx2/scalar", "avx512/scalar");
    std::printf("%-22s %10s %9s %9s %9s\n", "", "", "GB/s", "GB/s", "GB/s");
    for (const auto& path : files) {
        const std::string text = read_file(path);
        const std::string_view view = text;
        std::vector<int> runs;
        std::vector<double> best;
        for (ScanFn scan : variants) {
            const double once = time_batch(scan, view, 1);  // also warms caches
            runs.push_back(std::max(1, static_cast<int>(kBatchSeconds / std::max(once, 1e-9))));
            best.push_back(once);
        }
        for (int round = 0; round < kRounds; ++round)
            for (size_t v = 0; v < variants.size(); ++v)
                best[v] = std::min(best[v], time_batch(variants[v], view, runs[v]));

        auto gbps = [&](size_t v) { return static_cast<double>(text.size()) / best[v] / 1e9; };
        char avx512_gbps[16] = "n/a";
        char avx512_ratio[16] = "n/a";
        if (avx512) {
            std::snprintf(avx512_gbps, sizeof avx512_gbps, "%.2f", gbps(2));
            std::snprintf(avx512_ratio, sizeof avx512_ratio, "%.2fx", gbps(2) / gbps(0));
        }
        std::printf("%-22s %10zu %9.2f %9.2f %9s %10.2fx %13s\n", path.filename().c_str(),
                    text.size(), gbps(0), gbps(1), avx512_gbps, gbps(1) / gbps(0), avx512_ratio);
    }
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(g_sink));
    return 0;
}
