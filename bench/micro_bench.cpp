// Micro-benchmarks: the CSV rows of a frame, and the magnitudes by the plain
// definition and by the fast path, over frames of a generated recording.
#include "convert/csv_row.h"
#include "convert/fast_magnitudes.h"
#include "convert/frame_file.h"
#include "frame_gen.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int FRAMES = 4096;

// The bytes of a realistic recording of FRAMES frames.
const std::string& recording()
{
    static const std::string bytes = [] {
        std::string text;
        FILE* file = std::tmpfile();
        recording_options options;
        options.frames = FRAMES;
        if (file != nullptr && write_recording(file, options) == 0) {
            std::rewind(file);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                text.append(buffer, n);
            }
        }
        if (file != nullptr) {
            std::fclose(file);
        }
        return text;
    }();
    return bytes;
}

std::vector<sample> samples()
{
    const std::string& bytes = recording();
    std::vector<sample> all;
    for (size_t f = 0; f + FRAME_SIZE <= bytes.size(); f += FRAME_SIZE) {
        for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
            all.push_back(read_sample(reinterpret_cast<const unsigned char*>(bytes.data() + f), i));
        }
    }
    return all;
}

void format_rows(benchmark::State& state)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    static char out[CSV_FRAME_ROWS_MAX];
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_frame_rows(frames + frame * FRAME_SIZE, out));
        benchmark::ClobberMemory();
        frame = (frame + 1) % FRAMES;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAME_SIZE);
}
BENCHMARK(format_rows);

template <magnitudes (*Magnitudes)(const sample&)>
void compute_magnitudes(benchmark::State& state)
{
    const std::vector<sample> all = samples();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Magnitudes(all[i]));
        i = (i + 1) % all.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

magnitudes fast(const sample& s)
{
    return fast_magnitudes(s);
}

BENCHMARK_TEMPLATE(compute_magnitudes, sample_magnitudes)->Name("magnitudes_definition");
BENCHMARK_TEMPLATE(compute_magnitudes, fast)->Name("magnitudes_fast");

}  // namespace

BENCHMARK_MAIN();
