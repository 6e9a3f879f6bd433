#include "app/CertifiedTarget.h"

#include "app/SettingItem.h"
#include "foundation/Log.h"

#include <algorithm>
#include <array>
#include <utility>

namespace QUORVEL {

namespace {

constexpr uint16_t kPhaseStart = 0;
constexpr uint16_t kPhaseFinal = 0xFFFF;
constexpr size_t kStepBytes = 1048576;

// The settings keys of items 0-9, in item order.
constexpr std::array<const char*, CertifiedTarget::kBuiltinItemCount> kItemKeys = {
    kTargetNameKey, "DoPauto",  "DSDNativ",    "DSD48",     "PCM32bit",
    "PCM24bit",     "PCM16bit", "AlsaLatency", "VolumeCtl", "AlsaMaxCh"};

enum ItemIndex : uint16_t {
    kName = 0,
    kDsd48 = 3,
    kLatency = 7,
    kVolume = 8,
    kMaxChannels = 9,
};

ConfigItem toConfigItem(const SettingItem& item) {
    ConfigItem config;
    config.type = item.type;
    config.name = item.name;
    config.text = item.text;
    config.minimum = static_cast<int16_t>(item.min);
    config.maximum = item.max;
    config.value = item.value;
    config.choices = item.choices;
    return config;
}

// A text from the Host becomes one line of the settings file: a line break
// would smuggle further keys or sections into it, and any other control
// byte would make the whole file unreadable at the next start.
bool storableText(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

SettingsStore loadedStore(const std::string& path) {
    SettingsStore store;
    store.load(path);
    store.select("global");
    return store;
}

} // namespace

CertifiedTarget::CertifiedTarget(const TargetInfo& info, const std::string& path, Config config)
    : Target(withSettingItems(info, loadedStore(path)), std::move(config)), settingsPath(path),
      savePath(path) {
    settings.load(settingsPath);
    settings.select("global");
}

CertifiedTarget::~CertifiedTarget() {
    // The worker calls the overrides: it must be gone before this object is.
    stop();
    joinTransfer();
}

TargetInfo CertifiedTarget::withSettingItems(TargetInfo info, const SettingsStore& settings) {
    info.rebootAllowed = true;
    info.syslogToLocal = true;
    info.configItems.clear();
    for (const SettingItem& item : buildSettingItems(settings, info.targetName)) {
        info.configItems.push_back(toConfigItem(item));
    }
    return info;
}

bool CertifiedTarget::configGet(uint16_t item, std::string& text, uint16_t& number) {
    if (item >= kItemKeys.size()) {
        return false;
    }
    const std::string value = settings.get(kItemKeys[item]);
    if (value.empty()) {
        return false;
    }
    switch (item) {
    case kName:
    case kVolume:
        text = value;
        break;
    case kDsd48:
        number = value == "enable" ? 1 : 0;
        break;
    case kLatency:
    case kMaxChannels: {
        const int64_t stored = settings.getInt(kItemKeys[item]);
        if (stored == 0) {
            return false;
        }
        number = static_cast<uint16_t>(stored);
        break;
    }
    default:
        number = value == "disable" ? 0 : 1;
        break;
    }
    VEMRA::logLine(VEMRA::kLogDebug, "ConfigGet ")
        << static_cast<unsigned>(item) << " : " << text << static_cast<unsigned>(number);
    return true;
}

bool CertifiedTarget::configSet(uint16_t item, const std::string& text, uint16_t number, bool reset) {
    if (item >= kItemKeys.size()) {
        return false;
    }
    const char* key = kItemKeys[item];
    if (reset) {
        // An empty value is not saved, so the default applies again.
        settings.set(key, "");
    } else {
        switch (item) {
        case kName:
        case kVolume:
            if (!storableText(text)) {
                VEMRA::logLine(VEMRA::kLogError, "ConfigSet refused ") << static_cast<unsigned>(item);
                return false;
            }
            settings.set(key, text);
            break;
        case kLatency:
        case kMaxChannels:
            settings.setInt(key, number);
            break;
        default:
            settings.set(key, number == 0 ? "disable" : "enable");
            break;
        }
    }
    VEMRA::logLine(VEMRA::kLogDebug, "ConfigSet ")
        << static_cast<unsigned>(item) << " : " << text << " " << static_cast<unsigned>(number);
    return true;
}

bool CertifiedTarget::configSave(bool restart) {
    if (!restart) {
        settings.clear();
        cleared = 1;
    }
    if (!settings.save(savePath)) {
        VEMRA::logLine(VEMRA::kLogError, "save Error: ") << savePath;
        return false;
    }
    VEMRA::logLine(VEMRA::kLogInfo, cleared != 0 ? "clear : setting" : "save : setting");
    settingsState = cleared + 4;
    return true;
}

bool CertifiedTarget::transferCheck(uint16_t area, uint16_t& check, uint16_t& phase) {
    if (phase == kPhaseStart) {
        // One reading decides: the processing thread may finish meanwhile,
        // and a thread that was not joined must not be replaced.
        const bool busy = transferBusy.load();
        if (transferThread.joinable() && !busy) {
            transferThread.join();
            transferIdle = false;
            transferBusy = false;
            transferFailed = false;
        }
        if (!busy) {
            transferBytes = takeReceivedTransfer();
            transferArea = area;
            transferSteps = static_cast<uint16_t>(transferBytes.size() / kStepBytes);
            phase = transferSteps;
            transferBusy = true;
            transferThread = std::thread(&CertifiedTarget::processTransfer, this);
            return true;
        }
        if (transferFailed.load()) {
            VEMRA::logLine(VEMRA::kLogInfo, "Update Falt");
            return false;
        }
        phase = transferSteps;
        VEMRA::logLine(VEMRA::kLogDebug, "step=") << static_cast<unsigned>(phase);
        return true;
    }
    if (phase != kPhaseFinal) {
        return false;
    }
    joinTransfer();
    transferIdle = true;
    return Target::transferCheck(area, check, phase);
}

void CertifiedTarget::processTransfer() {
    transferBusy = false;
}

void CertifiedTarget::joinTransfer() {
    if (transferThread.joinable()) {
        transferThread.join();
    }
}

} // namespace QUORVEL
