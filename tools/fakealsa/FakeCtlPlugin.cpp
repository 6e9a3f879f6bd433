// Fake card control for tests: an ALSA external control plugin (ctl type
// "quorvelfake") with the card's names and up to a few playback-volume
// elements that carry a dB range, so the simple mixer sees them exactly as it
// sees a DAC's mixer. Written values are kept in a state file, which every
// open reads first: the values persist across handles and processes, and a
// test reads back what the code under test set.
//
// Configuration keys:
//   card N, id, driver, name, longname, mixername     card identity
//   state "/path"                                      state file (optional)
//   elements [ { name "PCM" min 0 max 255 db_min -5100 db_max 0
//                tlv "scale"|"minmax"|"minmax_mute" mute false
//                channels 2 value 255 switch false } ... ]   (value: default max)
// Element `name` is the simple-mixer name: the plugin offers "<name> Playback
// Volume" (and "<name> Playback Switch" when `switch` is true). dB values are
// in hundredths of a decibel, as in libasound's dB functions.
//
// State file: one line per control, "<control name>=<v0>,<v1>,...".
//
// Concurrency: one handle is used by one thread at a time; handles share
// nothing but the state file, which is replaced atomically on every write.

#include "PluginConfig.h"

#include <alsa/asoundlib.h>
#include <alsa/control_external.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace FAKEALSA {
namespace {

enum class TlvKind { Scale, MinMax, MinMaxMute };

struct MixerElement {
    std::string name = "PCM";
    long rawMin = 0;
    long rawMax = 255;
    long dbMin = -5100;
    long dbMax = 0;
    TlvKind tlv = TlvKind::Scale;
    bool muteAtMin = false; // DB_SCALE flag: the lowest raw value is silence
    unsigned int channels = 2;
    bool hasInitial = false;
    long initial = 0; // when hasInitial; otherwise rawMax
    bool hasSwitch = false;
};

enum class ControlKind { Volume, Switch };

struct Control {
    std::string name;
    size_t element = 0;
    ControlKind kind = ControlKind::Volume;
    std::vector<long> values;
};

struct FakeCtl {
    snd_ctl_ext_t ext{};
    std::vector<MixerElement> elements;
    std::vector<Control> controls;
    std::string statePath;
};

FakeCtl& fakeOf(snd_ctl_ext_t* ext) {
    return *static_cast<FakeCtl*>(ext->private_data);
}

bool validKey(const FakeCtl& fake, snd_ctl_ext_key_t key) {
    return key < fake.controls.size();
}

long lowest(const FakeCtl& fake, const Control& control) {
    return control.kind == ControlKind::Volume ? fake.elements[control.element].rawMin : 0;
}

long highest(const FakeCtl& fake, const Control& control) {
    return control.kind == ControlKind::Volume ? fake.elements[control.element].rawMax : 1;
}

// Written to a temporary file first, so a reader never sees half a state.
bool saveState(const FakeCtl& fake) {
    if (fake.statePath.empty()) {
        return true;
    }
    std::string temporary = fake.statePath + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const Control& control : fake.controls) {
            out << control.name << '=';
            for (size_t i = 0; i < control.values.size(); ++i) {
                out << (i > 0 ? "," : "") << control.values[i];
            }
            out << '\n';
        }
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), fake.statePath.c_str()) == 0;
}

// Values of a missing file, unknown controls and out-of-range numbers are left
// as configured: the state file only ever holds what a handle wrote.
void loadState(FakeCtl& fake) {
    if (fake.statePath.empty()) {
        return;
    }
    std::ifstream in(fake.statePath);
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.rfind('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, equals);
        for (Control& control : fake.controls) {
            if (control.name != name) {
                continue;
            }
            std::vector<long> values;
            std::istringstream numbers(line.substr(equals + 1));
            std::string number;
            while (std::getline(numbers, number, ',')) {
                char* end = nullptr;
                long value = strtol(number.c_str(), &end, 10);
                if (end == number.c_str() || *end != '\0') {
                    break;
                }
                values.push_back(value);
            }
            bool fits = values.size() == control.values.size();
            for (long value : values) {
                fits = fits && value >= lowest(fake, control) && value <= highest(fake, control);
            }
            if (fits) {
                control.values = values;
            }
        }
    }
}

int ctlElemCount(snd_ctl_ext_t* ext) {
    return static_cast<int>(fakeOf(ext).controls.size());
}

