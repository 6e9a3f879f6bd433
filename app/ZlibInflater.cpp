#include "app/ZlibInflater.h"

#include "app/KtGenericPngDecoder.h"

namespace {

constexpr unsigned kMaxCodeLength = 15;
constexpr size_t kLengthSymbols = 288;
constexpr size_t kDistanceSymbols = 32;

// Length symbols 257..285 and distance symbols 0..29 (RFC 1951, 3.2.5).
constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which the code-length code's lengths are sent.
constexpr std::array<uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

uint32_t reverseBits(uint32_t code, unsigned length) {
    uint32_t reversed = 0;
    for (unsigned i = 0; i < length; ++i) {
        reversed = (reversed << 1) | (code & 1U);
        code >>= 1;
    }
    return reversed;
}

} // namespace

bool ZlibInflater::Huffman::build(const uint8_t* lengths, size_t count) {
    counts.fill(0);
    fast.fill(0);
    if (count > symbols.size()) {
        return false;
    }
    for (size_t symbol = 0; symbol < count; ++symbol) {
        if (lengths[symbol] > kMaxCodeLength) {
            return false;
        }
        ++counts[lengths[symbol]];
    }
    counts[0] = 0;
    int left = 1;
    for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
        left = left * 2 - counts[length];
        if (left < 0) {
            return false;
        }
    }
    // Canonical order: by length, then by symbol.
    std::array<uint16_t, kMaxCodeLength + 2> offsets{};
    for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
        offsets[length + 1] = static_cast<uint16_t>(offsets[length] + counts[length]);
    }
    // The first code of each length (RFC 1951, 3.2.2); counts[0] is 0.
    std::array<uint32_t, kMaxCodeLength + 1> nextCode{};
    uint32_t code = 0;
    for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
        code = (code + counts[length - 1U]) << 1;
        nextCode[length] = code;
    }
    for (size_t symbol = 0; symbol < count; ++symbol) {
        const unsigned length = lengths[symbol];
        if (length == 0) {
            continue;
        }
        symbols[offsets[length]++] = static_cast<uint16_t>(symbol);
        const uint32_t assigned = nextCode[length]++;
        if (length <= Huffman::kFastBits) {
            const uint32_t reversed = reverseBits(assigned, length);
            const auto entry = static_cast<uint16_t>((symbol << 4) | length);
            for (uint32_t index = reversed; index < fast.size(); index += 1U << length) {
                fast[index] = entry;
            }
        }
    }
    return true;
}

ZlibInflater::ZlibInflater() : window(kWindowSize, 0) {
    std::array<uint8_t, kLengthSymbols> lengths{};
    for (size_t symbol = 0; symbol < kLengthSymbols; ++symbol) {
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    fixedLengths.build(lengths.data(), kLengthSymbols);
    std::array<uint8_t, kDistanceSymbols> distances{};
    distances.fill(5);
    fixedDistances.build(distances.data(), kDistanceSymbols);
}

void ZlibInflater::refill() {
    while (bitCount <= 56 && inputPosition < inputSize) {
        bitBuffer |= static_cast<uint64_t>(input[inputPosition++]) << bitCount;
        bitCount += 8;
    }
}

bool ZlibInflater::need(unsigned bits) {
    if (bitCount < bits) {
        refill();
    }
    return bitCount >= bits;
}

uint32_t ZlibInflater::take(unsigned bits) {
    const auto value = static_cast<uint32_t>(bitBuffer & ((uint64_t{1} << bits) - 1U));
    bitBuffer >>= bits;
    bitCount -= bits;
    return value;
}

int ZlibInflater::decodeSymbol(const Huffman& code, Step& step) {
    if (bitCount < kMaxCodeLength) {
        refill();
    }
    const uint16_t entry = code.fast[bitBuffer & ((1U << Huffman::kFastBits) - 1U)];
    if (entry != 0) {
        const unsigned length = entry & 15U;
        if (length > bitCount) {
            step = Step::End;
            return -1;
        }
        take(length);
        return entry >> 4;
    }
    // Longer code: walk the canonical code bit by bit (RFC 1951, 3.2.2).
    int first = 0;
    int index = 0;
    int value = 0;
    for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
        if (length > bitCount) {
            step = Step::End;
            return -1;
        }
        value |= static_cast<int>((bitBuffer >> (length - 1)) & 1U);
        const int count = code.counts[length];
        if (value - first < count) {
            take(length);
            return code.symbols[static_cast<size_t>(index + value - first)];
        }
        index += count;
        first = (first + count) << 1;
        value <<= 1;
    }
    step = Step::Bad;
    return -1;
}

ZlibInflater::Step ZlibInflater::emit(uint8_t byte) {
    window[total & (kWindowSize - 1)] = byte;
    ++total;
    return sink->putByte(byte) ? Step::Go : Step::Stop;
}

ZlibInflater::Step ZlibInflater::storedBlock() {
    take(bitCount & 7U); // to the byte boundary
    if (!need(32)) {
        return Step::End;
    }
    const uint32_t length = take(16);
    const uint32_t check = take(16);
    if ((length ^ check) != 0xFFFF) {
        return Step::Bad;
    }
    for (uint32_t i = 0; i < length; ++i) {
        if (!need(8)) {
            return Step::End;
        }
        const Step step = emit(static_cast<uint8_t>(take(8)));
        if (step != Step::Go) {
            return step;
        }
    }
    return Step::Go;
}

