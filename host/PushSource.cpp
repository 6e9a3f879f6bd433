#include "host/PushSource.h"

#include <algorithm>
#include <cstring>

namespace QUORVEL {

PushSource::PushSource(AudioFormat format, size_t capacityBytes, std::function<void(size_t)> consumedCallback)
    : streamFormat(format), frameBytes(std::max<size_t>(format.frameBytes(), 1)),
      size(std::max(capacityBytes - capacityBytes % frameBytes, frameBytes)), bytes(size),
      consumed(std::move(consumedCallback)) {}

std::string PushSource::description() const {
    return "pushed audio, " + describeFormat(streamFormat);
}

size_t PushSource::queuedBytes() const {
    // Read the reader's total first: the difference can then only be too
    // large by what the producer wrote meanwhile, never negative.
    const uint64_t done = readTotal.load(std::memory_order_acquire);
    const uint64_t written = writeTotal.load(std::memory_order_acquire);
    return static_cast<size_t>(written - done);
}

size_t PushSource::push(std::span<const uint8_t> input) {
    const uint64_t written = writeTotal.load(std::memory_order_relaxed);
    const uint64_t done = readTotal.load(std::memory_order_acquire);
    const size_t room = size - static_cast<size_t>(written - done);
    size_t count = std::min(room, input.size());
    count -= count % frameBytes;
    const size_t at = static_cast<size_t>(written % size);
    const size_t first = std::min(count, size - at);
    std::memcpy(bytes.data() + at, input.data(), first);
    std::memcpy(bytes.data(), input.data() + first, count - first);
    writeTotal.store(written + count, std::memory_order_release);
    return count;
}

void PushSource::finish() {
    ended.store(true, std::memory_order_release);
}

void PushSource::reset() {
    writeTotal.store(0, std::memory_order_relaxed);
    readTotal.store(0, std::memory_order_relaxed);
    ended.store(false, std::memory_order_release);
}

std::optional<size_t> PushSource::read(std::span<uint8_t> output) {
    const bool last = ended.load(std::memory_order_acquire);
    const uint64_t done = readTotal.load(std::memory_order_relaxed);
    const uint64_t written = writeTotal.load(std::memory_order_acquire);
    const size_t queued = static_cast<size_t>(written - done);
    size_t count = std::min(queued, output.size());
    count -= count % frameBytes;
    if (count == 0 || (count < output.size() - output.size() % frameBytes && !last)) {
        if (last && queued < frameBytes && consumed) {
            consumed(size - queued); // the producer may be waiting for the end
        }
        return 0;
    }
    const size_t at = static_cast<size_t>(done % size);
    const size_t first = std::min(count, size - at);
    std::memcpy(output.data(), bytes.data() + at, first);
    std::memcpy(output.data() + first, bytes.data(), count - first);
    readTotal.store(done + count, std::memory_order_release);
    if (consumed) {
        consumed(size - queued);
    }
    return count;
}

bool PushSource::waiting() const {
    return !ended.load(std::memory_order_acquire) || queuedBytes() >= frameBytes;
}

} // namespace QUORVEL
