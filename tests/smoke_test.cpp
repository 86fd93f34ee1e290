#include "test_support.h"

#include <gtest/gtest.h>

// The bundled sample converts end to end.
TEST(sample, bundled_radiotap_capture_converts)
{
    test::scratch_dir dir;
    const auto result = test::run_kestrine({KESTRINE_SOURCE_DIR "/samples/sample-radiotap.pcap", (dir / "out.pcap").string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const auto output = test::read_capture(dir / "out.pcap");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->link_type, 1);
    EXPECT_EQ(output->snaplen, 65535);
    EXPECT_EQ(result.out, "Converted " + std::to_string(output->records.size()) + " packets.\n");
    EXPECT_GT(output->records.size(), 0u);
}