int ctlElemList(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
    FakeCtl& fake = fakeOf(ext);
    if (offset >= fake.controls.size()) {
        return -EINVAL;
    }
    snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_id_set_name(id, fake.controls[offset].name.c_str());
    snd_ctl_elem_id_set_numid(id, offset + 1);
    return 0;
}

snd_ctl_ext_key_t ctlFindElem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
    FakeCtl& fake = fakeOf(ext);
    unsigned int numid = snd_ctl_elem_id_get_numid(id);
    if (numid > 0) {
        return numid <= fake.controls.size() ? numid - 1 : SND_CTL_EXT_KEY_NOT_FOUND;
    }
    if (snd_ctl_elem_id_get_interface(id) != SND_CTL_ELEM_IFACE_MIXER || snd_ctl_elem_id_get_index(id) != 0) {
        return SND_CTL_EXT_KEY_NOT_FOUND;
    }
    const char* name = snd_ctl_elem_id_get_name(id);
    for (size_t i = 0; i < fake.controls.size(); ++i) {
        if (fake.controls[i].name == name) {
            return i;
        }
    }
    return SND_CTL_EXT_KEY_NOT_FOUND;
}

int ctlGetAttribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* access,
                    unsigned int* count) {
    FakeCtl& fake = fakeOf(ext);
    if (!validKey(fake, key)) {
        return -EINVAL;
    }
    const Control& control = fake.controls[key];
    *count = static_cast<unsigned int>(control.values.size());
    if (control.kind == ControlKind::Volume) {
        *type = SND_CTL_ELEM_TYPE_INTEGER;
        *access =
            SND_CTL_EXT_ACCESS_READWRITE | SND_CTL_EXT_ACCESS_TLV_READ | SND_CTL_EXT_ACCESS_TLV_CALLBACK;
    } else {
        *type = SND_CTL_ELEM_TYPE_BOOLEAN;
        *access = SND_CTL_EXT_ACCESS_READWRITE;
    }
    return 0;
}

int ctlGetIntegerInfo(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* minimum, long* maximum, long* step) {
    FakeCtl& fake = fakeOf(ext);
    if (!validKey(fake, key)) {
        return -EINVAL;
    }
    *minimum = lowest(fake, fake.controls[key]);
    *maximum = highest(fake, fake.controls[key]);
    *step = 1;
    return 0;
}

int ctlReadInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
    FakeCtl& fake = fakeOf(ext);
    if (!validKey(fake, key)) {
        return -EINVAL;
    }
    const Control& control = fake.controls[key];
    for (size_t i = 0; i < control.values.size(); ++i) {
        value[i] = control.values[i];
    }
    return 0;
}

// Like a driver that validates its input, values outside the range are
// refused rather than clamped, so a caller that skips the range shows up.
int ctlWriteInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
    FakeCtl& fake = fakeOf(ext);
    if (!validKey(fake, key)) {
        return -EINVAL;
    }
    Control& control = fake.controls[key];
    for (size_t i = 0; i < control.values.size(); ++i) {
        if (value[i] < lowest(fake, control) || value[i] > highest(fake, control)) {
            return -EINVAL;
        }
    }
    bool changed = false;
    for (size_t i = 0; i < control.values.size(); ++i) {
        changed = changed || control.values[i] != value[i];
        control.values[i] = value[i];
    }
    if (!saveState(fake)) {
        return -EIO;
    }
    return changed ? 1 : 0;
}

void ctlSubscribeEvents(snd_ctl_ext_t* /*ext*/, int /*subscribe*/) {}

// The fake raises no change events; readers just find none pending.
int ctlReadEvent(snd_ctl_ext_t* /*ext*/, snd_ctl_elem_id_t* /*id*/, unsigned int* /*eventMask*/) {
    return -EAGAIN;
}

void ctlClose(snd_ctl_ext_t* ext) {
    FakeCtl* fake = &fakeOf(ext);
    if (ext->poll_fd >= 0) {
        ::close(ext->poll_fd);
    }
    delete fake;
}

