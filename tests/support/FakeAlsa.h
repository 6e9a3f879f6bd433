#pragma once

// Fake ALSA hardware for tests. A FakeAlsa object writes an ALSA configuration
// of its own into a fresh temporary directory and points libasound at it
// (ALSA_CONFIG_PATH), so that "hw:C,D" opens the fake DAC plugin with the
// parameters of the matching FakePcmDevice and "hw:C" (control, mixer) opens
// the fake card of the matching FakeCard. Everything else the machine's ALSA
// configuration defines is out of sight while the object lives.
//
// libasound caches its configuration: construct the object before the code
// under test first touches ALSA, keep at most one alive at a time, and close
// every ALSA handle before it is destroyed. The destructor drops the cache,
// restores ALSA_CONFIG_PATH and removes the directory.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVELTEST {

// One playback device hw:card,device. Byte ranges constrain the buffer geometry
// as a driver does; the frame counts are the device's frames since open.
struct FakePcmDevice {
    int card = 1;
    int device = 0;
    std::vector<std::string> formats{"S16_LE", "S24_3LE", "S32_LE"}; // ALSA format names
    unsigned int channelsMin = 2;
    unsigned int channelsMax = 2;
    unsigned int rateMin = 44100;
    unsigned int rateMax = 192000;
    std::vector<unsigned int> rates; // when not empty: exactly these rates
    unsigned int periodBytesMin = 64;
    unsigned int periodBytesMax = 512 * 1024;
    unsigned int bufferBytesMin = 128;
    unsigned int bufferBytesMax = 2 * 1024 * 1024;
    unsigned int periodsMin = 2;
    unsigned int periodsMax = 32;
    bool paced = false;           // true: plays at the configured rate, writes block
    long long underrunAfter = -1; // >= 0: one xrun (EPIPE) once this many frames were played
    bool xrunWhenEmpty = false;   // paced only: running dry is an xrun (else it waits for data)
    long long failAfter = -1;     // >= 0: vanishes (ENODEV) once this many frames were written
    int openError = 0;            // > 0: snd_pcm_open fails with -openError
};

// One simple-mixer element with a playback volume ("<name> Playback Volume").
// dB values are hundredths of a decibel, as in snd_mixer_selem_*_dB.
struct FakeMixerElement {
    enum class Tlv { DbScale, DbMinMax, DbMinMaxMute };
    std::string name = "PCM";
    long rawMin = 0;
    long rawMax = 255;
    long dbMin = -5100;
    long dbMax = 0;
    Tlv tlv = Tlv::DbScale; // DbScale needs (dbMax - dbMin) divisible by (rawMax - rawMin)
    bool muteAtMin = false; // DbScale only: the lowest raw value is silence
    unsigned int channels = 2;
    std::optional<long> initial; // raw value before anything is written; default rawMax
    bool playbackSwitch = false; // also "<name> Playback Switch"
};

// One card: its identity for snd_ctl_card_info and its mixer elements.
struct FakeCard {
    int card = 1;
    std::string id = "QuorvelFake";
    std::string name = "Quorvel Fake DAC";
    std::string longname = "Quorvel Fake DAC at test bus";
    std::string mixername = "Quorvel Fake Mixer";
    std::vector<FakeMixerElement> elements;
};

class FakeAlsa {
public:
    // A device whose card is not among `cards` gets a default FakeCard of that
    // number without mixer elements.
    FakeAlsa(std::vector<FakeCard> cards, std::vector<FakePcmDevice> devices);
    ~FakeAlsa();
    FakeAlsa(const FakeAlsa&) = delete;
    FakeAlsa& operator=(const FakeAlsa&) = delete;

    // False when the directory or the configuration could not be written.
    bool ok() const { return good; }
    const std::string& directory() const { return dir; }
    const std::string& configPath() const { return config; }

    // File that receives every byte written to hw:card,device (created on open).
    std::string outputPath(int card, int device) const;
    // Bytes written to hw:card,device so far; empty when none.
    std::vector<uint8_t> output(int card, int device) const;
    // State file of the card's mixer (exists once a value was written).
    std::string statePath(int card) const;
    // Values last written to a control of the card, such as "PCM Playback
    // Volume", read from its state file. False when none was written.
    bool mixerValues(int card, const std::string& control, std::vector<long>& values) const;

    // Directory holding libasound_module_{pcm,ctl}_quorvelfake.so.
    static std::string pluginDirectory();

private:
    bool writeConfig(const std::vector<FakeCard>& cards, const std::vector<FakePcmDevice>& devices);

    bool good = false;
    std::string dir;
    std::string config;
    bool hadPreviousPath = false;
    std::string previousPath;
};

} // namespace QUORVELTEST
