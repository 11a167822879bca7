// The rows with AVX-512, built on x86-64 alone.
//
// The 81 fields of a frame's nine rows, 32 at a time in 16-bit lanes: each
// field's value, its sign taken off, is split into five decimal digits by
// multiplications with rounded-up reciprocals; a digit that does not count
// (a leading zero) becomes a zero byte instead of its character, as does the
// sign of a value that is not negative. Eight fields at a time are then laid
// out in eight bytes each (sign, five digits, separator), the zero bytes
// squeezed out with one compress, and the rest stored whole.
//
// The magnitudes come from the same registers: the squares of the counts
// added in 32-bit lanes, then the square roots of their doubles, exactly as
// the portable code computes them (see magnitudes.h).
//
// Field f is column f % 9 of row f / 9. Which word of the frame or which
// magnitude each lane takes is the same for every frame, so every
// permutation is a constant table.
//
// Only this file uses the instructions; its functions carry them as target
// attributes, so that nothing it shares with the rest of the program (the
// inline functions of the headers) is compiled for them.
#include "csv_rows.h"

#include "frame_layout.h"

// GCC 12's intrinsics start many results from a deliberately undefined
// register, which its uninitialised-use warnings report wherever they are
// inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdint>

namespace {

constexpr int COLUMNS = 9;
constexpr int WORDS_PER_SAMPLE = SAMPLE_SIZE / 2;
constexpr int FIELDS = SAMPLES_PER_FRAME * COLUMNS;
// Fields are worked out in sets of 32 and laid out in groups of 8.
constexpr int SETS = (FIELDS + 31) / 32;
constexpr int GROUPS = (FIELDS + 7) / 8;

// Where the magnitudes are among the 16-bit words they are worked out in:
// ASVM of samples 0 to 7, GSVM of samples 0 to 7, then ASVM and GSVM of
// sample 8.
constexpr int asvm_word(int sample)
{
    return sample < 8 ? sample : 16;
}
constexpr int gsvm_word(int sample)
{
    return sample < 8 ? 8 + sample : 17;
}

struct frame_tables {
    // For each set, the word of the samples (0 to 62, in two registers)
    // each field takes, or the magnitude word, and which lanes take which.
    alignas(64) uint16_t sample_word[SETS][32];
    alignas(64) uint16_t magnitude_word[SETS][32];
    uint32_t sample_lanes[SETS];
    uint32_t magnitude_lanes[SETS];
    // The lanes whose field is signed (AX to GZ).
    uint32_t signed_lanes[SETS];
    // For each group, the bytes of its eight fields' lanes: the sign and
    // ten-thousands pair, the thousands and hundreds pair, the tens and
    // units pair (indexes into the set's registers), then the separator.
    // Byte permutations move them, being quicker than word ones.
    alignas(64) unsigned char upper_pairs[GROUPS][64];
    alignas(64) unsigned char lower_pair[GROUPS][64];
    alignas(64) unsigned char separators[GROUPS][64];
    uint64_t upper_pair_bytes[GROUPS];
    uint64_t lower_pair_bytes[GROUPS];
    // The counts each sum of squares adds: X and Y in one 32-bit lane and
    // Z in another register, ASVM's of samples 0 to 7 in lanes 0 to 7 and
    // GSVM's in lanes 8 to 15; sample 8's in lanes 0 and 1 of two more.
    alignas(64) uint16_t xy_words[32];
    alignas(64) uint16_t z_words[32];
    alignas(64) uint16_t last_xy_words[32];
    alignas(64) uint16_t last_z_words[32];
};

constexpr frame_tables make_frame_tables()
{
    frame_tables t{};
    for (int field = 0; field < FIELDS; ++field) {
        const int set = field / 32;
        const int lane = field % 32;
        const int row = field / COLUMNS;
        const int column = field % COLUMNS;
        if (column < WORDS_PER_SAMPLE) {
            t.sample_word[set][lane] = static_cast<uint16_t>(WORDS_PER_SAMPLE * row + column);
            t.sample_lanes[set] |= 1u << lane;
        } else {
            t.magnitude_word[set][lane] = static_cast<uint16_t>(column == WORDS_PER_SAMPLE ? asvm_word(row)
                                                                                           : gsvm_word(row));
            t.magnitude_lanes[set] |= 1u << lane;
        }
        if (column >= 1 && column < WORDS_PER_SAMPLE) {
            t.signed_lanes[set] |= 1u << lane;
        }
        const int group = field / 8;
        const int slot = field % 8;
        // Bytes 0 to 63 of the first pair register, then of the second.
        for (int byte = 0; byte < 2; ++byte) {
            t.upper_pairs[group][8 * slot + byte] = static_cast<unsigned char>(2 * lane + byte);
            t.upper_pairs[group][8 * slot + 2 + byte] = static_cast<unsigned char>(64 + 2 * lane + byte);
            t.lower_pair[group][8 * slot + 4 + byte] = static_cast<unsigned char>(2 * lane + byte);
        }
        t.upper_pair_bytes[group] |= 0xFull << 8 * slot;
        t.lower_pair_bytes[group] |= 0x3ull << (8 * slot + 4);
        const bool last = column == COLUMNS - 1;
        t.separators[group][8 * slot + 6] = last ? '\r' : ',';
        t.separators[group][8 * slot + 7] = last ? '\n' : 0;
    }
    for (int sample = 0; sample < 8; ++sample) {
        const int first = WORDS_PER_SAMPLE * sample + 1;
        t.xy_words[2 * sample] = static_cast<uint16_t>(first);
        t.xy_words[2 * sample + 1] = static_cast<uint16_t>(first + 1);
        t.z_words[2 * sample] = static_cast<uint16_t>(first + 2);
        t.xy_words[16 + 2 * sample] = static_cast<uint16_t>(first + 3);
        t.xy_words[16 + 2 * sample + 1] = static_cast<uint16_t>(first + 4);
        t.z_words[16 + 2 * sample] = static_cast<uint16_t>(first + 5);
    }
    const int first = WORDS_PER_SAMPLE * 8 + 1;
    t.last_xy_words[0] = static_cast<uint16_t>(first);
    t.last_xy_words[1] = static_cast<uint16_t>(first + 1);
    t.last_z_words[0] = static_cast<uint16_t>(first + 2);
    t.last_xy_words[2] = static_cast<uint16_t>(first + 3);
    t.last_xy_words[3] = static_cast<uint16_t>(first + 4);
    t.last_z_words[2] = static_cast<uint16_t>(first + 5);
    return t;
}

constexpr frame_tables TABLE = make_frame_tables();

// The even words of a register: the Z counts, each alone in its 32-bit lane.
constexpr uint32_t EVEN_WORDS = 0x55555555u;

// The instructions of this file, for the functions that use them.
#define AVX512_ROWS __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt")))

// The 63 words of the samples of `frame` in two registers, the second
// loaded only as far as the frame goes.
struct sample_words {
    __m512i low;
    __m512i high;
};

AVX512_ROWS inline sample_words load_samples(const unsigned char* frame)
{
    const unsigned char* samples = frame + FRAME_HEADER_SIZE;
    return {_mm512_loadu_si512(samples),
            _mm512_maskz_loadu_epi8((1ull << (SAMPLES_PER_FRAME * SAMPLE_SIZE - 64)) - 1, samples + 64)};
}

// The magnitudes of the frame's nine samples, in the words asvm_word and
// gsvm_word give. Their square roots take long to come, which is why the
// rows of several frames work them out a frame ahead.
AVX512_ROWS inline __m512i frame_magnitudes_of(const unsigned char* frame)
{
    const sample_words words = load_samples(frame);
    const __m512i low = words.low;
    const __m512i high = words.high;

    // The sums of squares: a multiply-add of each signed pair, then the Z
    // square. Only (-32768)^2 * 2 overflows the first, to 2^31 as unsigned,
    // and every sum is below 2^32, so unsigned 32-bit lanes hold them exactly.
    const __m512i xy = _mm512_permutex2var_epi16(low, _mm512_load_si512(TABLE.xy_words), high);
    const __m512i z = _mm512_maskz_permutex2var_epi16(EVEN_WORDS, low, _mm512_load_si512(TABLE.z_words), high);
    const __m512i sums = _mm512_add_epi32(_mm512_madd_epi16(xy, xy), _mm512_madd_epi16(z, z));
    const __m512i last_xy = _mm512_maskz_permutex2var_epi16(0xF, low, _mm512_load_si512(TABLE.last_xy_words), high);
    const __m512i last_z = _mm512_maskz_permutex2var_epi16(0x5, low, _mm512_load_si512(TABLE.last_z_words), high);
    const __m512i last_sums = _mm512_add_epi32(_mm512_madd_epi16(last_xy, last_xy), _mm512_madd_epi16(last_z, last_z));

    // The magnitudes, with the operations of asvm_of_sum and gsvm_of_sum in
    // their order; sample 8's ASVM and GSVM share a register, where
    // multiplying by 1 leaves a value as it is.
    const __m512d two_to_minus_26 = _mm512_set1_pd(0x1p-26);
    const __m512d accel = _mm512_cvtepu32_pd(_mm512_castsi512_si256(sums));
    const __m512d gyro = _mm512_cvtepu32_pd(_mm512_extracti64x4_epi64(sums, 1));
    const __m256i asvm = _mm512_cvttpd_epi32(
        _mm512_mul_pd(_mm512_sqrt_pd(_mm512_mul_pd(accel, two_to_minus_26)), _mm512_set1_pd(100.0)));
    const __m256i gsvm = _mm512_cvttpd_epi32(
        _mm512_sqrt_pd(_mm512_mul_pd(_mm512_mul_pd(gyro, _mm512_set1_pd(15625.0)), two_to_minus_26)));
    const __m128d last = _mm_cvtepu32_pd(_mm512_castsi512_si128(last_sums));
    const __m128i last_magnitudes = _mm_cvttpd_epi32(
        _mm_mul_pd(_mm_sqrt_pd(_mm_mul_pd(_mm_mul_pd(last, _mm_setr_pd(1.0, 15625.0)), _mm_set1_pd(0x1p-26))),
                   _mm_setr_pd(100.0, 1.0)));
    const __m256i first_words = _mm512_cvtepi32_epi16(_mm512_inserti64x4(_mm512_castsi256_si512(asvm), gsvm, 1));
    const __m256i last_words = _mm512_cvtepi32_epi16(_mm512_zextsi128_si512(last_magnitudes));
    return _mm512_inserti64x4(_mm512_castsi256_si512(first_words), last_words, 1);
}

// Writes the frame's rows at `out` with its `magnitudes`; returns the
// number of bytes.
AVX512_ROWS inline size_t rows_with_magnitudes(const unsigned char* frame, __m512i magnitudes, char* out)
{
    const sample_words words = load_samples(frame);
    const __m512i low = words.low;
    const __m512i high = words.high;
    const __m512i zero = _mm512_setzero_si512();
    const __m512i ten = _mm512_set1_epi16(10);
    const __m512i tenth = _mm512_set1_epi16(static_cast<short>(0xCCCD));
    const __m512i digit_zero = _mm512_set1_epi16('0');
    char* text = out;
    for (int set = 0; set < SETS; ++set) {
        // Each lane's field, its sign taken off: 0 - v in 16 bits is the
        // magnitude of a negative count, 32768 included.
        __m512i v = _mm512_maskz_permutex2var_epi16(TABLE.sample_lanes[set], low,
                                                    _mm512_load_si512(TABLE.sample_word[set]), high);
        v = _mm512_mask_permutexvar_epi16(v, TABLE.magnitude_lanes[set], _mm512_load_si512(TABLE.magnitude_word[set]),
                                          magnitudes);
        const __mmask32 negative = _mm512_mask_test_epi16_mask(TABLE.signed_lanes[set], v, _mm512_set1_epi16(-32768));
        v = _mm512_mask_sub_epi16(v, negative, zero, v);

        // v / 10 is (v * 0xCCCD) >> 19 for every 16-bit v.
        const __m512i q1 = _mm512_srli_epi16(_mm512_mulhi_epu16(v, tenth), 3);
        const __m512i q2 = _mm512_srli_epi16(_mm512_mulhi_epu16(q1, tenth), 3);
        const __m512i q3 = _mm512_srli_epi16(_mm512_mulhi_epu16(q2, tenth), 3);
        const __m512i q4 = _mm512_srli_epi16(_mm512_mulhi_epu16(q3, tenth), 3);
        const __m512i d0 = _mm512_sub_epi16(v, _mm512_mullo_epi16(q1, ten));
        const __m512i d1 = _mm512_sub_epi16(q1, _mm512_mullo_epi16(q2, ten));
        const __m512i d2 = _mm512_sub_epi16(q2, _mm512_mullo_epi16(q3, ten));
        const __m512i d3 = _mm512_sub_epi16(q3, _mm512_mullo_epi16(q4, ten));
        // The characters; a digit above the value's first is a zero byte.
        const __m512i units = _mm512_add_epi16(d0, digit_zero);
        const __m512i tens = _mm512_maskz_add_epi16(_mm512_cmpge_epu16_mask(v, ten), d1, digit_zero);
        const __m512i hundreds = _mm512_maskz_add_epi16(_mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(100)), d2,
                                                        digit_zero);
        const __m512i thousands = _mm512_maskz_add_epi16(_mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(1000)), d3,
                                                         digit_zero);
        const __m512i ten_thousands = _mm512_maskz_add_epi16(_mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(10000)), q4,
                                                             digit_zero);
        const __m512i sign = _mm512_maskz_mov_epi16(negative, _mm512_set1_epi16('-'));
        // The pairs of characters in the order they are written.
        const __m512i sign_pair = _mm512_or_si512(sign, _mm512_slli_epi16(ten_thousands, 8));
        const __m512i middle_pair = _mm512_or_si512(thousands, _mm512_slli_epi16(hundreds, 8));
        const __m512i last_pair = _mm512_or_si512(tens, _mm512_slli_epi16(units, 8));

        for (int group = 4 * set; group < 4 * set + 4 && group < GROUPS; ++group) {
            const __m512i upper = _mm512_maskz_permutex2var_epi8(
                TABLE.upper_pair_bytes[group], sign_pair, _mm512_load_si512(TABLE.upper_pairs[group]), middle_pair);
            const __m512i lower = _mm512_maskz_permutexvar_epi8(TABLE.lower_pair_bytes[group],
                                                                _mm512_load_si512(TABLE.lower_pair[group]), last_pair);
            // upper | lower | separators.
            const __m512i bytes = _mm512_ternarylogic_epi64(upper, lower, _mm512_load_si512(TABLE.separators[group]),
                                                            0xFE);
            const uint64_t keep = _mm512_test_epi8_mask(bytes, bytes);
            _mm512_storeu_si512(text, _mm512_maskz_compress_epi8(keep, bytes));
            text += _mm_popcnt_u64(keep);
        }
    }
    return static_cast<size_t>(text - out);
}

}  // namespace

AVX512_ROWS size_t format_marked_rows_avx512(const unsigned char* frames, size_t count, char* out)
{
    char* text = out;
    __m512i next = count > 0 ? frame_magnitudes_of(frames) : _mm512_setzero_si512();
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* frame = frames + i * FRAME_SIZE;
        // The next frame's magnitudes are begun before this frame's rows,
        // so that their roots are under way while the digits are worked out.
        const __m512i magnitudes = next;
        if (i + 1 < count) {
            next = frame_magnitudes_of(frame + FRAME_SIZE);
        }
        if (read_frame_header(frame).magic == FRAME_MAGIC) {
            text += rows_with_magnitudes(frame, magnitudes, text);
        }
    }
    return static_cast<size_t>(text - out);
}

bool avx512_rows_supported()
{
    // The processor's features may be asked for before the constructors
    // that fill them in have run.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
}
