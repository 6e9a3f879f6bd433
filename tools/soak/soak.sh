#!/usr/bin/env bash
# Soak run of the daemon: the test build of the program runs as root in a
# network namespace of its own with one fake DAC (paced in real time, running
# dry is an xrun as on a device, output discarded) and a fake card with a
# volume control, while quorvel_soak_driver streams 192 kHz / 32-bit / stereo
# to it from a second namespace with random control traffic beside it.
# Reports the program's memory (VmRSS sampled every few seconds), device
# underruns, the Host's gap reports and resends, and the error lines
# (priority level 3) of the program's log. quorvel_stall_monitor watches
# every CPU from a real-time thread meanwhile, and each underrun is listed
# beside the longest stall of the machine in its second. Not part of CI.
#
#   sudo tools/soak/soak.sh [--minutes N] [--build DIR] [--out DIR] [--interval S] [--realtime-host]
#                           [--alsa-latency MS] [--bare-loop]
#
# DIR defaults to build/ beside this script's repository; it must hold the
# built quorvel_app_target_testbuild, tools/soak/quorvel_soak_driver,
# tools/soak/quorvel_stall_monitor and tools/fakealsa. Everything lands in
# --out (default /tmp/quorvel-soak-PID): the program's log, the RSS samples,
# the driver's figures, the stalls, report.txt.
# --bare-loop runs tools/soak/quorvel_bare_loop beside the program for the
# same time: one recv and one snd_pcm_writei per datagram at FIFO 99, on a
# fake DAC of its own with the program's device buffer, fed at the same rate.
# Exit status 0 when the goals held (RSS growth under 1 MB, no underrun, or
# with --bare-loop no more than the bare loop's, no unexpected error line, the
# stream ran to its end).
set -u

minutes=30
interval=5
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build"
out="/tmp/quorvel-soak-$$"
host_runner=()
alsa_latency=""
bare_loop=0

while [ $# -gt 0 ]; do
    case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --interval) interval="$2"; shift 2 ;;
    # The Host stands for another machine: on a busy shared machine its
    # pacing can starve, and the sink then runs dry through no fault of its own.
    --realtime-host) host_runner=(chrt -f 10); shift ;;
    # The device buffer (the "AlsaLatency" setting, 1 to 1000 ms); without
    # it the program's default of at most 10 ms.
    --alsa-latency) alsa_latency="$2"; shift 2 ;;
    --bare-loop) bare_loop=1; shift ;;
    -h|--help) sed -n '2,27p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

case "$alsa_latency" in
"") ;;
*[!0-9]*) echo "--alsa-latency needs milliseconds, 1 to 1000" >&2; exit 2 ;;
*) if [ "$alsa_latency" -lt 1 ] || [ "$alsa_latency" -gt 1000 ]; then
       echo "--alsa-latency needs milliseconds, 1 to 1000" >&2; exit 2
   fi ;;
esac
build=$(cd "$build" && pwd) || exit 2
program="$build/quorvel_app_target_testbuild"
driver="$build/tools/soak/quorvel_soak_driver"
monitor="$build/tools/soak/quorvel_stall_monitor"
bare="$build/tools/soak/quorvel_bare_loop"
plugins="$build/tools/fakealsa"
for file in "$program" "$driver" "$monitor" "$plugins/libasound_module_pcm_quorvelfake.so" \
            "$plugins/libasound_module_ctl_quorvelfake.so"; do
    if [ ! -e "$file" ]; then
        echo "missing $file (build the program, quorvel_soak_driver, quorvel_stall_monitor and the fake ALSA plugins)" >&2
        exit 2
    fi
done
if [ "$bare_loop" = 1 ] && [ ! -e "$bare" ]; then
    echo "missing $bare (build quorvel_bare_loop)" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "network namespaces need root" >&2
    exit 2
fi

target_ns="quorvel-soak-t-$$"
host_ns="quorvel-soak-h-$$"
daemon_pid=""
monitor_pid=""
receiver_pid=""
sampler_pid=""
driver_pid=""
bare_pid=""

