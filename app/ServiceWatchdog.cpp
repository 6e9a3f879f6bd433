#include "app/ServiceWatchdog.h"

#include "app/NodeRun.h"
#include "foundation/Log.h"

#include <set>
#include <vector>

namespace {

// Without a watchdog the status line is still kept current.
constexpr std::chrono::microseconds kStatusInterval{1'000'000};

std::string offeredText(unsigned offered) {
    return "DACs offered: " + std::to_string(offered);
}

} // namespace

ServiceWatchdog::ServiceWatchdog(const VEMRA::ServiceManagerLink& link)
    : notifier(link.socketPath), watchdogInterval(link.watchdogInterval),
      // The manager asks for a notice at least every half interval; every
      // quarter leaves room for a supervisor step held up by a slow node stop.
      checkInterval(link.watchdogInterval.count() > 0 ? link.watchdogInterval / 4 : kStatusInterval),
      stallLimit(link.watchdogInterval / 2) {}

void ServiceWatchdog::poll(const NodeRun& target, const DacScanner::DacNodes& dacs) {
    if (!notifier.enabled()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!readySent) {
        if (!target.ready()) {
            return;
        }
        readySent = true;
        lastCheck = now;
        notifier.notify("READY=1");
        VEMRA::logLine(VEMRA::kLogInfo, "service ready");
    } else if (now - lastCheck < checkInterval) {
        return;
    }
    lastCheck = now;

    std::vector<NodeRun::Heartbeat> beats;
    target.heartbeats(beats);
    unsigned offered = 0;
    for (const auto& [name, node] : dacs) {
        // A node whose worker ended (a skipped DAC, a failed probe) has no loop to watch.
        if (node.isRunning()) {
            node.heartbeats(beats);
            offered += node.offered() ? 1 : 0;
        }
    }

    std::string stalled;
    std::set<std::string> seen;
    for (const NodeRun::Heartbeat& beat : beats) {
        seen.insert(beat.loop);
        auto [entry, added] = loops.try_emplace(beat.loop, Progress{beat.count, now});
        if (!added && entry->second.count != beat.count) {
            entry->second = Progress{beat.count, now};
        }
        if (watchdogInterval.count() > 0 && now - entry->second.since >= stallLimit) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - entry->second.since);
            stalled +=
                (stalled.empty() ? "" : ", ") + beat.loop + " (" + std::to_string(seconds.count()) + " s)";
        }
    }
    std::erase_if(loops, [&seen](const auto& entry) { return seen.count(entry.first) == 0; });

    if (stalled.empty()) {
        sendStatus(offeredText(offered));
        if (watchdogInterval.count() > 0) {
            notifier.notify("WATCHDOG=1");
        }
        return;
    }
    // Sent at every check while a loop stands still, in place of WATCHDOG=1:
    // the last status the manager shows before it restarts the program.
    const std::string status = offeredText(offered) + "; no progress: " + stalled;
    if (lastStatus.find("; no progress: ") == std::string::npos) {
        VEMRA::logLine(VEMRA::kLogError, "watchdog withheld: ") << stalled;
    }
    lastStatus = status;
    notifier.notify("STATUS=" + status);
}

void ServiceWatchdog::stopping() {
    notifier.notify("STOPPING=1");
}

void ServiceWatchdog::sendStatus(const std::string& text) {
    if (text != lastStatus) {
        lastStatus = text;
        notifier.notify("STATUS=" + text);
    }
}
