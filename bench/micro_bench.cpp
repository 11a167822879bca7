// Micro-benchmarks: the CSV rows of a frame and of many, and a frame's magnitudes by
// their plain definition and as the conversion computes them, over the
// frames of a generated recording.
#include "convert/csv_row.h"
#include "convert/csv_rows_avx512.h"
#include "convert/fast_magnitudes.h"
#include "frame_gen.h"
#include "support/reference.h"

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

template <size_t (*Format)(const unsigned char*, char*)>
void format_rows(benchmark::State& state)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    static char out[CSV_FRAME_ROWS_MAX];
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Format(frames + frame * FRAME_SIZE, out));
        benchmark::ClobberMemory();
        frame = (frame + 1) % FRAMES;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAME_SIZE);
}
// The formatter chosen for the processor, one frame at a time.
size_t format_one_frame(const unsigned char* frame, char* out)
{
    return format_marked_rows(frame, 1, out);
}
BENCHMARK(format_rows<format_one_frame>)->Name("format_rows");
BENCHMARK(format_rows<format_frame_rows_portable>)->Name("format_rows_portable");

// The AVX-512 formatter, where the processor has it.
void format_rows_avx512(benchmark::State& state)
{
    if (!avx512_rows_supported()) {
        state.SkipWithError("this processor lacks AVX-512 F, BW, VL, VBMI or VBMI2");
        return;
    }
    format_rows<format_frame_rows_avx512>(state);
}
BENCHMARK(format_rows_avx512);

// The rows of the whole recording's marked frames in one call, as the
// conversion formats a chunk; the time is per frame.
void format_marked(benchmark::State& state)
{
    const std::string& bytes = recording();
    const auto* frames = reinterpret_cast<const unsigned char*>(bytes.data());
    static std::string out(FRAMES * CSV_FRAME_ROWS_LONGEST + CSV_ROWS_SLACK, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_marked_rows(frames, FRAMES, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * FRAMES);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAMES * FRAME_SIZE);
}
BENCHMARK(format_marked)->Name("format_marked_rows");

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

BENCHMARK_MAIN();
