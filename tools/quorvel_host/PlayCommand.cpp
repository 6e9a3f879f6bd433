#include "host/AudioSource.h"
#include "host/CapabilityText.h"
#include "host/PlaySession.h"
#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Interrupt.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <cstdio>
#include <unistd.h>

namespace QUORVELHOST {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPlainLineInterval = std::chrono::seconds(1);
constexpr double kDefaultToneSeconds = 5.0;
constexpr uint32_t kDefaultToneRate = 44100;
constexpr uint32_t kDefaultToneBits = 16;
constexpr uint32_t kDefaultToneChannels = 2;
constexpr uint32_t kLatencyUnitsPerMs = 10;

struct ToneRequest {
    double frequency = 0;
    uint32_t rate = kDefaultToneRate;
    uint32_t bits = kDefaultToneBits;
    uint32_t channels = kDefaultToneChannels;
    double seconds = kDefaultToneSeconds;
};

std::optional<ToneRequest> toneRequest(const Arguments& arguments, std::string& error) {
    ToneRequest tone;
    const auto frequency = parseDecimal(arguments.value("tone"));
    if (!frequency || *frequency <= 0) {
        error = "bad --tone '" + arguments.value("tone") + "' (a frequency in Hz, e.g. 1000)";
        return std::nullopt;
    }
    tone.frequency = *frequency;
    if (arguments.has("rate")) {
        const auto rate = parseUnsigned(arguments.value("rate"), UINT32_MAX);
        if (!rate || *rate == 0) {
            error = "bad --rate '" + arguments.value("rate") + "' (Hz, e.g. 44100 or 96000)";
            return std::nullopt;
        }
        tone.rate = *rate;
    }
    if (arguments.has("bits")) {
        const auto bits = parseUnsigned(arguments.value("bits"), 64);
        if (!bits || (*bits != 16 && *bits != 24 && *bits != 32)) {
            error = "bad --bits '" + arguments.value("bits") + "' (16, 24 or 32)";
            return std::nullopt;
        }
        tone.bits = *bits;
    }
    if (arguments.has("channels")) {
        const auto channels = parseUnsigned(arguments.value("channels"), 64);
        if (!channels || *channels == 0) {
            error = "bad --channels '" + arguments.value("channels") + "' (1, 2, 4, 6, 8 or 16)";
            return std::nullopt;
        }
        tone.channels = *channels;
    }
    if (arguments.has("seconds")) {
        const auto seconds = parseDecimal(arguments.value("seconds"));
        if (!seconds || *seconds < 0) {
            error = "bad --seconds '" + arguments.value("seconds") + "' (0 plays until Ctrl-C)";
            return std::nullopt;
        }
        tone.seconds = *seconds;
    }
    if (tone.frequency * 2 >= tone.rate) {
        error = "--tone " + arguments.value("tone") + " Hz is not below half the rate " +
                std::to_string(tone.rate);
        return std::nullopt;
    }
    return tone;
}

double secondsOf(uint64_t frames, uint32_t rate) {
    return rate == 0 ? 0.0 : static_cast<double>(frames) / rate;
}

// The line a person watches: position, the sink's buffer, resends, feedback.
class LiveLine {
public:
    LiveLine(uint32_t rate, bool terminal, bool quiet) : rate(rate), terminal(terminal), quiet(quiet) {}

    void update(const QUORVEL::PlayProgress& progress) {
        const auto now = Clock::now();
        if (quiet || (!terminal && now - lastPlain < kPlainLineInterval)) {
            return;
        }
        const double elapsed = std::chrono::duration<double>(now - started).count();
        std::string line = "position " + fixed(secondsOf(progress.framesSent, rate), 1) + " s";
        if (progress.totalFrames) {
            line += " / " + fixed(secondsOf(*progress.totalFrames, rate), 1) + " s";
        }
        if (progress.levelReports > 0) {
            line +=
                "  buffer " + fixed(progress.fill / 10.0, 1) + "/" + fixed(progress.target / 10.0, 1) + " ms";
        } else {
            line += "  buffer -";
        }
        line += "  resent " + std::to_string(progress.resent) + "  feedback " +
                fixed(elapsed > 0 ? static_cast<double>(progress.levelReports) / elapsed : 0.0, 1) + "/s";
        if (terminal) {
            // \033[K clears what a longer earlier line left behind.
            std::fprintf(stdout, "\r%s\033[K", line.c_str());
            std::fflush(stdout);
            drawn = true;
        } else {
            printLine(line);
            lastPlain = now;
        }
    }

