#include "support/FakeAlsa.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifndef QUORVEL_FAKE_ALSA_DIR
#error "QUORVEL_FAKE_ALSA_DIR must name the directory of the fake ALSA plugins"
#endif

namespace QUORVELTEST {

namespace {

const char* const kConfigVariable = "ALSA_CONFIG_PATH";

// An ALSA configuration string literal.
std::string quoted(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
        }
        result += c;
    }
    return result + "\"";
}

const char* tlvName(FakeMixerElement::Tlv tlv) {
    switch (tlv) {
    case FakeMixerElement::Tlv::DbScale:
        return "scale";
    case FakeMixerElement::Tlv::DbMinMax:
        return "minmax";
    case FakeMixerElement::Tlv::DbMinMaxMute:
        return "minmax_mute";
    }
    return "scale";
}

// The device nodes are looked up by name from "hw" with the card and device
// numbers substituted, so hw:1,0 and hw:1 (device 0) reach the same node and
// an unknown card fails to open as it does on real hardware.
const char* const kRouting = R"(
pcm.hw {
    @args [ CARD DEV SUBDEV ]
    @args.CARD { type string }
    @args.DEV { type integer default 0 }
    @args.SUBDEV { type integer default -1 }
    @func refer
    name { @func concat strings [ "quorvelfake.pcm.card" $CARD ".dev" $DEV ] }
}
ctl.hw {
    @args [ CARD ]
    @args.CARD { type string }
    @func refer
    name { @func concat strings [ "quorvelfake.ctl.card" $CARD ] }
}
)";

void writeDevice(std::ostream& out, const FakePcmDevice& device, const std::string& outputPath) {
    out << "quorvelfake.pcm.card" << device.card << ".dev" << device.device << " {\n"
        << "    type quorvelfake\n"
        << "    formats [";
    for (const std::string& format : device.formats) {
        out << ' ' << quoted(format);
    }
    out << " ]\n"
        << "    channels_min " << device.channelsMin << "\n"
        << "    channels_max " << device.channelsMax << "\n";
    if (device.rates.empty()) {
        out << "    rate_min " << device.rateMin << "\n"
            << "    rate_max " << device.rateMax << "\n";
    } else {
        out << "    rates [";
        for (unsigned int rate : device.rates) {
            out << ' ' << rate;
        }
        out << " ]\n";
    }
    out << "    period_bytes_min " << device.periodBytesMin << "\n"
        << "    period_bytes_max " << device.periodBytesMax << "\n"
        << "    buffer_bytes_min " << device.bufferBytesMin << "\n"
        << "    buffer_bytes_max " << device.bufferBytesMax << "\n"
        << "    periods_min " << device.periodsMin << "\n"
        << "    periods_max " << device.periodsMax << "\n"
        << "    output " << quoted(outputPath) << "\n"
        << "    paced " << (device.paced ? "true" : "false") << "\n";
    if (device.underrunAfter >= 0) {
        out << "    underrun_after " << device.underrunAfter << "\n";
    }
    if (device.xrunWhenEmpty) {
        out << "    xrun_when_empty true\n";
    }
    if (device.failAfter >= 0) {
        out << "    fail_after " << device.failAfter << "\n";
    }
    if (device.openError > 0) {
        out << "    open_error " << device.openError << "\n";
    }
    out << "}\n";
}

void writeCard(std::ostream& out, const FakeCard& card, const std::string& statePath) {
    out << "quorvelfake.ctl.card" << card.card << " {\n"
        << "    type quorvelfake\n"
        << "    card " << card.card << "\n"
        << "    id " << quoted(card.id) << "\n"
        << "    name " << quoted(card.name) << "\n"
        << "    longname " << quoted(card.longname) << "\n"
        << "    mixername " << quoted(card.mixername) << "\n"
        << "    state " << quoted(statePath) << "\n"
        << "    elements [\n";
    for (const FakeMixerElement& element : card.elements) {
        out << "        { name " << quoted(element.name) << " min " << element.rawMin << " max "
            << element.rawMax << " db_min " << element.dbMin << " db_max " << element.dbMax << " tlv "
            << tlvName(element.tlv) << " mute " << (element.muteAtMin ? "true" : "false") << " channels "
            << element.channels << " switch " << (element.playbackSwitch ? "true" : "false");
        if (element.initial) {
            out << " value " << *element.initial;
        }
        out << " }\n";
    }
    out << "    ]\n}\n";
}

} // namespace

FakeAlsa::FakeAlsa(std::vector<FakeCard> cards, std::vector<FakePcmDevice> devices) {
    for (const FakePcmDevice& device : devices) {
        bool known = std::any_of(cards.begin(), cards.end(),
                                 [&](const FakeCard& card) { return card.card == device.card; });
        if (!known) {
            FakeCard card;
            card.card = device.card;
            cards.push_back(card);
        }
    }
    std::error_code error;
    std::string pattern = (std::filesystem::temp_directory_path(error) / "quorvel-fakealsa-XXXXXX").string();
    if (error || mkdtemp(pattern.data()) == nullptr) {
        return;
    }
    dir = pattern;
    config = dir + "/asound.conf";
    if (!writeConfig(cards, devices)) {
        return;
    }
    const char* previous = getenv(kConfigVariable);
    hadPreviousPath = previous != nullptr;
    previousPath = previous != nullptr ? previous : "";
    // Drop whatever configuration libasound cached, then point it at ours.
    snd_config_update_free_global();
    good = setenv(kConfigVariable, config.c_str(), 1) == 0;
}

FakeAlsa::~FakeAlsa() {
    if (good) {
        snd_config_update_free_global();
        if (hadPreviousPath) {
            setenv(kConfigVariable, previousPath.c_str(), 1);
        } else {
            unsetenv(kConfigVariable);
        }
    }
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

bool FakeAlsa::writeConfig(const std::vector<FakeCard>& cards, const std::vector<FakePcmDevice>& devices) {
    std::ofstream out(config, std::ios::trunc);
    std::string plugins = pluginDirectory();
    out << "pcm_type.quorvelfake { lib " << quoted(plugins + "/libasound_module_pcm_quorvelfake.so") << " }\n"
        << "ctl_type.quorvelfake { lib " << quoted(plugins + "/libasound_module_ctl_quorvelfake.so") << " }\n"
        << kRouting;
    for (const FakePcmDevice& device : devices) {
        writeDevice(out, device, outputPath(device.card, device.device));
    }
    for (const FakeCard& card : cards) {
        writeCard(out, card, statePath(card.card));
    }
    out.flush();
    return static_cast<bool>(out);
}

std::string FakeAlsa::outputPath(int card, int device) const {
    return dir + "/pcm-" + std::to_string(card) + "-" + std::to_string(device) + ".raw";
}

std::vector<uint8_t> FakeAlsa::output(int card, int device) const {
    std::ifstream in(outputPath(card, device), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string FakeAlsa::statePath(int card) const {
    return dir + "/mixer-" + std::to_string(card) + ".state";
}

bool FakeAlsa::mixerValues(int card, const std::string& control, std::vector<long>& values) const {
    std::ifstream in(statePath(card));
    std::string line;
    std::string prefix = control + "=";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        values.clear();
        std::istringstream numbers(line.substr(prefix.size()));
        std::string number;
        while (std::getline(numbers, number, ',')) {
            values.push_back(std::strtol(number.c_str(), nullptr, 10));
        }
        return true;
    }
    return false;
}

std::string FakeAlsa::pluginDirectory() {
    return QUORVEL_FAKE_ALSA_DIR;
}

} // namespace QUORVELTEST
