// The icon decoder against libpng on the same 256 x 256 RGBA icon: our
// decoder streams the inflated bytes one at a time through a virtual call,
// libpng works row by row. Compare the two times for the ratio.
#include "app/IconFile.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp /*png*/) {}

// A logo-like picture: a shaded disc with a soft edge on a transparent ground.
std::vector<uint8_t> makeIcon(bool interlaced) {
    constexpr uint32_t kSize = 256;
    std::vector<uint8_t> image(kSize * kSize * 4);
    for (uint32_t y = 0; y < kSize; ++y) {
        for (uint32_t x = 0; x < kSize; ++x) {
            const double dx = x - 127.5;
            const double dy = y - 127.5;
            const double radius = std::sqrt(dx * dx + dy * dy);
            uint8_t* pixel = &image[(y * kSize + x) * 4];
            pixel[0] = static_cast<uint8_t>(x);
            pixel[1] = static_cast<uint8_t>(y);
            pixel[2] = static_cast<uint8_t>((x * y) >> 8);
            pixel[3] = static_cast<uint8_t>(std::clamp(120.0 - radius, 0.0, 1.0) * 255.0);
        }
    }
    std::vector<png_bytep> rows;
    for (uint32_t y = 0; y < kSize; ++y) {
        rows.push_back(&image[y * kSize * 4]);
    }
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &file, appendBytes, flushNothing);
    png_set_IHDR(png, info, kSize, kSize, 8, PNG_COLOR_TYPE_RGBA,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return file;
}

struct Reader {
    const std::vector<uint8_t>* file;
    size_t position;
};

void readBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* reader = static_cast<Reader*>(png_get_io_ptr(png));
    if (reader->position + length > reader->file->size()) {
        png_error(png, "short file");
    }
    std::copy_n(reader->file->data() + reader->position, length, data);
    reader->position += length;
}

// libpng's decode to 8-bit RGBA, the same work our decoder does.
bool libpngDecode(const std::vector<uint8_t>& file, std::vector<uint8_t>& image,
                  std::vector<png_bytep>& rows) {
    Reader reader{&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, readBytes);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const uint32_t width = png_get_image_width(png, info);
    const uint32_t height = png_get_image_height(png, info);
    image.resize(static_cast<size_t>(width) * height * 4);
    rows.resize(height);
    for (uint32_t y = 0; y < height; ++y) {
        rows[y] = image.data() + static_cast<size_t>(y) * width * 4;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

void BM_IconDecoder(benchmark::State& state) {
    const std::vector<uint8_t> file = makeIcon(state.range(0) != 0);
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
    for (auto _ : state) {
        if (!decodeIcon(file.data(), file.size(), pixels, width)) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 256 * 256 * 4);
    state.counters["file_bytes"] = static_cast<double>(file.size());
}

void BM_Libpng(benchmark::State& state) {
    const std::vector<uint8_t> file = makeIcon(state.range(0) != 0);
    std::vector<uint8_t> image;
    std::vector<png_bytep> rows;
    for (auto _ : state) {
        if (!libpngDecode(file, image, rows)) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(image.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 256 * 256 * 4);
}

} // namespace

// Argument: 0 plain, 1 Adam7-interlaced.
BENCHMARK(BM_IconDecoder)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Libpng)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
