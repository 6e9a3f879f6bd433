#pragma once

// DSF files built byte by byte for tests of the DSD reader and of DSD
// playback: the three chunk headers and block-interleaved channel data.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QUORVELTEST {

inline void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

inline void putId(std::vector<uint8_t>& out, const char* id) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(id[i]));
    }
}

struct DsfShape {
    uint32_t channels = 2;
    uint32_t rate = 2822400;
    uint32_t bits = 8;
    uint32_t block = 4096;
    uint32_t version = 1;
    uint64_t fmtSize = 52;
    std::vector<std::vector<uint8_t>> stored; // per channel, in time order as stored
    uint64_t samples = 0;                     // 0 = 8 x the stored bytes of channel 0
    int64_t dataAdjust = 0;                   // added to the data chunk's size field
    size_t cutTo = 0;                         // file truncated to this length when non-zero
};

inline std::vector<uint8_t> dsfBytes(const DsfShape& shape) {
    const uint64_t perChannel = shape.stored.empty() ? 0 : shape.stored[0].size();
    const uint64_t groups = (perChannel + shape.block - 1) / shape.block;
    std::vector<uint8_t> data(groups * shape.block * shape.channels, 0);
    for (uint32_t channel = 0; channel < shape.channels; ++channel) {
        for (uint64_t i = 0; i < perChannel; ++i) {
            const uint64_t group = i / shape.block;
            data[(group * shape.channels + channel) * shape.block + i % shape.block] =
                shape.stored[channel][i];
        }
    }
    std::vector<uint8_t> file;
    file.reserve(92 + data.size());
    putId(file, "DSD ");
    putLe(file, 28, 8);
    putLe(file, 92 + data.size(), 8);
    putLe(file, 0, 8);
    putId(file, "fmt ");
    putLe(file, shape.fmtSize, 8);
    putLe(file, shape.version, 4);
    putLe(file, 0, 4); // raw DSD
    putLe(file, 2, 4); // channel type
    putLe(file, shape.channels, 4);
    putLe(file, shape.rate, 4);
    putLe(file, shape.bits, 4);
    putLe(file, shape.samples != 0 ? shape.samples : perChannel * 8, 8);
    putLe(file, shape.block, 4);
    putLe(file, 0, 4);
    putId(file, "data");
    putLe(file, static_cast<uint64_t>(static_cast<int64_t>(12 + data.size()) + shape.dataAdjust), 8);
    file.insert(file.end(), data.begin(), data.end());
    if (shape.cutTo != 0) {
        file.resize(shape.cutTo);
    }
    return file;
}

} // namespace QUORVELTEST
