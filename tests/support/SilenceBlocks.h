#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace QUORVELTEST {

// Compares what a DAC received with `expected`, allowing nothing but whole
// blocks of silence of `block` bytes inserted anywhere: what the sink writes
// each time its buffer runs dry, as a late sender or a slow (sanitizer) build
// may make it. The count of inserted blocks, or nothing on any other
// difference (lost, changed or reordered audio).
inline std::optional<size_t> insertedSilenceBlocks(const std::vector<uint8_t>& written,
                                                   const std::vector<uint8_t>& expected, size_t block,
                                                   uint8_t silence) {
    const auto silentRun = [&](size_t from) {
        return from + block <= written.size() &&
               std::all_of(written.begin() + static_cast<long>(from),
                           written.begin() + static_cast<long>(from + block),
                           [&](uint8_t byte) { return byte == silence; });
    };
    size_t i = 0;
    size_t j = 0;
    size_t blocks = 0;
    while (j < expected.size() || i < written.size()) {
        if (i < written.size() && j < expected.size() && written[i] == expected[j]) {
            ++i;
            ++j;
            continue;
        }
        // The inserted block may have begun a little earlier, where its
        // silence happened to match expected silence.
        size_t back = 0;
        while (back < block && back < i && back < j && written[i - back - 1] == silence &&
               expected[j - back - 1] == silence) {
            ++back;
        }
        bool skipped = false;
        for (size_t b = 0; b <= back && !skipped; ++b) {
            if (silentRun(i - b)) {
                i = i - b + block;
                j -= b;
                ++blocks;
                skipped = true;
            }
        }
        if (!skipped) {
            return std::nullopt;
        }
    }
    return blocks;
}

} // namespace QUORVELTEST