int ctlTlv(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int opFlag, unsigned int /*numid*/, unsigned int* tlv,
           unsigned int tlvSize) {
    FakeCtl& fake = fakeOf(ext);
    if (!validKey(fake, key) || fake.controls[key].kind != ControlKind::Volume) {
        return -ENXIO;
    }
    if (opFlag != 0) {
        return -ENXIO;
    }
    if (tlvSize < 4 * sizeof(unsigned int)) {
        return -ENOMEM;
    }
    const MixerElement& element = fake.elements[fake.controls[key].element];
    tlv[1] = 2 * sizeof(unsigned int);
    tlv[2] = static_cast<unsigned int>(static_cast<int>(element.dbMin));
    switch (element.tlv) {
    case TlvKind::Scale: {
        long step = (element.dbMax - element.dbMin) / (element.rawMax - element.rawMin);
        tlv[0] = SND_CTL_TLVT_DB_SCALE;
        tlv[3] = static_cast<unsigned int>(step & 0xFFFF) | (element.muteAtMin ? 0x10000U : 0U);
        break;
    }
    case TlvKind::MinMax:
    case TlvKind::MinMaxMute:
        tlv[0] = element.tlv == TlvKind::MinMax ? SND_CTL_TLVT_DB_MINMAX : SND_CTL_TLVT_DB_MINMAX_MUTE;
        tlv[3] = static_cast<unsigned int>(static_cast<int>(element.dbMax));
        break;
    }
    return 0;
}

const snd_ctl_ext_callback_t kCallbacks = [] {
    snd_ctl_ext_callback_t callbacks{};
    callbacks.close = ctlClose;
    callbacks.elem_count = ctlElemCount;
    callbacks.elem_list = ctlElemList;
    callbacks.find_elem = ctlFindElem;
    callbacks.get_attribute = ctlGetAttribute;
    callbacks.get_integer_info = ctlGetIntegerInfo;
    callbacks.read_integer = ctlReadInteger;
    callbacks.write_integer = ctlWriteInteger;
    callbacks.subscribe_events = ctlSubscribeEvents;
    callbacks.read_event = ctlReadEvent;
    return callbacks;
}();

bool readLong(snd_config_t* node, long& value) {
    long long number = 0;
    if (!readInteger(node, number)) {
        return false;
    }
    value = static_cast<long>(number);
    return true;
}

bool readElement(snd_config_t* conf, MixerElement& element) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    if (snd_config_get_type(conf) != SND_CONFIG_TYPE_COMPOUND) {
        SNDERR("quorvelfake ctl: every element needs a compound");
        return false;
    }
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0) {
            continue;
        }
        std::string key = id;
        bool good = true;
        long channels = 0;
        std::string tlv;
        if (key == "name") {
            good = readString(node, element.name) && !element.name.empty();
        } else if (key == "min") {
            good = readLong(node, element.rawMin);
        } else if (key == "max") {
            good = readLong(node, element.rawMax);
        } else if (key == "db_min") {
            good = readLong(node, element.dbMin);
        } else if (key == "db_max") {
            good = readLong(node, element.dbMax);
        } else if (key == "mute") {
            good = readBool(node, element.muteAtMin);
        } else if (key == "channels") {
            good = readLong(node, channels) && channels >= 1 && channels <= 32;
            element.channels = static_cast<unsigned int>(channels);
        } else if (key == "value") {
            good = readLong(node, element.initial);
            element.hasInitial = true;
        } else if (key == "switch") {
            good = readBool(node, element.hasSwitch);
        } else if (key == "tlv") {
            good = readString(node, tlv);
            if (tlv == "scale") {
                element.tlv = TlvKind::Scale;
            } else if (tlv == "minmax") {
                element.tlv = TlvKind::MinMax;
            } else if (tlv == "minmax_mute") {
                element.tlv = TlvKind::MinMaxMute;
            } else {
                good = false;
            }
        } else {
            SNDERR("quorvelfake ctl: unknown element key %s", id);
            return false;
        }
        if (!good) {
            SNDERR("quorvelfake ctl: bad value for element key %s", id);
            return false;
        }
    }
    if (element.rawMax <= element.rawMin || element.dbMax < element.dbMin) {
        SNDERR("quorvelfake ctl: element %s needs min < max and db_min <= db_max", element.name.c_str());
        return false;
    }
    // DB_SCALE can only describe equal steps of whole hundredths of a dB.
    long span = element.rawMax - element.rawMin;
    if (element.tlv == TlvKind::Scale && (element.dbMax - element.dbMin) % span != 0) {
        SNDERR("quorvelfake ctl: element %s: dB span is not a whole number of steps", element.name.c_str());
        return false;
    }
    if (!element.hasInitial) {
        element.initial = element.rawMax;
    }
    if (element.initial < element.rawMin || element.initial > element.rawMax) {
        SNDERR("quorvelfake ctl: element %s: value out of range", element.name.c_str());
        return false;
    }
    return true;
}

