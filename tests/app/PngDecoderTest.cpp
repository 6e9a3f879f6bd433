#include "app/IconFile.h"
#include "app/KtRawPngDecoder.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <unistd.h>

// The decoder is checked against libpng: libpng writes the images, and its
// own reader, asked to expand everything to 8-bit RGBA, gives the expected
// pixels. libpng widens 1-bit grey to 0 / 255 and strips 16-bit samples to
// their high byte, which is what the decoder does too.

namespace {

struct Format {
    const char* label;
    int colourType;
    int depth;
    bool transparency; // tRNS: palette alphas, or a colour key
};

const Format kFormats[] = {
    {"grey1", PNG_COLOR_TYPE_GRAY, 1, false},
    {"grey1-key", PNG_COLOR_TYPE_GRAY, 1, true},
    {"grey8", PNG_COLOR_TYPE_GRAY, 8, false},
    {"grey8-key", PNG_COLOR_TYPE_GRAY, 8, true},
    {"rgb8", PNG_COLOR_TYPE_RGB, 8, false},
    {"rgb8-key", PNG_COLOR_TYPE_RGB, 8, true},
    {"rgb16", PNG_COLOR_TYPE_RGB, 16, false},
    {"rgb16-key", PNG_COLOR_TYPE_RGB, 16, true},
    {"palette4", PNG_COLOR_TYPE_PALETTE, 4, false},
    {"palette4-trns", PNG_COLOR_TYPE_PALETTE, 4, true},
    {"palette8", PNG_COLOR_TYPE_PALETTE, 8, false},
    {"palette8-trns", PNG_COLOR_TYPE_PALETTE, 8, true},
    {"grey-alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
    {"rgba8", PNG_COLOR_TYPE_RGBA, 8, false},
};

struct Options {
    int filters = PNG_ALL_FILTERS;
    int level = Z_DEFAULT_COMPRESSION;
    int strategy = Z_DEFAULT_STRATEGY;
    size_t idatSize = 8192; // libpng's compression buffer: the size of each IDAT chunk
};

int channelsOf(int colourType) {
    switch (colourType) {
    case PNG_COLOR_TYPE_RGB:
        return 3;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGBA:
        return 4;
    default:
        return 1;
    }
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp /*png*/) {}

// Everything libpng needs to write one image. Kept apart from the sample
// generation so that no local of the caller lives across libpng's setjmp.
struct Encoding {
    const Format& format;
    uint32_t width;
    uint32_t height;
    bool interlaced;
    const Options& options;
    const std::vector<png_color>& palette;
    const std::vector<png_byte>& alphas;
    png_color_16 key;
    const std::vector<png_bytep>& rows;
};

std::vector<uint8_t> encodePng(const Encoding& in) {
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng could not write " << in.format.label;
        return {};
    }
    png_set_write_fn(png, &file, appendBytes, flushNothing);
    png_set_IHDR(png, info, in.width, in.height, in.format.depth, in.format.colourType,
                 in.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (in.format.colourType == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, in.palette.data(), static_cast<int>(in.palette.size()));
        if (in.format.transparency) {
            png_set_tRNS(png, info, in.alphas.data(), static_cast<int>(in.alphas.size()), nullptr);
        }
    } else if (in.format.transparency) {
        png_set_tRNS(png, info, nullptr, 0, &in.key);
    }
    png_set_gAMA_fixed(png, info, 45455);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, in.options.filters);
    png_set_compression_level(png, in.options.level);
    png_set_compression_strategy(png, in.options.strategy);
    png_set_compression_buffer_size(png, in.options.idatSize);
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(in.rows.data()));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return file;
}

