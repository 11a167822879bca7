#include "convert/frame_file.h"

#include <gtest/gtest.h>

namespace {

struct magnitude_case {
    int16_t x, y, z;
    int expected;
};

sample accel_sample(int16_t x, int16_t y, int16_t z)
{
    return sample{0, x, y, z, 0, 0, 0};
}

sample gyro_sample(int16_t x, int16_t y, int16_t z)
{
    return sample{0, 0, 0, 0, x, y, z};
}

TEST(SampleMagnitudes, AccelerationInHundredthsOf8192Counts)
{
    const magnitude_case cases[] = {
        {8192, 0, 0, 100},          {-8192, 0, 0, 100},          {8192, 8192, 0, 141},
        {4096, 4096, 4096, 86},     {100, 200, 300, 4},          {-32768, -32768, -32768, 692},
        {32767, 32767, 32767, 692}, {0, 0, 0, 0},                {0, 0, 8192, 100},
    };
    for (const magnitude_case& c : cases) {
        const magnitudes m = sample_magnitudes(accel_sample(c.x, c.y, c.z));
        EXPECT_EQ(m.asvm, c.expected) << "(" << c.x << ", " << c.y << ", " << c.z << ")";
        EXPECT_EQ(m.gsvm, 0);
    }
}

TEST(SampleMagnitudes, AngularRateInUnitsOf65536Thousandths)
{
    const magnitude_case cases[] = {
        {6554, 0, 0, 100},   {6553, 0, 0, 99},    {65, 0, 0, 0},
        {66, 0, 0, 1},       {32767, 0, 0, 499},  {-32768, -32768, -32768, 866},
        {1000, -2000, 3000, 57}, {0, 0, -6554, 100}, {0, 0, 0, 0},
    };
    for (const magnitude_case& c : cases) {
        const magnitudes m = sample_magnitudes(gyro_sample(c.x, c.y, c.z));
        EXPECT_EQ(m.gsvm, c.expected) << "(" << c.x << ", " << c.y << ", " << c.z << ")";
        EXPECT_EQ(m.asvm, 0);
    }
}

}  // namespace
