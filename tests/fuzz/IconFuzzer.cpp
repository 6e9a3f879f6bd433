// One fuzz input: an icon file, read by loadIcon (file, PNG decoder,
// inflater). An accepted image must fill whole rows of its width.
#include "FuzzSupport.h"
#include "app/IconFile.h"

#include <cstdint>
#include <vector>

namespace {

struct Icon {
    std::vector<uint32_t> pixels;
    uint16_t width = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FUZZ::ScratchFile file("quorvel_icon_fuzz");
    Icon icon;
    if (loadIcon(icon, file.write(data, size))) {
        if (icon.width == 0 || icon.pixels.empty() || icon.pixels.size() % icon.width != 0) {
            __builtin_trap();
        }
    } else if (!icon.pixels.empty() || icon.width != 0) {
        __builtin_trap(); // a refused file leaves no pixels
    }
    return 0;
}