// A PNG of random samples in the given format. A quarter of the pixels
// repeat pixel 0, which is also the colour key when there is one.
std::vector<uint8_t> writePng(const Format& format, uint32_t width, uint32_t height, bool interlaced,
                              const Options& options, uint32_t seed) {
    std::mt19937 random(seed);
    const int channels = channelsOf(format.colourType);
    const int maxSample = (1 << format.depth) - 1;
    const int paletteSize = format.depth == 4 ? 12 : 200;
    const int sampleLimit = format.colourType == PNG_COLOR_TYPE_PALETTE ? paletteSize - 1 : maxSample;
    std::vector<std::vector<int>> pixels(static_cast<size_t>(width) * height, std::vector<int>(channels));
    for (auto& pixel : pixels) {
        for (int& sample : pixel) {
            sample = static_cast<int>(random() % (sampleLimit + 1));
        }
    }
    for (size_t i = 1; i < pixels.size(); ++i) {
        if (random() % 4 == 0) {
            pixels[i] = pixels[0];
        }
    }
    const size_t rowBytes = (static_cast<size_t>(width) * channels * format.depth + 7) / 8;
    std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(rowBytes, 0));
    for (uint32_t y = 0; y < height; ++y) {
        size_t bit = 0;
        for (uint32_t x = 0; x < width; ++x) {
            for (const int sample : pixels[static_cast<size_t>(y) * width + x]) {
                if (format.depth == 16) {
                    rows[y][bit / 8] = static_cast<uint8_t>(sample >> 8);
                    rows[y][bit / 8 + 1] = static_cast<uint8_t>(sample);
                } else if (format.depth == 8) {
                    rows[y][bit / 8] = static_cast<uint8_t>(sample);
                } else {
                    rows[y][bit / 8] |= static_cast<uint8_t>(sample << (8 - format.depth - bit % 8));
                }
                bit += format.depth;
            }
        }
    }
    std::vector<png_color> palette(paletteSize);
    for (png_color& colour : palette) {
        colour = {static_cast<png_byte>(random()), static_cast<png_byte>(random()),
                  static_cast<png_byte>(random())};
    }
    // Fewer alphas than palette entries: the rest are opaque.
    std::vector<png_byte> alphas(format.depth == 4 ? 5 : 100);
    for (png_byte& alpha : alphas) {
        alpha = static_cast<png_byte>(random());
    }
    png_color_16 key{};
    key.gray = static_cast<png_uint_16>(pixels[0][0]);
    key.red = static_cast<png_uint_16>(pixels[0][0]);
    key.green = static_cast<png_uint_16>(channels >= 3 ? pixels[0][1] : 0);
    key.blue = static_cast<png_uint_16>(channels >= 3 ? pixels[0][2] : 0);
    std::vector<png_bytep> rowPointers;
    for (auto& row : rows) {
        rowPointers.push_back(row.data());
    }
    const Encoding encoding{format, width, height, interlaced, options, palette, alphas, key, rowPointers};
    return encodePng(encoding);
}

struct Reader {
    const std::vector<uint8_t>* file;
    size_t position;
};

void readBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* reader = static_cast<Reader*>(png_get_io_ptr(png));
    if (reader->position + length > reader->file->size()) {
        png_error(png, "read past the end");
    }
    std::copy_n(reader->file->data() + reader->position, length, data);
    reader->position += length;
}

