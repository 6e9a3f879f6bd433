#pragma once

#include "app/SettingsStore.h"

#include <string>

// A DAC is skipped when some section whose non-empty name occurs anywhere
// inside the DAC's ALSA name holds "Skip=enable" (names and value compared
// exactly, case included). Called by the per-DAC node at every start of its
// sink.
bool dacSkipped(const SettingsStore& settings, const std::string& dacName);

// The same with a fresh store read from the settings file; a file that cannot
// be loaded skips nothing.
bool dacSkippedByFile(const std::string& settingsPath, const std::string& dacName);
