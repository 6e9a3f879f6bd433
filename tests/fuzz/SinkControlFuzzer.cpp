// One fuzz input: a few datagrams (FuzzSupport.h records) from a Host into a
// sink's control step, through Sink::controlDatagram, the function
// controlStep hands every received datagram to. Format queries, prepare,
// connect (plain and MS), items, icons, synchro and forwarded offsets all run
// on one FuzzSink, reset to idle before each input.
#include "FuzzSink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FUZZ::AnswerDrop drop;
    static QUORVEL::PrepareCache cache;
    static VEMRA::SocketWaitSet pollSet;
    static FUZZ::FuzzSink sink(FUZZ::fuzzSinkInfo(), pollSet, FUZZ::fuzzSinkConfig(cache));
    static const bool opened = (FUZZ::logEverything(), sink.openForFuzzing(drop.address()));
    if (!opened) {
        return 0;
    }
    sink.reset();
    for (const auto record : FUZZ::splitRecords(data, size)) {
        if (!sink.controlDatagram(record, drop.address())) {
            break; // the node would give this sink up and build a new one
        }
    }
    return 0;
}