// libpng's reading of the file, expanded to 8-bit RGBA, packed like our pixels.
std::vector<uint32_t> libpngPixels(const std::vector<uint8_t>& file, uint32_t& width) {
    Reader reader{&file, 0};
    std::vector<uint8_t> image;
    std::vector<png_bytep> rows;
    std::vector<uint32_t> pixels;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        ADD_FAILURE() << "libpng could not read its own file";
        return {};
    }
    png_set_read_fn(png, &reader, readBytes);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    width = png_get_image_width(png, info);
    const uint32_t height = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4) {
        png_error(png, "not expanded to RGBA");
    }
    image.resize(static_cast<size_t>(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        rows.push_back(image.data() + static_cast<size_t>(y) * width * 4);
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    for (size_t i = 0; i + 3 < image.size(); i += 4) {
        pixels.push_back(image[i] | (image[i + 1] << 8) | (image[i + 2] << 16) |
                         (static_cast<uint32_t>(image[i + 3]) << 24));
    }
    return pixels;
}

void expectSameAsLibpng(const std::vector<uint8_t>& file) {
    uint32_t expectedWidth = 0;
    const std::vector<uint32_t> expected = libpngPixels(file, expectedWidth);
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    ASSERT_TRUE(decodeIcon(file.data(), file.size(), pixels, width));
    EXPECT_EQ(width, expectedWidth);
    ASSERT_EQ(pixels.size(), expected.size());
    const auto mismatch = std::mismatch(pixels.begin(), pixels.end(), expected.begin());
    if (mismatch.first != pixels.end()) {
        ADD_FAILURE() << "pixel " << (mismatch.first - pixels.begin()) << ": 0x" << std::hex
                      << *mismatch.first << " instead of 0x" << *mismatch.second;
    }
}

uint32_t crcOf(const std::string& type, const std::vector<uint8_t>& data) {
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    return static_cast<uint32_t>(crc32(crc, data.data(), static_cast<uInt>(data.size())));
}

void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void appendChunk(std::vector<uint8_t>& file, const std::string& type, const std::vector<uint8_t>& data) {
    putBigEndian(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), type.begin(), type.end());
    file.insert(file.end(), data.begin(), data.end());
    putBigEndian(file, crcOf(type, data));
}

std::vector<uint8_t> header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType,
                            uint8_t interlace = 0) {
    std::vector<uint8_t> data;
    putBigEndian(data, width);
    putBigEndian(data, height);
    data.insert(data.end(), {depth, colourType, 0, 0, interlace});
    return data;
}

std::vector<uint8_t> zlibOf(const std::vector<uint8_t>& raw) {
    uLongf size = compressBound(raw.size());
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), raw.size(), 9), Z_OK);
    out.resize(size);
    return out;
}

// A hand-made PNG from its header, extra chunks before IDAT, and the
// filtered scanlines (filter bytes included).
std::vector<uint8_t> handMade(const std::vector<uint8_t>& ihdr,
                              const std::vector<std::pair<std::string, std::vector<uint8_t>>>& extra,
                              const std::vector<uint8_t>& scanlines) {
    std::vector<uint8_t> file = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    appendChunk(file, "IHDR", ihdr);
    for (const auto& [type, data] : extra) {
        appendChunk(file, type, data);
    }
    appendChunk(file, "IDAT", zlibOf(scanlines));
    appendChunk(file, "IEND", {});
    return file;
}

bool decodes(const std::vector<uint8_t>& file, std::vector<uint32_t>& pixels, uint16_t& width) {
    return decodeIcon(file.data(), file.size(), pixels, width);
}

} // namespace

TEST(PngDecoderTest, EveryFormatSizeInterlaceAndFilterMatchesLibpng) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {7, 3}, {33, 17}, {2, 9}};
    const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB,   PNG_FILTER_UP,
                           PNG_FILTER_AVG,  PNG_FILTER_PAETH, PNG_ALL_FILTERS};
    uint32_t seed = 1;
    for (const Format& format : kFormats) {
        for (const auto& [width, height] : sizes) {
            for (const bool interlaced : {false, true}) {
                for (const int filter : filters) {
                    SCOPED_TRACE(testing::Message()
                                 << format.label << " " << width << "x" << height
                                 << (interlaced ? " Adam7" : "") << " filters 0x" << std::hex << filter);
                    Options options;
                    options.filters = filter;
                    expectSameAsLibpng(writePng(format, width, height, interlaced, options, seed++));
                }
            }
        }
    }
}

TEST(PngDecoderTest, StoredFixedAndSplitCompressedDataMatchLibpng) {
    struct Variant {
        const char* label;
        int level;
        int strategy;
        size_t idatSize;
    };
    const Variant variants[] = {{"stored", 0, Z_DEFAULT_STRATEGY, 8192},
                                {"fixed codes", 6, Z_FIXED, 8192},
                                {"dynamic codes", 9, Z_DEFAULT_STRATEGY, 8192},
                                {"many small IDAT chunks", 6, Z_DEFAULT_STRATEGY, 7}};
    for (const Variant& variant : variants) {
        for (const Format& format : kFormats) {
            for (const bool interlaced : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << variant.label << " " << format.label << (interlaced ? " Adam7" : ""));
                Options options;
                options.level = variant.level;
                options.strategy = variant.strategy;
                options.idatSize = variant.idatSize;
                expectSameAsLibpng(writePng(format, 33, 17, interlaced, options, 99));
            }
        }
    }
}

