#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// PNG file reader: walks the chunks of a file held in memory, then streams
// the decompressed image data one byte at a time into putByte(), so the
// decompressed image is never held whole. The base keeps the header,
// palette, transparency and gamma and accepts every byte; KtRawPngDecoder
// turns the bytes into RGBA pixels.
class KtGenericPngDecoder {
public:
    KtGenericPngDecoder() = default;
    virtual ~KtGenericPngDecoder();
    KtGenericPngDecoder(const KtGenericPngDecoder&) = delete;
    KtGenericPngDecoder& operator=(const KtGenericPngDecoder&) = delete;

    // Decodes one whole file. False when the file is refused: no signature,
    // a palette whose length is not a multiple of 3, or prepare() said no.
    // Damage inside the compressed data is not an error: the bytes that
    // could be recovered have been delivered.
    bool decode(const uint8_t* data, size_t size);

    // Called once all chunks are read; false refuses the file.
    virtual bool prepare();
    // The next byte of the decompressed image data. Returns false when no
    // more bytes are wanted, which ends the decompression early.
    virtual bool putByte(uint8_t byte);
    // Called after the last byte was delivered (or the data ended).
    virtual void finish();

    uint32_t width() const { return imageWidth; }
    uint32_t height() const { return imageHeight; }
    uint8_t bitDepth() const { return depth; }
    uint8_t colorType() const { return colour; }
    uint8_t compressionMethod() const { return compression; }
    uint8_t filterMethod() const { return filtering; }
    uint8_t interlaceMethod() const { return interlace; }
    // RGB triplets of the PLTE chunk.
    const std::vector<uint8_t>& palette() const { return paletteBytes; }
    // The tRNS chunk as stored: palette alphas, or the colour key's 16-bit samples.
    const std::vector<uint8_t>& transparency() const { return transparencyBytes; }
    // The gAMA value (gamma × 100000); kept, never applied. 0 without the chunk.
    uint32_t gamma() const { return gammaValue; }
    // Width × height × 4 bytes R, G, B, A, filled by a derived decoder.
    const std::vector<uint8_t>& output() const { return rgbaBytes; }

protected:
    std::vector<uint8_t>& outputBuffer() { return rgbaBytes; }

private:
    bool readChunks(const uint8_t* data, size_t size);

    uint32_t imageWidth = 0;
    uint32_t imageHeight = 0;
    uint8_t depth = 0;
    uint8_t colour = 0;
    uint8_t compression = 0;
    uint8_t filtering = 0;
    uint8_t interlace = 0;
    std::vector<uint8_t> paletteBytes;
    std::vector<uint8_t> transparencyBytes;
    uint32_t gammaValue = 0;
    std::vector<uint8_t> compressed; // the IDAT chunks' data, in order
    std::vector<uint8_t> rgbaBytes;
};
