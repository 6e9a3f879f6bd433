#pragma once

#include "host/HostSocket.h"
#include "host/SinkClient.h"
#include "protocol/PrepareCache.h"
#include "support/TestSinkNode.h"

#include <functional>
#include <memory>

namespace QUORVEL {

// Stream formats the sink tests use.
AudioFormat cdFormat();    // 44.1 kHz, 16 bit, stereo
AudioFormat hiResFormat(); // 192 kHz, 32 bit, stereo
AudioFormat makeFormat(uint64_t encoding, uint32_t rate, uint32_t channels);

// One sink under test with everything around it: a receiver for its port
// registrations (instead of the Target's port), a prepare cache of its own,
// the node running its control loop, and a Host client on [::1].
struct SinkRig {
    HostSocket registrar;
    PrepareCache cache;
    std::unique_ptr<TestSinkNode> node;
    std::unique_ptr<SinkClient> client;

    static SinkInfo defaultInfo();

    // `adjust` may change the configuration before the sink is built.
    bool start(const SinkInfo& info = defaultInfo(), const TestBackEndOptions& options = TestBackEndOptions(),
               const std::function<void(SinkConfig&)>& adjust = {}, bool withTransport = true);
    // A second Host client for the same sink.
    std::unique_ptr<SinkClient> newClient() const;
    TestSinkBackEnd& sink() { return node->sink(); }
    // Connects the client with `format` (prepare step skipped) and returns the stream port; 0 on refusal.
    uint16_t connect(AudioFormat format);
};

} // namespace QUORVEL
