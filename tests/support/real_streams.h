#pragma once
// The plot files the tests run real streams from: the project's own seed
// streams (tests/data/streams), and the corpus of other programs' files
// when it stands beside the project (../shared/hpgl-corpus). Without the
// corpus the tests run on the seeds alone, then end as skipped (corpusHere).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace plotanix::testing {

inline std::filesystem::path corpusDirectory() {
    const char* given = std::getenv("PLOTANIX_CORPUS_DIR");
    return given != nullptr && *given != '\0' ? given : PLOTANIX_CORPUS_DIR;
}

// Whether the corpus is here. A test over realStreamFiles() checks the seeds
// and then, without it, ends with GTEST_SKIP so that the run shows what it
// did not check.
inline bool corpusHere() {
    return std::filesystem::is_directory(corpusDirectory());
}

// A file of the corpus, or empty when the corpus is not here: the test
// then skips what needs it, and says so (GTEST_SKIP).
inline std::string corpusFile(const std::string& name) {
    const std::filesystem::path path = corpusDirectory() / name;
    return std::filesystem::exists(path) ? path.string() : std::string();
}

// Every file of the seeds and the corpus, sorted; notes and lists left out.
inline std::vector<std::filesystem::path> realStreamFiles() {
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::path& folder :
         {std::filesystem::path(PLOTANIX_STREAMS_DIR), corpusDirectory()}) {
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
            const std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() && extension != ".md" && extension != ".tsv")
                files.push_back(entry.path());
        }
        if (missing && folder != PLOTANIX_STREAMS_DIR) {
            static const bool said = [&] {
                std::printf("[   note   ] no corpus at %s: the project's own streams only\n",
                            folder.c_str());
                return true;
            }();
            (void)said;
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// One of the project's own seed streams.
inline std::string seedStream(const std::string& name) {
    return (std::filesystem::path(PLOTANIX_STREAMS_DIR) / name).string();
}

} // namespace plotanix::testing
