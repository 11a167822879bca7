// Making frame files: frames encoded byte by byte, and whole synthetic
// recordings for examples, tests and benchmarks.
#ifndef QUENDIX_TOOLS_FRAME_GEN_H
#define QUENDIX_TOOLS_FRAME_GEN_H

#include <cstdint>
#include <cstdio>
#include <string>

constexpr int GEN_FRAME_SIZE = 132;
constexpr uint16_t GEN_FRAME_MAGIC = 0x4453;

// One sample as it is recorded.
struct gen_sample {
    uint16_t seqno;
    int16_t ax, ay, az;
    int16_t gx, gy, gz;
};

// One frame as it is recorded.
struct gen_frame {
    uint16_t magic;
    uint16_t block;
    uint16_t page_word;
    gen_sample samples[9];
};

// A valid frame at (`block`, `page_word`) whose samples are all zero.
gen_frame make_frame(uint16_t block, uint16_t page_word);

// Writes the 132 little-endian bytes of `frame` to `out`.
void encode_frame(const gen_frame& frame, unsigned char* out);

// The bytes of `frame`, as a string for building test files.
std::string frame_bytes(const gen_frame& frame);

// The 132 bytes of a frame without the marker: every byte 0xFF, as erased
// storage reads.
std::string erased_frame_bytes();

// What a synthetic recording holds.
struct recording_options {
    uint64_t frames = 100;     // whole frames
    uint16_t start_block = 1;  // position of the first frame
    uint16_t start_page = 0;
    int end_block = 510;         // block after which positions wrap to 1
    uint64_t jump_every = 0;     // every Nth frame skips 3 pages ahead (0: never)
    uint64_t missing_every = 0;  // every Nth frame lacks the marker (0: never)
    uint64_t r_flag_every = 0;   // every Nth frame has the R flag (0: never)
    unsigned fragment = 0;       // bytes of a trailing partial frame (0 to 131)
    uint32_t seed = 1;           // seeds the axis values
};

// Streams the recording described by `options` to `out`. Axis values look
// like a sensor at rest with noise and slow motion, and are the same for the
// same options on every platform. Returns 0, or -1 when a write failed.
int write_recording(FILE* out, const recording_options& options);

#endif
