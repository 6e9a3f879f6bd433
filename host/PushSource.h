#pragma once

#include "host/AudioSource.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace QUORVEL {

// Audio handed in by a caller while a PlaySession streams it: a bounded
// single-producer, single-consumer queue of the stream's bytes. The producer
// (a player's thread, through the ALSA plugin) pushes; the session's thread
// reads. Nothing is allocated after construction and neither side waits for
// the other: the session asks again when it finds nothing (waiting()), and
// the producer learns of freed room through `consumed`.
class PushSource final : public AudioSource {
public:
    // `capacity` is rounded down to whole frames of `format` (at least one).
    // `consumed`, when set, is called on the reading thread after each read
    // that took bytes, with the room there was before it (and with the
    // capacity once finish() was read to the end).
    PushSource(AudioFormat format, size_t capacity, std::function<void(size_t roomBefore)> consumed = {});

    // Producer side.
    // Takes as many whole frames of `bytes` as there is room for; how many bytes.
    size_t push(std::span<const uint8_t> bytes);
    // No more audio: the reader gets what is queued, then the end.
    void finish();
    // Empties the queue and forgets finish(); only while nobody reads.
    void reset();

    // Either side.
    size_t capacity() const { return size; }
    size_t queuedBytes() const;
    size_t freeBytes() const { return size - queuedBytes(); }
    // Bytes read since construction or reset(): where the reader stands.
    uint64_t readBytes() const { return readTotal.load(std::memory_order_acquire); }
    bool finished() const { return ended.load(std::memory_order_acquire); }

    // Reader side (AudioSource). A read hands out bytes only when it can fill
    // the whole request, or after finish(): a stream of short datagrams would
    // cost the sink more than a moment's wait.
    AudioFormat format() const override { return streamFormat; }
    std::string description() const override;
    std::optional<uint64_t> totalFrames() const override { return std::nullopt; }
    std::optional<size_t> read(std::span<uint8_t> bytes) override;
    const std::string& error() const override { return noError; }
    bool waiting() const override;

private:
    AudioFormat streamFormat;
    size_t frameBytes;
    size_t size;
    std::vector<uint8_t> bytes;
    std::function<void(size_t)> consumed;
    // Totals since reset(): writeTotal is published by the producer with
    // release and read by the reader with acquire, readTotal the other way.
    std::atomic<uint64_t> writeTotal{0};
    std::atomic<uint64_t> readTotal{0};
    std::atomic<bool> ended{false}; // set by the producer
    std::string noError;
};

} // namespace QUORVEL
