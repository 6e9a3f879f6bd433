#pragma once

#include "app/NodeSink.h"
#include "host/HostSocket.h"
#include "protocol/PrepareCache.h"
#include "support/FakeAlsa.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Fake DACs for tests of the supervisor and the DAC node, and the node
// configuration that runs real ALSA sinks on them without touching the
// machine: system-chosen ports, registrations to a socket of the test
// instead of a Target, normal scheduling, no pause after a failed open.
// Every device is paced, so a sink's transport worker never spins.
// Construct it before the code under test first touches ALSA.
struct TestDacs {
    QUORVEL::HostSocket registrar;
    QUORVEL::PrepareCache cache;
    std::unique_ptr<QUORVELTEST::FakeAlsa> alsa;
    NodeSinkConfig config;

    // `devices` as (card, device); `settingsPath` is the settings file the
    // nodes read (it need not exist).
    TestDacs(const std::vector<std::pair<int, int>>& devices, const std::string& settingsPath)
        : TestDacs(pacedDevices(devices), {}, settingsPath) {}

    TestDacs(std::vector<QUORVELTEST::FakePcmDevice> devices, std::vector<QUORVELTEST::FakeCard> cards,
             const std::string& settingsPath) {
        alsa = std::make_unique<QUORVELTEST::FakeAlsa>(std::move(cards), std::move(devices));
        registrar.open();
        config.settingsPath = settingsPath;
        config.sink.sink.registrationPort = registrar.localPort();
        config.sink.sink.controlBasePort = 0;
        config.sink.sink.streamBasePort = 0;
        config.sink.sink.workerScheduling = VEMRA::Normal;
        config.sink.sink.prepareCache = &cache;
        config.sink.status.registrationPort = registrar.localPort();
        config.sink.openFailurePause = std::chrono::milliseconds(0);
    }

    bool ok() const { return alsa->ok() && registrar.isOpen(); }

    static std::vector<QUORVELTEST::FakePcmDevice>
    pacedDevices(const std::vector<std::pair<int, int>>& devices) {
        std::vector<QUORVELTEST::FakePcmDevice> result;
        for (const auto& [card, device] : devices) {
            QUORVELTEST::FakePcmDevice fake;
            fake.card = card;
            fake.device = device;
            fake.paced = true;
            result.push_back(fake);
        }
        return result;
    }
};
