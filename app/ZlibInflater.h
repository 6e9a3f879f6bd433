#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class KtGenericPngDecoder;

// Decompressor for one zlib stream (RFC 1950 wrapper around RFC 1951
// DEFLATE: stored, fixed-Huffman and dynamic-Huffman blocks). Each output
// byte goes straight to the decoder's putByte(); only the 32 KiB window that
// back references can reach is kept. Every read of the input and the window
// is bounds-checked, so damaged data ends the stream, never the process.
class ZlibInflater {
public:
    enum class Result {
        Complete,  // the final block ended
        Stopped,   // the decoder wanted no more bytes
        Truncated, // the input ended inside the stream
        Corrupt,   // invalid header, block type, code or distance
    };

    ZlibInflater();
    Result run(const uint8_t* data, size_t size, KtGenericPngDecoder& sink);
    // Bytes delivered by the last run.
    uint64_t produced() const { return total; }

    // A canonical Huffman code as DEFLATE transmits it.
    class Huffman {
    public:
        // False for an over-subscribed set of code lengths, more than 288
        // symbols or a length above 15. Incomplete codes
        // are accepted; their unused bit patterns fail when decoded.
        bool build(const uint8_t* lengths, size_t count);

    private:
        friend class ZlibInflater;
        // Lookup for the next kFastBits bits (least significant bit first):
        // symbol << 4 | code length, or 0 when the code is longer or unused.
        static constexpr unsigned kFastBits = 9;
        std::array<uint16_t, 1U << kFastBits> fast{};
        std::array<uint16_t, 16> counts{};   // number of codes of each length
        std::array<uint16_t, 288> symbols{}; // symbols ordered by code
    };

private:
    enum class Step { Go, Stop, End, Bad };

    void refill();
    bool need(unsigned bits);
    uint32_t take(unsigned bits);
    // Decoded symbol, or -1 for an unused code / ended input (with `step` set).
    int decodeSymbol(const Huffman& code, Step& step);
    Step emit(uint8_t byte);
    Step storedBlock();
    Step dynamicTables();
    Step codedBlock(const Huffman& lengths, const Huffman& distances);

    static constexpr uint32_t kWindowSize = 32768;

    KtGenericPngDecoder* sink = nullptr;
    const uint8_t* input = nullptr;
    size_t inputSize = 0;
    size_t inputPosition = 0;
    uint64_t bitBuffer = 0;
    unsigned bitCount = 0; // valid bits in bitBuffer; the bits above are 0
    std::vector<uint8_t> window;
    uint64_t total = 0;
    Huffman fixedLengths;
    Huffman fixedDistances;
    Huffman dynamicLengths;
    Huffman dynamicDistances;
};
