#include "app/DacSkip.h"

bool dacSkipped(const SettingsStore& settings, const std::string& dacName) {
    for (const auto& [name, section] : settings.sections()) {
        // An empty name ("[]") occurs in every name: it names no DAC.
        if (name.empty() || dacName.find(name) == std::string::npos) {
            continue;
        }
        const auto skip = section.find("Skip");
        if (skip != section.end() && skip->second.value == "enable") {
            return true;
        }
    }
    return false;
}

bool dacSkippedByFile(const std::string& settingsPath, const std::string& dacName) {
    SettingsStore settings;
    return settings.load(settingsPath) && dacSkipped(settings, dacName);
}
