#include "frame_gen.h"

#include <cstring>

gen_frame make_frame(uint16_t block, uint16_t page_word)
{
    gen_frame frame = {};
    frame.magic = GEN_FRAME_MAGIC;
    frame.block = block;
    frame.page_word = page_word;
    return frame;
}

static unsigned char* put_u16(unsigned char* out, uint16_t value)
{
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>(value >> 8);
    return out + 2;
}

static unsigned char* put_i16(unsigned char* out, int16_t value)
{
    return put_u16(out, static_cast<uint16_t>(value));
}

void encode_frame(const gen_frame& frame, unsigned char* out)
{
    out = put_u16(out, frame.magic);
    out = put_u16(out, frame.block);
    out = put_u16(out, frame.page_word);
    for (const gen_sample& s : frame.samples) {
        out = put_u16(out, s.seqno);
        out = put_i16(out, s.ax);
        out = put_i16(out, s.ay);
        out = put_i16(out, s.az);
        out = put_i16(out, s.gx);
        out = put_i16(out, s.gy);
        out = put_i16(out, s.gz);
    }
}

std::string frame_bytes(const gen_frame& frame)
{
    unsigned char bytes[GEN_FRAME_SIZE];
    encode_frame(frame, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string erased_frame_bytes()
{
    return std::string(GEN_FRAME_SIZE, '\xFF');
}

namespace {

// A small deterministic generator, so recordings are identical everywhere.
struct noise {
    uint32_t state;
    int next(int spread)  // uniform in [-spread, spread]
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 8) % static_cast<uint32_t>(2 * spread + 1)) - spread;
    }
};

int16_t clamp16(int value)
{
    return static_cast<int16_t>(value < -32768 ? -32768 : (value > 32767 ? 32767 : value));
}

// A triangle wave of period 2048 samples and amplitude `peak`: slow motion
// without floating point, so the values do not depend on the math library.
int slow_motion(uint64_t t, int peak)
{
    const int phase = static_cast<int>(t % 2048);
    const int rising = phase < 1024 ? phase : 2048 - phase;
    return (rising - 512) * peak / 512;
}

void advance_position(uint16_t* block, uint16_t* page, int end_block)
{
    if (++*page < 512) {
        return;
    }
    *page = 0;
    if (++*block > end_block) {
        *block = 1;
    }
}

}  // namespace

int write_recording(FILE* out, const recording_options& options)
{
    noise rng{options.seed * 2654435761u + 1};
    uint16_t block = options.start_block;
    uint16_t page = options.start_page;
    uint16_t seqno = 0;
    uint64_t t = 0;
    unsigned char bytes[GEN_FRAME_SIZE];
    for (uint64_t n = 1; n <= options.frames; ++n) {
        if (options.jump_every != 0 && n % options.jump_every == 0) {
            for (int skip = 0; skip < 3; ++skip) {
                advance_position(&block, &page, options.end_block);
            }
        }
        gen_frame frame = make_frame(block, page);
        if (options.r_flag_every != 0 && n % options.r_flag_every == 0) {
            frame.page_word = static_cast<uint16_t>(frame.page_word | 0x8000);
        }
        for (gen_sample& s : frame.samples) {
            s.seqno = seqno++;
            s.ax = clamp16(slow_motion(t, 3000) + rng.next(200));
            s.ay = clamp16(slow_motion(t + 512, 2000) + rng.next(200));
            s.az = clamp16(8192 + rng.next(300));
            s.gx = clamp16(slow_motion(t + 256, 6000) + rng.next(150));
            s.gy = clamp16(rng.next(400));
            s.gz = clamp16(slow_motion(t + 768, 1500) + rng.next(150));
            ++t;
        }
        if (options.missing_every != 0 && n % options.missing_every == 0) {
            std::memset(bytes, 0xFF, sizeof bytes);
        } else {
            encode_frame(frame, bytes);
        }
        if (std::fwrite(bytes, 1, sizeof bytes, out) != sizeof bytes) {
            return -1;
        }
        advance_position(&block, &page, options.end_block);
    }
    if (options.fragment > 0) {
        gen_frame frame = make_frame(block, page);
        encode_frame(frame, bytes);
        const size_t size = options.fragment < sizeof bytes ? options.fragment : sizeof bytes - 1;
        if (std::fwrite(bytes, 1, size, out) != size) {
            return -1;
        }
    }
    return 0;
}
