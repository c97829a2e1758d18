#include "CorpusReplay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tavrel_testing {

size_t replay_corpus(const std::string &dir, CorpusCheck check)
{
    namespace fs = std::filesystem;
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        check(bytes.data(), bytes.size());
        ++files;
    }
    return files;
}

}  // namespace tavrel_testing
