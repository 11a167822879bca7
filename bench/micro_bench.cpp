// Micro-benchmarks: the CSV rows of a frame and of many, by the formatter
// the program chooses and by each one this build and processor have, and a
// frame's magnitudes by their plain definition and as the conversion
// computes them, over the frames of a generated recording.
#include "csv_rows.h"
#include "frame_gen.h"
#include "magnitudes.h"
#include "support/reference.h"
#include "support/rows.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

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

// The rows of one frame at a time by `format`.
void format_rows(benchmark::State& state, rows_formatter format)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    static char out[CSV_FRAME_ROWS_MAX];
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(frames + frame * FRAME_SIZE, 1, out));
        benchmark::ClobberMemory();
        frame = (frame + 1) % FRAMES;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAME_SIZE);
}

// The rows of the whole recording's marked frames in one call by `format`,
// as the conversion formats a chunk; the time is per frame.
void format_marked(benchmark::State& state, rows_formatter format)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    static std::string out(rows_room(FRAMES), '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(frames, FRAMES, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * FRAMES);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAMES * FRAME_SIZE);
}

// The magnitudes of a frame's samples by their definition, one sample at a
// time.
frame_magnitudes magnitudes_by_definition(const unsigned char* samples)
{
    frame_magnitudes m;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        const unsigned char* p = samples + SAMPLE_SIZE * i;
        m.asvm[i] = asvm_by_definition(load_i16(p + 2), load_i16(p + 4), load_i16(p + 6));
        m.gsvm[i] = gsvm_by_definition(load_i16(p + 8), load_i16(p + 10), load_i16(p + 12));
    }
    return m;
}

template <frame_magnitudes (*Magnitudes)(const unsigned char*)>
void compute_magnitudes(benchmark::State& state)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Magnitudes(frames + frame * FRAME_SIZE + FRAME_HEADER_SIZE));
        frame = (frame + 1) % FRAMES;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * SAMPLES_PER_FRAME);
}

BENCHMARK_TEMPLATE(compute_magnitudes, magnitudes_by_definition)->Name("magnitudes_definition");
BENCHMARK_TEMPLATE(compute_magnitudes, magnitudes_of_frame)->Name("magnitudes_frame");

}  // namespace

int main(int argc, char** argv)
{
    // format_rows and format_marked_rows by the formatter the program
    // chooses, then "_portable", "_avx512" and so on by each one listed.
    benchmark::RegisterBenchmark("format_rows", format_rows, format_marked_rows);
    benchmark::RegisterBenchmark("format_marked_rows", format_marked, format_marked_rows);
    for (const named_rows_formatter& f : available_rows_formatters()) {
        benchmark::RegisterBenchmark((std::string("format_rows_") + f.name).c_str(), format_rows, f.format);
        benchmark::RegisterBenchmark((std::string("format_marked_rows_") + f.name).c_str(), format_marked, f.format);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