bool readConfig(snd_config_t* conf, FakeCtl& fake) {
    snd_ctl_ext_t& ext = fake.ext;
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    ext.card_idx = 0;
    copyName(ext.id, "QuorvelFake");
    copyName(ext.driver, "QuorvelFake");
    copyName(ext.name, "Quorvel Fake DAC");
    copyName(ext.longname, "Quorvel Fake DAC");
    copyName(ext.mixername, "Quorvel Fake Mixer");
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0 || isGenericKey(id)) {
            continue;
        }
        std::string key = id;
        std::string text;
        long long number = 0;
        bool good = true;
        if (key == "card") {
            good = readInteger(node, number) && number >= 0 && number < 32;
            ext.card_idx = static_cast<int>(number);
        } else if (key == "id") {
            good = readString(node, text);
            copyName(ext.id, text);
        } else if (key == "driver") {
            good = readString(node, text);
            copyName(ext.driver, text);
        } else if (key == "name") {
            good = readString(node, text);
            copyName(ext.name, text);
        } else if (key == "longname") {
            good = readString(node, text);
            copyName(ext.longname, text);
        } else if (key == "mixername") {
            good = readString(node, text);
            copyName(ext.mixername, text);
        } else if (key == "state") {
            good = readString(node, fake.statePath);
        } else if (key == "elements") {
            snd_config_iterator_t j;
            snd_config_iterator_t nextElement;
            good = snd_config_get_type(node) == SND_CONFIG_TYPE_COMPOUND;
            if (good) {
                snd_config_for_each(j, nextElement, node) {
                    MixerElement element;
                    if (!readElement(snd_config_iterator_entry(j), element)) {
                        return false;
                    }
                    fake.elements.push_back(element);
                }
            }
        } else {
            SNDERR("quorvelfake ctl: unknown key %s", id);
            return false;
        }
        if (!good) {
            SNDERR("quorvelfake ctl: bad value for %s", id);
            return false;
        }
    }
    return true;
}

void buildControls(FakeCtl& fake) {
    for (size_t i = 0; i < fake.elements.size(); ++i) {
        const MixerElement& element = fake.elements[i];
        Control volume;
        volume.name = element.name + " Playback Volume";
        volume.element = i;
        volume.kind = ControlKind::Volume;
        volume.values.assign(element.channels, element.initial);
        fake.controls.push_back(volume);
        if (element.hasSwitch) {
            Control onOff;
            onOff.name = element.name + " Playback Switch";
            onOff.element = i;
            onOff.kind = ControlKind::Switch;
            onOff.values.assign(element.channels, 1);
            fake.controls.push_back(onOff);
        }
    }
}

int openFake(snd_ctl_t** handlep, const char* name, snd_config_t* conf, int mode) {
    auto* fake = new (std::nothrow) FakeCtl;
    if (fake == nullptr) {
        return -ENOMEM;
    }
    if (!readConfig(conf, *fake)) {
        delete fake;
        return -EINVAL;
    }
    buildControls(*fake);
    loadState(*fake);
    // Nobody is ever woken through it, but pollers need a valid descriptor.
    fake->ext.poll_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fake->ext.poll_fd < 0) {
        int err = -errno;
        delete fake;
        return err;
    }
    fake->ext.version = SND_CTL_EXT_VERSION;
    fake->ext.callback = &kCallbacks;
    fake->ext.private_data = fake;
    fake->ext.tlv.c = ctlTlv;
    int err = snd_ctl_ext_create(&fake->ext, name, mode);
    if (err < 0) {
        ::close(fake->ext.poll_fd);
        delete fake;
        return err;
    }
    *handlep = fake->ext.handle;
    return 0;
}

} // namespace
} // namespace FAKEALSA

extern "C" {

SND_CTL_PLUGIN_DEFINE_FUNC(quorvelfake) {
    (void)root;
    return FAKEALSA::openFake(handlep, name, conf, mode);
}

SND_CTL_PLUGIN_SYMBOL(quorvelfake)
}