cleanup() {
    trap - EXIT INT TERM
    for pid in "$driver_pid" "$sampler_pid" "$bare_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null
    done
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        kill -TERM "$daemon_pid" 2>/dev/null
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$daemon_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -KILL "$daemon_pid" 2>/dev/null
    fi
    [ -n "$receiver_pid" ] && kill -TERM "$receiver_pid" 2>/dev/null
    [ -n "$monitor_pid" ] && kill -TERM "$monitor_pid" 2>/dev/null
    wait 2>/dev/null
    ip netns del "$target_ns" 2>/dev/null
    ip netns del "$host_ns" 2>/dev/null
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT TERM

mkdir -p "$out/snd" || exit 2
cp "$program" "$out/" || exit 2
{
    printf 'VolumeCtl=0db\r\n'
    [ -n "$alsa_latency" ] && printf 'AlsaLatency=%s\r\n' "$alsa_latency"
} > "$out/quorvel_app_target_setting.inf"
touch "$out/snd/pcmC1D0p"

# The fake hardware: hw:1,0 is the DAC, hw:1 its card with a PCM volume.
cat > "$out/asound.conf" <<CONF
pcm_type.quorvelfake { lib "$plugins/libasound_module_pcm_quorvelfake.so" }
ctl_type.quorvelfake { lib "$plugins/libasound_module_ctl_quorvelfake.so" }
pcm.hw {
    @args [ CARD DEV SUBDEV ]
    @args.CARD { type string }
    @args.DEV { type integer default 0 }
    @args.SUBDEV { type integer default -1 }
    @func refer
    name { @func concat strings [ "quorvelfake.pcm.card" \$CARD ".dev" \$DEV ] }
}
ctl.hw {
    @args [ CARD ]
    @args.CARD { type string }
    @func refer
    name { @func concat strings [ "quorvelfake.ctl.card" \$CARD ] }
}
quorvelfake.pcm.card1.dev0 {
    type quorvelfake
    formats [ "S16_LE" "S24_3LE" "S32_LE" ]
    output "/dev/null"
    paced true
    xrun_when_empty true
}
# The bare loop's own DAC (--bare-loop), paced like the program's.
quorvelfake.pcm.card2.dev0 {
    type quorvelfake
    formats [ "S32_LE" ]
    output "/dev/null"
    paced true
    xrun_when_empty true
}
quorvelfake.ctl.card1 {
    type quorvelfake
    card 1
    id "SoakDac"
    name "Soak DAC"
    longname "Soak DAC at test bus"
    mixername "Soak Mixer"
    state "$out/mixer.state"
    elements [
        { name "PCM" min 0 max 255 db_min -5100 db_max 0 tlv scale mute false channels 2 switch false }
    ]
}
CONF

# Two namespaces joined by a veth pair, link-local addresses without DAD.
ip netns add "$target_ns" && ip netns add "$host_ns" || exit 1
ip -n "$target_ns" link add qt type veth peer name qh netns "$host_ns" || exit 1
for side in "$target_ns qt fe80::a" "$host_ns qh fe80::b"; do
    set -- $side
    ip -n "$1" link set lo up &&
        ip -n "$1" link set "$2" addrgenmode none &&
        ip -n "$1" -6 addr add "$3/64" dev "$2" nodad &&
        ip -n "$1" link set "$2" up &&
        ip -n "$1" -6 route replace multicast ff00::/8 dev "$2" table local || exit 1
done

cd "$out" || exit 1
# The program relays its log lines, with their priority, to a local syslog
# on [::1]:514.
ip netns exec "$target_ns" "$driver" --log 514 "$out/syslog.txt" &
receiver_pid=$!
# Stalls of over 2 ms; it writes stalls.txt when it is stopped at the end.
"$monitor" $(( minutes * 60 + 120 )) 2 "$out/stalls.txt" 2> "$out/monitor.err" &
monitor_pid=$!
sleep 0.3
ip netns exec "$target_ns" env ALSA_CONFIG_PATH="$out/asound.conf" \
    "$out/quorvel_app_target_testbuild" "$out/snd" > "$out/daemon.log" 2> "$out/daemon.err" < /dev/null &
daemon_pid=$!

# VmRSS in kB every few seconds: "seconds-since-start kB".
started=$(date +%s)
(
    while kill -0 "$daemon_pid" 2>/dev/null; do
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$daemon_pid/status" 2>/dev/null)
        [ -n "$rss" ] && echo "$(( $(date +%s) - started )) $rss"
        sleep "$interval"
    done
) > "$out/rss.txt" &
sampler_pid=$!

echo "soak: $minutes minute(s), program pid $daemon_pid, output in $out"
ip netns exec "$host_ns" "${host_runner[@]}" "$driver" qh fe80::a "$minutes" 1 > "$out/driver.txt" 2> "$out/driver.err" &
driver_pid=$!
if [ "$bare_loop" = 1 ]; then
    # The device buffer the program chose, once its probe has logged it.
    bare_latency=""
    for _ in $(seq 1 100); do
        bare_latency=$(grep -m1 -o 'Alsa  Latency [0-9]*usec' "$out/daemon.log" | sed 's/[^0-9]//g')
        [ -n "$bare_latency" ] && break
        sleep 0.2
    done
    ip netns exec "$target_ns" env ALSA_CONFIG_PATH="$out/asound.conf" \
        "$bare" hw:2,0 $(( minutes * 60 )) "${bare_latency:-10000}" > "$out/bare.txt" 2> "$out/bare.err" &
    bare_pid=$!
fi
wait "$driver_pid"
driver_status=$?
driver_pid=""
if [ -n "$bare_pid" ]; then
    wait "$bare_pid"
    bare_pid=""
fi
ended=$(( $(date +%s) - started ))
sleep "$interval"
alive=0
kill -0 "$daemon_pid" 2>/dev/null && alive=1
cleanup

figure() { awk -v key="$1" '$1 == key { print $2 }' "$out/driver.txt"; }
count() { grep -c -- "$1" "$out/daemon.log"; }

# RSS once the stream has settled (the first sample 30 s after the connect
# line's sample, or the first sample of the stream when it is shorter) and at
# the end of the stream.
first_sample=$(awk 'NR == 1 { print $1 }' "$out/rss.txt")
rss_first=$(awk 'NR == 1 { print $2 }' "$out/rss.txt")
rss_settled=$(awk -v from=$(( first_sample + 30 )) -v end="$ended" \
    '$1 >= from && $1 <= end { print $2; exit }' "$out/rss.txt")
[ -z "$rss_settled" ] && rss_settled=$rss_first
rss_end=$(awk -v end="$ended" '$1 <= end { last = $2 } END { print last }' "$out/rss.txt")
rss_max=$(awk 'BEGIN { max = 0 } $2 > max { max = $2 } END { print max }' "$out/rss.txt")
growth=$(( rss_end - rss_settled ))

empty=$(count "empty sink buffer")
xruns=$(count "EPIPE")
# Error lines (priority 3 of facility 16) the run may produce without fault:
# none, except the underruns' when the bare loop is beside the program (they
# are weighed against the bare loop's). Everything else is listed.
expected_errors='^$'
[ "$bare_loop" = 1 ] && expected_errors='^snd_pcm_writei EPIPE recover'
errors=$(grep -c '^<131>' "$out/syslog.txt")
unexpected=$(grep '^<131>' "$out/syslog.txt" | sed -E 's/^<131>[A-Za-z]{3} [ 0-9]{2} [0-9:]{8} [^ ]+ //'  | grep -v -E "$expected_errors" |
    sed -E 's/[0-9]+/N/g' | sort | uniq -c | sort -rn)
unexpected_count=$(grep '^<131>' "$out/syslog.txt" | sed -E 's/^<131>[A-Za-z]{3} [ 0-9]{2} [0-9:]{8} [^ ]+ //'  | grep -v -E -c "$expected_errors")

# Each underrun beside the longest stall of the machine in its second or the
# one before (the log's time stamps are whole seconds).
stall_count=$(awk '$1 == "summary" { print $7 }' "$out/stalls.txt" 2>/dev/null)
stall_longest=$(awk '$1 == "summary" { print $9 }' "$out/stalls.txt" 2>/dev/null)
[ -z "$stall_count" ] && { stall_count="unknown (monitor: $(head -1 "$out/monitor.err" 2>/dev/null))"; stall_longest="-"; }
underrun_stalls=$(grep '^<131>.*EPIPE' "$out/syslog.txt" |
    sed -E 's/^<131>([A-Za-z]{3} [ 0-9]{2} [0-9:]{8}) .*/\1/' |
    while read -r stamp; do
        second=$(date -d "$stamp" +%s 2>/dev/null) || continue
        awk -v second="$second" -v stamp="$stamp" '
            $1 == "stall" { s = int($3); if ((s == second || s == second - 1) && $4 + 0 > worst) worst = $4 + 0 }
            END { then = worst > 0 ? worst " ms" : "none over 2 ms"; printf "  underrun %s: longest machine stall then %s\n", stamp, then }
        ' "$out/stalls.txt" 2>/dev/null
    done)

{
    echo "soak of $minutes minute(s) at 192 kHz / 32-bit / stereo, $(date -u '+%F %T UTC')"
    echo "driver exit status $driver_status, stream_ok $(figure stream_ok), disconnect answered $(figure disconnect_answered)"
    echo "program still running at the end: $alive"
    echo "streams lost (the sink gave the connection up; connected again): $(figure stream_losses)" \
         "$(awk '$1 == "stream_lost_at" { printf "at %ss ", $2 }' "$out/driver.txt")"
    echo "RSS kB: first $rss_first, settled $rss_settled, end $rss_end, max $rss_max, growth $growth"
    echo "samples: $(wc -l < "$out/rss.txt") every ${interval}s (rss.txt)"
    echo "device buffer: $(grep -m1 -o 'Alsa  Latency [0-9]*usec' "$out/daemon.log" | sed 's/Alsa  Latency //')" \
         "(AlsaLatency ${alsa_latency:-not set})"
    echo "device underruns: xrun recoveries $xruns, empty sink buffer lines $empty"
    if [ "$bare_loop" = 1 ]; then
        echo "bare loop beside it (bare.txt): underruns $(awk '$1 == "underruns" { print $2 }' "$out/bare.txt")," \
             "device buffer ${bare_latency:-10000} us"
    fi
    echo "machine stalls over 2 ms (a real-time thread held off its CPU): $stall_count," \
         "longest $stall_longest ms (stalls.txt)"
    [ -n "$underrun_stalls" ] && echo "$underrun_stalls"
    echo "Host: datagrams $(figure datagrams), resent $(figure resent), gap reports $(figure gap_reports)," \
         "stale gap reports $(figure stale_gap_reports), level reports $(figure level_reports)"
    echo "control requests $(figure control_sent), unanswered $(figure control_unanswered), volume sets $(figure volume_sets)"
    echo "log error lines: $errors, unexpected: $unexpected_count"
    [ -n "$unexpected" ] && echo "$unexpected"
    [ -s "$out/daemon.err" ] && { echo "program stderr:"; head -20 "$out/daemon.err"; }
    [ -s "$out/driver.err" ] && { echo "driver stderr:"; head -20 "$out/driver.err"; }
} | tee "$out/report.txt"

# With the bare loop beside it, the program may lose no more than it did.
allowed=0
if [ "$bare_loop" = 1 ]; then
    allowed=$(awk '$1 == "underruns" { print $2 }' "$out/bare.txt")
    [ -z "$allowed" ] && allowed=0
fi
[ "$driver_status" = 0 ] && [ "$alive" = 1 ] && [ "$growth" -lt 1024 ] && [ "$xruns" -le "$allowed" ] &&
    [ "$empty" = 0 ] && [ "$unexpected_count" = 0 ]