TEST(PngDecoderTest, LargeImageReachesAcrossTheWholeWindow) {
    // 256 x 256 RGBA: 256 KiB of image data, so back references wrap the 32 KiB window.
    for (const int level : {0, 9}) {
        for (const bool interlaced : {false, true}) {
            SCOPED_TRACE(testing::Message() << "level " << level << (interlaced ? " Adam7" : ""));
            Options options;
            options.level = level;
            expectSameAsLibpng(writePng(kFormats[13], 256, 256, interlaced, options, 3));
        }
    }
}

TEST(PngDecoderTest, InterlacedImageGivesTheSamePixelsAsItsPlainTwin) {
    std::vector<uint32_t> plain;
    std::vector<uint32_t> interlaced;
    uint16_t width = 0;
    ASSERT_TRUE(decodes(writePng(kFormats[13], 19, 23, false, Options(), 5), plain, width));
    ASSERT_TRUE(decodes(writePng(kFormats[13], 19, 23, true, Options(), 5), interlaced, width));
    EXPECT_EQ(width, 19);
    EXPECT_EQ(plain.size(), 19U * 23U);
    EXPECT_EQ(plain, interlaced);
}

TEST(PngDecoderTest, OneBitGreyWidensToBlackAndWhite) {
    // Rows alternate 0x0F and 0xF0 patterns, 16 pixels wide.
    std::vector<uint8_t> scanlines;
    for (int y = 0; y < 16; ++y) {
        scanlines.insert(scanlines.end(), {0, static_cast<uint8_t>(y % 2 ? 0xF0 : 0x0F), 0xAA});
    }
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    ASSERT_TRUE(decodes(handMade(header(16, 16, 1, 0), {}, scanlines), pixels, width));
    ASSERT_EQ(pixels.size(), 256U);
    EXPECT_EQ(width, 16);
    EXPECT_EQ(pixels[0], 0xFF000000U);
    EXPECT_EQ(pixels[4], 0xFFFFFFFFU);
    EXPECT_EQ(pixels[16], 0xFFFFFFFFU);
    EXPECT_EQ(pixels[8], 0xFFFFFFFFU);
    EXPECT_EQ(pixels[9], 0xFF000000U);
    EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint32_t p) { return p >> 24 == 0xFF; }));
}

TEST(PngDecoderTest, SixteenBitColourKeyIsComparedAtFullPrecision) {
    // Two pixels share the high bytes of the key; only the exact one is transparent.
    const std::vector<uint8_t> scanline = {0,    0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC,
                                           0x12, 0x35, 0x56, 0x78, 0x9A, 0xBC};
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    ASSERT_TRUE(
        decodes(handMade(header(2, 1, 16, 2), {{"tRNS", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}}}, scanline),
                pixels, width));
    ASSERT_EQ(pixels.size(), 2U);
    EXPECT_EQ(pixels[0], 0x009A5612U);
    EXPECT_EQ(pixels[1], 0xFF9A5612U);
}

TEST(PngDecoderTest, PaletteIndexBeyondThePaletteIsOpaqueBlack) {
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> chunks = {
        {"PLTE", {10, 20, 30, 40, 50, 60}}, {"tRNS", {128}}};
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    ASSERT_TRUE(decodes(handMade(header(4, 1, 8, 3), chunks, {0, 0, 1, 2, 255}), pixels, width));
    EXPECT_EQ(pixels, (std::vector<uint32_t>{0x801E140AU, 0xFF3C3228U, 0xFF000000U, 0xFF000000U}));
    // The same with 4-bit indexes, and with no palette at all.
    ASSERT_TRUE(decodes(handMade(header(3, 1, 4, 3), chunks, {0, 0x1F, 0x20}), pixels, width));
    EXPECT_EQ(pixels, (std::vector<uint32_t>{0xFF3C3228U, 0xFF000000U, 0xFF000000U}));
    ASSERT_TRUE(decodes(handMade(header(2, 1, 8, 3), {}, {0, 0, 1}), pixels, width));
    EXPECT_EQ(pixels, (std::vector<uint32_t>{0xFF000000U, 0xFF000000U}));
}

