// One fuzz input: a few datagrams (FuzzSupport.h records) from a Host into a
// sink's status channel, through Status::handleDatagram, the function step
// hands every received datagram to. One channel serves all inputs; its
// values are reset before each.
#include "FuzzSupport.h"
#include "protocol/Status.h"

namespace {

QUORVEL::StatusDescriptor fuzzDescriptor() {
    QUORVEL::StatusDescriptor descriptor;
    descriptor.sinkId = 3;
    descriptor.name = "Fuzz DAC Control";
    descriptor.addressBlock = QUORVEL::StatusDescriptor::loopbackBlock(3);
    descriptor.controls = {{QUORVEL::StatusControl::kFormat, 0, 0},
                           {QUORVEL::StatusControl::kVolume, -9000, 0}};
    QUORVEL::IconImage& colour = descriptor.icons[0];
    colour.width = 7;
    colour.pixels.assign(21, 0x11223344U);
    QUORVEL::IconImage& mask = descriptor.icons[1];
    mask.width = 1500;
    mask.oneBytePerPixel = true;
    mask.pixels.assign(3000, 0xFF000000U);
    return descriptor;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FUZZ::AnswerDrop drop;
    static VEMRA::SocketWaitSet pollSet;
    static QUORVEL::Status status(fuzzDescriptor(), pollSet);
    static const bool started = (FUZZ::logEverything(), status.start());
    if (!started) {
        return 0;
    }
    status.setConnected(false);
    status.setVolumeValues(-9000);
    status.setFormatValues(QUORVEL::AudioFormat());
    for (const auto record : FUZZ::splitRecords(data, size)) {
        if (!status.handleDatagram(record, drop.address())) {
            break;
        }
    }
    return 0;
}
