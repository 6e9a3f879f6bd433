#pragma once

#include "app/SettingsStore.h"
#include "protocol/Target.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace QUORVEL {

// The application's Target: the Host's configuration requests read and write
// the settings file beside the executable, and a data transfer is handed to a
// processing thread of its own.
//
// Threads: the constructor, destructor and start/stop run on the owner's
// thread (NodeTarget); every override runs on the Target's worker thread, so
// `settings` and the transfer fields are touched by that thread only. The
// processing thread writes the transfer flags, which are atomic.
class CertifiedTarget : public Target {
public:
    static constexpr int32_t kBuiltinItemCount = 10;

    // Builds the ten setting items from the settings file at `settingsPath`
    // (item values, and the target name when the file names one) into a copy
    // of `info`, and keeps a store of that file for the Host's changes.
    CertifiedTarget(const TargetInfo& info, const std::string& settingsPath, Config config = Config());
    ~CertifiedTarget() override;
    CertifiedTarget(const CertifiedTarget&) = delete;
    CertifiedTarget& operator=(const CertifiedTarget&) = delete;

    // `info` with rebootAllowed and syslogToLocal set, the ten items taken
    // from `settings` and the target name replaced by the stored one.
    static TargetInfo withSettingItems(TargetInfo info, const SettingsStore& settings);

    bool transferCheck(uint16_t area, uint16_t& check, uint16_t& phase) override;                 // 1
    bool configGet(uint16_t item, std::string& text, uint16_t& number) override;                  // 2
    bool configSet(uint16_t item, const std::string& text, uint16_t number, bool reset) override; // 3
    bool configSave(bool restart) override;                                                       // 4

    // Worker thread (or the owner while the Target is not running).
    int32_t settingsStateValue() const { return settingsState; }
    int32_t clearedValue() const { return cleared; }
    const SettingsStore& settingsStore() const { return settings; }
    int64_t transferAreaValue() const { return transferArea; }
    uint16_t transferStepsValue() const { return transferSteps; }
    size_t transferByteCount() const { return transferBytes.size(); }

private:
    // What a transfer's processing would do with `transferBytes`; nothing in
    // this system, which offers no transfer area.
    void processTransfer();
    void joinTransfer();

    std::thread transferThread;
    uint16_t transferSteps = 0;
    std::vector<uint8_t> transferBytes;
    int64_t transferArea = -1;
    std::atomic<bool> transferIdle{true};
    std::atomic<bool> transferBusy{false};   // set by the worker, cleared by the processing thread
    std::atomic<bool> transferFailed{false}; // set by the processing thread
    SettingsStore settings;
    int32_t settingsState = 1; // 4 after a save, 5 after a clear-and-save and any save after it
    int32_t cleared = 0;       // 1 once the settings were cleared
    const std::string settingsPath;
    const std::string savePath;
};

} // namespace QUORVEL
