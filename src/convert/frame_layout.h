// The frame file's layout: 132-byte frames of a six-byte header and nine
// samples, every field little-endian. A sample is 14 bytes: the sequence
// number (unsigned) and the six axes AX, AY, AZ, GX, GY, GZ (signed), each
// 16 bits.
#ifndef QUENDIX_CONVERT_FRAME_LAYOUT_H
#define QUENDIX_CONVERT_FRAME_LAYOUT_H

#include <cstdint>

constexpr int FRAME_SIZE = 132;
constexpr int FRAME_HEADER_SIZE = 6;
constexpr int SAMPLE_SIZE = 14;
constexpr int SAMPLES_PER_FRAME = 9;
constexpr uint16_t FRAME_MAGIC = 0x4453;
constexpr double ACCEL_SCALE = 8192.0;
constexpr double GYRO_SCALE = 65.536;

static_assert(FRAME_HEADER_SIZE + SAMPLES_PER_FRAME * SAMPLE_SIZE == FRAME_SIZE,
              "a frame is its header and nine samples");

// The first six bytes of a frame. The page word holds the page number in
// bits 0 to 14 and the R flag in bit 15.
struct frame_header {
    uint16_t magic;
    uint16_t block;
    uint16_t page_word;
};

// The little-endian unsigned 16-bit field at `p`.
inline uint16_t load_u16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The little-endian signed 16-bit field at `p`.
inline int16_t load_i16(const unsigned char* p)
{
    return static_cast<int16_t>(load_u16(p));
}

// The header at the start of `frame`.
inline frame_header read_frame_header(const unsigned char* frame)
{
    return frame_header{load_u16(frame), load_u16(frame + 2), load_u16(frame + 4)};
}

#endif
