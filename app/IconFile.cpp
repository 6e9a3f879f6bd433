#include "app/IconFile.h"

#include "app/KtRawPngDecoder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Icons are small; anything larger than this is not one of ours.
constexpr off_t kMaxFileSize = off_t{64} << 20;

bool readIconFile(const std::string& path, std::vector<uint8_t>& contents) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool good = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxFileSize;
    if (good) {
        contents.resize(static_cast<size_t>(info.st_size));
        size_t filled = 0;
        while (good && filled < contents.size()) {
            const ssize_t count = ::read(fd, contents.data() + filled, contents.size() - filled);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            good = count > 0;
            filled += good ? static_cast<size_t>(count) : 0;
        }
    }
    ::close(fd);
    return good;
}

} // namespace

bool decodeIcon(const uint8_t* data, size_t size, std::vector<uint32_t>& pixels, uint16_t& width) {
    pixels.clear();
    width = 0;
    KtRawPngDecoder decoder;
    if (!decoder.decode(data, size)) {
        return false;
    }
    const std::vector<uint8_t>& rgba = decoder.output();
    pixels.resize(rgba.size() / 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint8_t* pixel = &rgba[i * 4];
        pixels[i] = static_cast<uint32_t>(pixel[0]) | (static_cast<uint32_t>(pixel[1]) << 8) |
                    (static_cast<uint32_t>(pixel[2]) << 16) | (static_cast<uint32_t>(pixel[3]) << 24);
    }
    width = static_cast<uint16_t>(decoder.width());
    return true;
}

bool loadIconFile(const std::string& path, std::vector<uint32_t>& pixels, uint16_t& width) {
    pixels.clear();
    width = 0;
    std::vector<uint8_t> contents;
    if (!readIconFile(path, contents) || contents.empty()) {
        return false;
    }
    return decodeIcon(contents.data(), contents.size(), pixels, width);
}