TEST(PngDecoderTest, RefusedFormatsLeaveTheRecordEmpty) {
    struct Case {
        const char* label;
        std::vector<uint8_t> ihdr;
    };
    const Case cases[] = {
        {"RGB 4 bit", header(4, 4, 4, 2)},
        {"grey 2 bit", header(4, 4, 2, 0)},
        {"grey 4 bit", header(4, 4, 4, 0)},
        {"grey 16 bit", header(4, 4, 16, 0)},
        {"palette 1 bit", header(4, 4, 1, 3)},
        {"palette 2 bit", header(4, 4, 2, 3)},
        {"grey+alpha 16 bit", header(4, 4, 16, 4)},
        {"RGBA 16 bit", header(4, 4, 16, 6)},
        {"colour type 7", header(4, 4, 8, 7)},
        {"interlace method 2", header(4, 4, 8, 6, 2)},
        {"width 0", header(0, 4, 8, 6)},
        {"height 0", header(4, 0, 8, 6)},
        {"width beyond 16 bits", header(65536, 1, 8, 6)},
        // Served heights are 16-bit too: 65 536 rows would read as height 0.
        {"height beyond 16 bits", header(1, 65536, 8, 0)},
        {"too many pixels", header(65535, 65535, 8, 6)},
        {"one row beyond a million pixels", header(1024, 1025, 8, 0)},
        {"huge height", header(16, 0xFFFFFFFF, 8, 6)},
    };
    for (const Case& refused : cases) {
        SCOPED_TRACE(refused.label);
        std::vector<uint32_t> pixels = {1, 2, 3};
        uint16_t width = 7;
        EXPECT_FALSE(decodes(handMade(refused.ihdr, {}, std::vector<uint8_t>(65, 0)), pixels, width));
        EXPECT_TRUE(pixels.empty());
        EXPECT_EQ(width, 0);
    }
    // The widest, the tallest and the largest images still accepted.
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    EXPECT_TRUE(decodes(handMade(header(65535, 1, 1, 0), {}, {0, 0x01}), pixels, width));
    EXPECT_EQ(width, 65535);
    EXPECT_EQ(pixels.size(), 65535U);
    EXPECT_EQ(pixels[0], 0xFF000000U);
    EXPECT_EQ(pixels[7], 0xFFFFFFFFU);
    EXPECT_EQ(pixels[8], 0U) << "not reached by the data: transparent black";
    EXPECT_TRUE(decodes(handMade(header(1, 65535, 8, 0), {}, {0}), pixels, width));
    EXPECT_EQ(width, 1);
    EXPECT_EQ(pixels.size(), 65535U);
    EXPECT_TRUE(decodes(handMade(header(1024, 1024, 8, 0), {}, {0}), pixels, width));
    EXPECT_EQ(pixels.size(), 1024U * 1024U);
    EXPECT_TRUE(decodes(handMade(header(65535, 16, 8, 0), {}, {0}), pixels, width));
    EXPECT_EQ(pixels.size(), 65535U * 16U);
}

