#pragma once

// What the ALSA sink tests share: a CertifiedSinkAlsa configured for a test
// (system-chosen ports, registrations to a socket of the test, no real-time
// class, no long pauses) on the fake ALSA hardware of tests/support.

#include "alsa/CertifiedSinkAlsa.h"
#include "host/HostSocket.h"
#include "protocol/PrepareCache.h"
#include "support/FakeAlsa.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace ALSATEST {

using Keys = std::map<std::string, std::string>;

// Settings as read from a file holding `keys` in its "global" section.
inline ALSAOUT::DacSettings settingsWith(const Keys& keys) {
    return ALSAOUT::DacSettings::read("/test/quorvel_app_target_setting.inf", true,
                                      [&](const std::string& key) {
                                          const auto found = keys.find(key);
                                          return found == keys.end() ? std::string() : found->second;
                                      });
}

inline ALSAOUT::DacSettings noSettingsFile() {
    return ALSAOUT::DacSettings::read("/test/missing.inf", false,
                                      [](const std::string&) { return std::string(); });
}

inline QUORVEL::AudioFormat streamFormat(uint64_t encoding, uint32_t rate, uint32_t channels) {
    return QUORVEL::AudioFormat(encoding | QUORVEL::AudioFormat::rateBits(rate) |
                                QUORVEL::AudioFormat::channelBit(channels));
}

constexpr uint64_t kDsdLe = QUORVEL::AudioFormat::kDsd1 | QUORVEL::AudioFormat::kDsdMsbFirst |
                            QUORVEL::AudioFormat::kDsdLittleEndian | QUORVEL::AudioFormat::kDsdWidth4;

// One sink on one fake device. Registrations of the sink and of its status
// channel go to `registrar`, a socket of the test, not to a Target.
struct AlsaSinkFixture {
    QUORVEL::HostSocket registrar;
    QUORVEL::PrepareCache cache;
    std::unique_ptr<CertifiedSinkAlsa> sink;

    CertifiedSinkAlsaConfig config() {
        if (!registrar.isOpen()) {
            registrar.open();
        }
        CertifiedSinkAlsaConfig c;
        c.sink.registrationPort = registrar.localPort();
        c.sink.controlBasePort = 0;
        c.sink.streamBasePort = 0;
        c.sink.workerScheduling = VEMRA::Normal;
        c.sink.prepareCache = &cache;
        c.status.registrationPort = registrar.localPort();
        c.openFailurePause = std::chrono::milliseconds(0);
        c.setParamsPause = std::chrono::milliseconds(1);
        return c;
    }

    // Builds the sink for `device` as the per-DAC node does (name lookup,
    // close after probe unless told otherwise) and probes it with the node's
    // latency argument.
    bool probe(const std::string& device, const ALSAOUT::DacSettings& settings, bool closeAfterProbe = true) {
        QUORVEL::SinkInfo info;
        info.index = 1;
        info.name = "unnamed";
        CertifiedSinkAlsa::lookupDacName(info, device);
        sink = std::make_unique<CertifiedSinkAlsa>(info, device, closeAfterProbe, settings, config());
        return sink->probe(100);
    }

    // Closes and destroys the sink: every ALSA handle must be gone before
    // the fake hardware is.
    void release() {
        if (sink) {
            sink->closeDevice();
            sink.reset();
        }
    }
    ~AlsaSinkFixture() { release(); }
};

} // namespace ALSATEST
