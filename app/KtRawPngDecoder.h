#pragma once

#include "app/KtGenericPngDecoder.h"

#include <array>
#include <cstdint>
#include <vector>

// Turns the decompressed image data into 8-bit RGBA pixels as the bytes
// arrive: collects each pixel's bytes, undoes the row's filter and writes the
// finished pixel. Accepted formats: greyscale 1 and 8 bit, RGB 8 and 16 bit,
// palette 4 and 8 bit, greyscale+alpha and RGBA 8 bit; no interlace or Adam7.
//
// Widening: a 1-bit grey sample becomes 0 or 255; 16-bit samples keep their
// high byte. Pixels the data never reached (a short or damaged stream) stay
// transparent black (all 0); a palette index beyond the palette gives opaque
// black.
class KtRawPngDecoder : public KtGenericPngDecoder {
public:
    // Largest image accepted: a million pixels (1024 x 1024, 4 MB decoded).
    // Icons stay in memory for the life of the process, so a large picture
    // left in their place (a photo, say) must not take tens of megabytes of
    // a small board, and a hostile header must not make us allocate them.
    // The width must also fit the icon record's 16 bits, and the height the
    // 16 bits in which it is served.
    static constexpr uint64_t kMaxPixels = uint64_t{1} << 20;
    static constexpr uint32_t kMaxWidth = 65535;
    static constexpr uint32_t kMaxHeight = 65535;

    bool prepare() override;
    bool putByte(uint8_t byte) override;
    void finish() override;

    // True once every row of every pass was received.
    bool complete() const { return stage == Stage::Complete; }

private:
    enum class Stage {
        Idle,      // not prepared, or finished
        Receiving, // rows are coming in
        Complete,  // every row arrived; later bytes are not wanted
        Broken,    // an unknown filter type ended the image
    };

    bool takeFilterByte(uint8_t byte);
    bool startPass(unsigned first);
    void endRow();
    void emitPixel(const uint8_t* bytes);
    void emitPackedByte(uint8_t byte);
    void store(uint32_t rgba);

    uint8_t* out = nullptr;
    uint32_t pixelBytes = 0; // whole bytes per pixel (0 for 1- and 4-bit samples)
    uint32_t filterStep = 0; // distance to the byte of the pixel on the left
    size_t rowBytes = 0;     // data bytes per row of the current pass
    unsigned pass = 0;       // 0..6 for Adam7, 0 without interlace
    uint32_t passX0 = 0;
    uint32_t passY0 = 0;
    uint32_t passDX = 1;
    uint32_t passDY = 1;
    uint32_t passWidth = 0;
    uint32_t passHeight = 0;
    uint32_t row = 0;  // row within the pass
    size_t column = 0; // 0 = the filter byte comes next, else 1 + data byte index
    uint8_t filter = 0;
    uint32_t pixelInRow = 0;
    uint32_t byteInPixel = 0;
    uint8_t* rowOut = nullptr; // output of the first pixel of this row
    std::vector<uint8_t> current;
    std::vector<uint8_t> previous;
    Stage stage = Stage::Idle;
    bool hasKey = false;
    std::array<uint16_t, 3> key{}; // tRNS colour key (grey uses key[0])
    std::array<uint32_t, 256> paletteRgba{};
};