TEST(PngDecoderTest, BrokenFilesAreRefusedOrEndEarly) {
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    const std::vector<uint8_t> good = handMade(header(2, 2, 8, 0), {}, {0, 10, 20, 0, 30, 40});
    ASSERT_TRUE(decodes(good, pixels, width));
    EXPECT_EQ(pixels, (std::vector<uint32_t>{0xFF0A0A0AU, 0xFF141414U, 0xFF1E1E1EU, 0xFF282828U}));

    // Signature: too short, or another start.
    EXPECT_FALSE(decodes(std::vector<uint8_t>(good.begin(), good.begin() + 7), pixels, width));
    std::vector<uint8_t> wrong = good;
    wrong[1] = 'p';
    EXPECT_FALSE(decodes(wrong, pixels, width));
    EXPECT_FALSE(decodeIcon(nullptr, 0, pixels, width));

    // A palette whose length is not a multiple of three.
    EXPECT_FALSE(decodes(handMade(header(1, 1, 8, 3), {{"PLTE", {1, 2, 3, 4}}}, {0, 0}), pixels, width));
    EXPECT_TRUE(pixels.empty());

    // An unknown filter type ends the image: what follows stays transparent black.
    ASSERT_TRUE(decodes(handMade(header(2, 2, 8, 0), {}, {0, 10, 20, 5, 30, 40}), pixels, width));
    EXPECT_EQ(pixels, (std::vector<uint32_t>{0xFF0A0A0AU, 0xFF141414U, 0, 0}));

    // A chunk length that would run far past the end ends the chunk walk:
    // the header was read, the image data never came.
    std::vector<uint8_t> huge = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    appendChunk(huge, "IHDR", header(2, 2, 8, 0));
    huge.insert(huge.end(), {0xFF, 0xFF, 0xFF, 0xFF, 'I', 'D', 'A', 'T', 0x78, 0x9C, 0x63});
    ASSERT_TRUE(decodes(huge, pixels, width));
    EXPECT_EQ(pixels, std::vector<uint32_t>(4, 0));

    // A zlib stream cut short inside a complete chunk.
    const std::vector<uint8_t> raw = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    std::vector<uint8_t> file = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    appendChunk(file, "IHDR", header(9, 2, 8, 0));
    std::vector<uint8_t> stored = {0x78, 0x01, 0x01, 20, 0, 0xEB, 0xFF};
    stored.insert(stored.end(), raw.begin(), raw.begin() + 14);
    appendChunk(file, "IDAT", stored);
    ASSERT_TRUE(decodes(file, pixels, width));
    ASSERT_EQ(pixels.size(), 18U);
    EXPECT_EQ(pixels[8], 0xFF090909U);
    EXPECT_EQ(pixels[11], 0xFF0D0D0DU);
    EXPECT_EQ(pixels[12], 0U);
    EXPECT_EQ(pixels[17], 0U);
}

TEST(PngDecoderTest, ADecoderUsedAgainKeepsNothingOfTheLastFile) {
    KtRawPngDecoder decoder;
    const std::vector<uint8_t> first =
        handMade(header(2, 1, 8, 3), {{"PLTE", {1, 2, 3, 4, 5, 6}}, {"tRNS", {7}}}, {0, 0, 1});
    ASSERT_TRUE(decoder.decode(first.data(), first.size()));
    EXPECT_TRUE(decoder.complete());
    EXPECT_EQ(decoder.output(), (std::vector<uint8_t>{1, 2, 3, 7, 4, 5, 6, 255}));

    const std::vector<uint8_t> refused = handMade(header(2, 1, 4, 2), {}, {0, 0});
    EXPECT_FALSE(decoder.decode(refused.data(), refused.size()));
    EXPECT_TRUE(decoder.output().empty());
    EXPECT_FALSE(decoder.complete());

    // Same indexes, no palette and no tRNS this time: opaque black.
    const std::vector<uint8_t> second = handMade(header(2, 1, 8, 3), {}, {0, 0, 1});
    ASSERT_TRUE(decoder.decode(second.data(), second.size()));
    EXPECT_EQ(decoder.output(), (std::vector<uint8_t>{0, 0, 0, 255, 0, 0, 0, 255}));
    EXPECT_EQ(decoder.gamma(), 0U);
}