    void finish() {
        if (drawn) {
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }

private:
    uint32_t rate;
    bool terminal;
    bool quiet;
    bool drawn = false;
    Clock::time_point started = Clock::now();
    Clock::time_point lastPlain{};
};

const char* outcomeName(QUORVEL::PlayResult::Outcome outcome) {
    switch (outcome) {
    case QUORVEL::PlayResult::Outcome::Finished:
        return "finished";
    case QUORVEL::PlayResult::Outcome::Stopped:
        return "stopped";
    case QUORVEL::PlayResult::Outcome::Refused:
        return "refused";
    case QUORVEL::PlayResult::Outcome::Failed:
        break;
    }
    return "failed";
}

void printSummary(const QUORVEL::PlayResult& result, const QUORVEL::AudioSource& source,
                  const QUORVEL::SinkListing& sink, bool json) {
    const auto& progress = result.progress;
    const uint32_t rate = source.format().rate();
    if (json) {
        JsonWriter writer;
        writer.beginObject();
        writer.key("outcome").value(outcomeName(result.outcome));
        writer.key("sink").value(static_cast<unsigned>(sink.key));
        writer.key("source").value(source.description());
        writer.key("format").value(QUORVEL::streamFormatText(source.format()));
        writer.key("format_word").value(hexWord(source.format().value()));
        writer.key("frames_sent").value(progress.framesSent);
        writer.key("seconds_sent").value(secondsOf(progress.framesSent, rate));
        writer.key("datagrams").value(progress.datagrams);
        writer.key("resent").value(progress.resent);
        writer.key("gap_reports").value(progress.gapReports);
        writer.key("level_reports").value(progress.levelReports);
        writer.key("latency_ms").value(result.latency / 10.0);
        writer.key("drained").value(result.drained);
        if (!result.ok()) {
            writer.key("error").value(result.error);
        }
        writer.endObject();
        printLine(writer.text());
        return;
    }
    if (!result.ok()) {
        return;
    }
    printLine(std::string(result.outcome == QUORVEL::PlayResult::Outcome::Stopped ? "Stopped" : "Finished") +
              " after " + fixed(secondsOf(progress.framesSent, rate), 1) +
              " s: " + std::to_string(progress.datagrams) + " datagrams, " + std::to_string(progress.resent) +
              " resent, " + std::to_string(progress.levelReports) + " level reports" +
              (result.drained ? "" : "; the sink did not confirm the disconnect"));
}

} // namespace

int runPlay(const Arguments& arguments) {
    const auto& words = arguments.positionals;
    const bool tone = arguments.has("tone");
    if (words.size() != (tone ? 2U : 3U)) {
        return fail(kExitUsage, tone ? "play: --tone replaces FILE: expected TARGET SINK --tone FREQ"
                                     : "play: expected TARGET SINK FILE or TARGET SINK --tone FREQ (see "
                                       "quorvel_host play --help)");
    }
    if (!tone && (arguments.has("rate") || arguments.has("bits") || arguments.has("channels") ||
                  arguments.has("seconds"))) {
        return fail(kExitUsage, "play: --rate, --bits, --channels and --seconds go with --tone");
    }
    QUORVEL::PlayOptions options;
    if (arguments.has("latency")) {
        const auto ms = parseUnsigned(arguments.value("latency"), 6553);
        if (!ms || *ms == 0) {
            return fail(kExitUsage,
                        "bad --latency '" + arguments.value("latency") + "' (milliseconds, 1-6553)");
        }
        options.latency = static_cast<uint16_t>(*ms * kLatencyUnitsPerMs);
    }
    options.ms = arguments.has("ms");

    // The source first: a file that cannot be played needs no network.
    std::string error;
    std::unique_ptr<QUORVEL::AudioSource> source;
    if (tone) {
        const auto request = toneRequest(arguments, error);
        if (!request) {
            return fail(kExitUsage, error);
        }
        source = QUORVEL::makeToneSource(request->frequency, request->rate, request->bits, request->channels,
                                         request->seconds, error);
        if (!source) {
            return fail(kExitUsage, "cannot make the tone: " + error);
        }
    } else {
        source = QUORVEL::openAudioFile(words[2], error);
        if (!source) {
            return fail(kExitFailure, error.empty() ? "cannot open '" + words[2] + "'" : error);
        }
    }

    Failure failure;
    auto session = openSession(words[0], arguments, failure);
    const auto sink =
        session ? resolveSink(session->client, session->target, words[1], failure) : std::nullopt;
    if (!sink) {
        return fail(failure.code, failure.message);
    }
    options.timeout = session->timeout;
    const bool json = arguments.has("json");
    LiveLine live(source->format().rate(), ::isatty(STDOUT_FILENO) == 1, json);
    options.progress = [&live](const QUORVEL::PlayProgress& progress) { live.update(progress); };
    if (!json) {
        printLine("Playing " + source->description() + " on sink " + std::to_string(sink->key) + " \"" +
                  sink->name + "\" of " + endpointText(session->target.address) + "; Ctrl-C stops.");
    }
    installInterruptHandler();
    QUORVEL::PlaySession playback(withPort(session->target.address, sink->controlPort), options);
    const QUORVEL::PlayResult result = playback.play(*source, interruptFlag());
    live.finish();
    printSummary(result, *source, *sink, json);
    if (!result.ok()) {
        return fail(kExitFailure, result.error.empty()
                                      ? std::string("playback ") + outcomeName(result.outcome)
                                      : result.error);
    }
    return kExitOk;
}

} // namespace QUORVELHOST
