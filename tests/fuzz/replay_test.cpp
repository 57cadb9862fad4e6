// Replays every input the fuzzer ever crashed on, and the real streams it
// starts from, as ordinary tests.

#include "fuzz/plot_one_input.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

void replayAll(const fs::path& dir) {
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int replayed = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        const std::string bytes = plotanix::testing::readFile(entry.path().string());
        SCOPED_TRACE(entry.path().string());
        EXPECT_GE(plotanix::testing::plotOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  bytes.size()),
                  bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

} // namespace

TEST(FuzzReplay, RegressionInputs) {
    replayAll(PLOTANIX_FUZZ_REGRESSIONS);
}

TEST(FuzzReplay, RealStreams) {
    replayAll(PLOTANIX_CORPUS_DIR);
}