TEST(PngDecoderTest, TruncatedImageDataDecodesAPrefix) {
    // Many small IDAT chunks, so a cut file keeps the chunks before the cut.
    Options options;
    options.idatSize = 16;
    const std::vector<uint8_t> file = writePng(kFormats[13], 33, 17, false, options, 21);
    uint32_t expectedWidth = 0;
    const std::vector<uint32_t> expected = libpngPixels(file, expectedWidth);
    size_t lastReached = 0;
    for (size_t cut = 8; cut <= file.size(); cut += 2) {
        std::vector<uint32_t> pixels;
        uint16_t width = 0;
        const std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
        if (!decodes(part, pixels, width)) {
            EXPECT_TRUE(pixels.empty());
            continue;
        }
        ASSERT_EQ(pixels.size(), expected.size()) << cut;
        // Rows come in order: a correct prefix, then nothing.
        const size_t reached = static_cast<size_t>(
            std::mismatch(pixels.begin(), pixels.end(), expected.begin()).first - pixels.begin());
        EXPECT_TRUE(std::all_of(pixels.begin() + static_cast<std::ptrdiff_t>(reached), pixels.end(),
                                [](uint32_t p) { return p == 0; }))
            << cut;
        EXPECT_GE(reached, lastReached) << cut;
        lastReached = reached;
    }
    EXPECT_EQ(lastReached, expected.size());
}

TEST(PngDecoderTest, DamagedFilesNeverCrash) {
    Options small;
    small.idatSize = 64;
    const std::vector<std::vector<uint8_t>> originals = {
        writePng(kFormats[13], 33, 17, true, small, 1), writePng(kFormats[9], 33, 17, false, small, 2),
        writePng(kFormats[1], 7, 3, true, small, 3), writePng(kFormats[7], 7, 3, false, Options(), 4)};
    std::mt19937 random(77);
    size_t files = 0;
    size_t decoded = 0;
    // Whatever the damage, an accepted file yields exactly width x height pixels.
    const auto check = [&](const std::vector<uint8_t>& file) {
        KtRawPngDecoder decoder;
        ++files;
        if (decoder.decode(file.data(), file.size())) {
            ++decoded;
            EXPECT_EQ(decoder.output().size(), static_cast<size_t>(decoder.width()) * decoder.height() * 4);
        } else {
            EXPECT_TRUE(decoder.output().empty());
        }
    };
    for (const std::vector<uint8_t>& original : originals) {
        for (size_t cut = 0; cut < original.size(); cut += 3) {
            check(
                std::vector<uint8_t>(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(cut)));
        }
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> damaged = original;
            const int flips = 1 + static_cast<int>(random() % 3);
            for (int i = 0; i < flips; ++i) {
                // Mostly the image data, sometimes the header or chunk lengths.
                const size_t at = random() % 4 == 0 ? 8 + random() % 33 : 8 + random() % (damaged.size() - 8);
                damaged[at] ^= static_cast<uint8_t>(1U << (random() % 8));
            }
            check(damaged);
        }
    }
    EXPECT_GT(files, 2000U);
    EXPECT_GT(decoded, 0U);
}

TEST(PngDecoderTest, LoadIconReadsTheFile) {
    char dir[] = "/tmp/icon-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/logo.png";
    const std::vector<uint8_t> file = writePng(kFormats[12], 7, 3, false, Options(), 8);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    struct Record {
        uint8_t mode = 1;
        std::vector<uint32_t> pixels = {42};
        uint16_t width = 9;
    } icon;
    EXPECT_TRUE(loadIcon(icon, path));
    EXPECT_EQ(icon.width, 7);
    EXPECT_EQ(icon.mode, 1);
    uint32_t expectedWidth = 0;
    EXPECT_EQ(icon.pixels, libpngPixels(file, expectedWidth));

    EXPECT_FALSE(loadIcon(icon, std::string(dir) + "/logo_s.png"));
    EXPECT_TRUE(icon.pixels.empty());
    EXPECT_EQ(icon.width, 0);
    { std::ofstream empty(path, std::ios::trunc); }
    EXPECT_FALSE(loadIcon(icon, path));
    EXPECT_FALSE(loadIcon(icon, dir));
    std::remove(path.c_str());
    ::rmdir(dir);
}