ZlibInflater::Step ZlibInflater::dynamicTables() {
    if (!need(14)) {
        return Step::End;
    }
    const uint32_t lengthCount = take(5) + 257;
    const uint32_t distanceCount = take(5) + 1;
    const uint32_t codeLengthCount = take(4) + 4;
    if (lengthCount > 286 || distanceCount > 30) {
        return Step::Bad;
    }
    std::array<uint8_t, 19> codeLengthLengths{};
    for (uint32_t i = 0; i < codeLengthCount; ++i) {
        if (!need(3)) {
            return Step::End;
        }
        codeLengthLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(take(3));
    }
    Huffman codeLengths;
    if (!codeLengths.build(codeLengthLengths.data(), codeLengthLengths.size())) {
        return Step::Bad;
    }
    std::array<uint8_t, 286 + 30> lengths{};
    const uint32_t wanted = lengthCount + distanceCount;
    uint32_t filled = 0;
    while (filled < wanted) {
        Step step = Step::Go;
        const int symbol = decodeSymbol(codeLengths, step);
        if (symbol < 0) {
            return step;
        }
        if (symbol < 16) {
            lengths[filled++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t repeated = 0;
        uint32_t repeat = 0;
        if (symbol == 16) {
            if (filled == 0) {
                return Step::Bad;
            }
            if (!need(2)) {
                return Step::End;
            }
            repeated = lengths[filled - 1];
            repeat = 3 + take(2);
        } else if (symbol == 17) {
            if (!need(3)) {
                return Step::End;
            }
            repeat = 3 + take(3);
        } else {
            if (!need(7)) {
                return Step::End;
            }
            repeat = 11 + take(7);
        }
        if (repeat > wanted - filled) {
            return Step::Bad;
        }
        while (repeat-- > 0) {
            lengths[filled++] = repeated;
        }
    }
    // Without an end-of-block code the block could never end.
    if (lengths[256] == 0) {
        return Step::Bad;
    }
    if (!dynamicLengths.build(lengths.data(), lengthCount) ||
        !dynamicDistances.build(lengths.data() + lengthCount, distanceCount)) {
        return Step::Bad;
    }
    return Step::Go;
}

ZlibInflater::Step ZlibInflater::codedBlock(const Huffman& lengths, const Huffman& distances) {
    for (;;) {
        Step step = Step::Go;
        const int symbol = decodeSymbol(lengths, step);
        if (symbol < 0) {
            return step;
        }
        if (symbol < 256) {
            step = emit(static_cast<uint8_t>(symbol));
            if (step != Step::Go) {
                return step;
            }
            continue;
        }
        if (symbol == 256) {
            return Step::Go;
        }
        const int lengthIndex = symbol - 257;
        if (lengthIndex >= 29) {
            return Step::Bad;
        }
        if (!need(kLengthExtra[lengthIndex])) {
            return Step::End;
        }
        const uint32_t length = kLengthBase[lengthIndex] + take(kLengthExtra[lengthIndex]);
        const int distanceSymbol = decodeSymbol(distances, step);
        if (distanceSymbol < 0) {
            return step;
        }
        if (distanceSymbol >= 30) {
            return Step::Bad;
        }
        if (!need(kDistanceExtra[distanceSymbol])) {
            return Step::End;
        }
        const uint32_t distance = kDistanceBase[distanceSymbol] + take(kDistanceExtra[distanceSymbol]);
        if (distance > total) {
            return Step::Bad;
        }
        for (uint32_t i = 0; i < length; ++i) {
            step = emit(window[(total - distance) & (kWindowSize - 1)]);
            if (step != Step::Go) {
                return step;
            }
        }
    }
}

ZlibInflater::Result ZlibInflater::run(const uint8_t* data, size_t size, KtGenericPngDecoder& decoder) {
    sink = &decoder;
    input = data;
    inputSize = data == nullptr ? 0 : size;
    inputPosition = 0;
    bitBuffer = 0;
    bitCount = 0;
    total = 0;

    if (!need(16)) {
        return Result::Truncated;
    }
    const uint32_t method = take(8);
    const uint32_t flags = take(8);
    // Deflate with a window of at most 32 KiB, a valid check and no preset dictionary.
    if ((method & 15U) != 8 || (method >> 4) > 7 || ((method << 8) | flags) % 31 != 0 ||
        (flags & 0x20U) != 0) {
        return Result::Corrupt;
    }
    bool last = false;
    while (!last) {
        if (!need(3)) {
            return Result::Truncated;
        }
        last = take(1) != 0;
        const uint32_t type = take(2);
        Step step = Step::Bad;
        if (type == 0) {
            step = storedBlock();
        } else if (type == 1) {
            step = codedBlock(fixedLengths, fixedDistances);
        } else if (type == 2) {
            step = dynamicTables();
            if (step == Step::Go) {
                step = codedBlock(dynamicLengths, dynamicDistances);
            }
        }
        switch (step) {
        case Step::Go:
            break;
        case Step::Stop:
            return Result::Stopped;
        case Step::End:
            return Result::Truncated;
        case Step::Bad:
            return Result::Corrupt;
        }
    }
    // The Adler-32 trailer is not checked: damage is not reported anyway.
    return Result::Complete;
}
