// Tests of the CRC-32 and the integrity check over a file.
#include <gtest/gtest.h>

#include "cabtest_util.h"
#include "crc.h"
#include "memfs.h"

using namespace pakrel;

TEST(Crc32, StandardCheckValues) {
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32Update(0, "", 0), 0u);
    EXPECT_EQ(crc32Update(crc32Update(0, "1234", 4), "56789", 5), 0xCBF43926u);
}

TEST(Crc32, IntegrityCheckFromTheEndOfTheBlock) {
    MemFileSystem fs;
    auto data = test::pattern(10000, 4);
    fs.put("C:\\p.exe", data);
    int h = fs.open("C:\\p.exe", OpenMode::Read);
    std::vector<uint64_t> steps;
    uint32_t crc = 0;
    ASSERT_TRUE(crcFrom(fs, h, 1000, crc, [&](uint64_t done) { steps.push_back(done); }));
    EXPECT_EQ(crc, crc32Update(0, data.data() + 1000, 9000));
    EXPECT_EQ(steps, (std::vector<uint64_t>{2048, 4096, 6144, 8192, 9000}));
    ASSERT_TRUE(crcFrom(fs, h, 10000, crc));
    EXPECT_EQ(crc, 0u);
    EXPECT_FALSE(crcFrom(fs, h, -1, crc));
    fs.close(h);
}
