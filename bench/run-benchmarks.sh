#!/bin/bash
# SPDX-License-Identifier: MIT
# Benchmarks, run by hand:
#
#     bench/run-benchmarks.sh [build-dir]        (default: build)
#
# Builds what it needs in the build directory, then reports, as medians over
# RUNS runs (default 7):
#   1. time from process start to the window being mapped, the CPU time spent
#      by then, and resident memory once shown, for rs232-phone-home against
#      bench/minimal_window (the same number of plain widgets: the floor the
#      toolkit sets), under a private Xvfb;
#   2. CPU time of rs232-phone-home polling a steady virtual device as port 3
#      for IDLE_SECONDS (default 30), IDLE_RUNS times (default 3);
#   3. the service rs232-phone-homed watching the same steady device as port 3
#      for IDLE_SECONDS, IDLE_RUNS times, alternating with bench/minimal_service
#      (an event loop reading the lines every 100 ms: its floor): CPU time and
#      resident memory;
#   4. bench_polling: one polling cycle against the bare serial calls it makes,
#      and the wall time of a steady tick with 1 ms per line request, for the
#      window and for the service.
#
# SECTIONS picks some of them: any of "start idle service polling" (default
# all). Only medians and ratios within one run mean anything on a machine
# shared with other work.
#
# Needs Xvfb, xdotool and x11-utils. The virtual device takes the alias
# /dev/com3 and so its lock file: do not run this while ctest runs the serial
# tests. Nothing here opens a real serial port: the preload refuses every
# /dev/ttyS* and /dev/com* path that is not a virtual device's alias.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=$(realpath -m "${1:-$source_dir/build}")
runs=${RUNS:-7}
idle_runs=${IDLE_RUNS:-3}
idle_seconds=${IDLE_SECONDS:-30}
sections=${SECTIONS:-start idle service polling}
title='RS232 In Out Port Test and Phone Home'
minimal_title='RS232 Minimal Widgets Window'

for tool in Xvfb xdotool cmake; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install xvfb xdotool cmake)" >&2; exit 1; }
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j2 --target rs232-phone-home rs232-phone-homed minimal_window minimal_service \
    vserial_hold vserial_preload bench_polling

app=$build/rs232-phone-home
minimal=$build/bench/minimal_window
service=$build/rs232-phone-homed
minimal_service=$build/bench/minimal_service
hold=$build/bench/vserial_hold
preload=$build/tests/vserial/libvserial_preload.so

work=$(mktemp -d /tmp/phone-home-bench.XXXXXX)
chmod 700 "$work"
xvfb_pid=
hold_pid=
app_pid=

stop() { # pid: end a process this script started, and reap it
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

cleanup() {
    stop "$app_pid"
    exec 4>&- # the device holder ends when its stdin closes
    stop "$hold_pid"
    stop "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# -noreset: otherwise the server resets whenever its last client (each
# xdotool call) leaves, and refuses connections meanwhile.
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1920x1080x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")
export XDG_RUNTIME_DIR=$work
unset QT_QPA_PLATFORM
# The service must not talk to a systemd or journal that is not its own.
unset NOTIFY_SOCKET WATCHDOG_USEC WATCHDOG_PID JOURNAL_STREAM

section() { case " $sections " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

now_ns() { date +%s%N; }

median() { # numbers on stdin, one a line
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Polls every 5 ms (each xdotool call takes about 4 ms of its own), so a
# start-up time is known to about 10 ms; the medians smooth that out.
wait_mapped() { # title, pid
    local i
    for i in $(seq 1500); do
        if xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.005
    done
    return 1
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# CPU time of all threads in ms, from the scheduler's nanosecond counters
# (utime and stime in /proc/PID/stat count whole 10 ms ticks).
cpu_ms() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s / 1e6 }'; }
cpu_us() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s / 1e3 }'; }

clk_tck=$(getconf CLK_TCK)
# utime + stime of the whole process, in clock ticks.
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }

# One start: prints "ms-to-mapped resident-KiB cpu-ms-to-mapped".
measure_start() { # title, program...
    local name=$1 t0 t1 rss cpu
    shift
    t0=$(now_ns)
    "$@" >"$work/app.log" 2>&1 &
    app_pid=$!
    if ! wait_mapped "$name" "$app_pid"; then
        echo "the window \"$name\" did not appear" >&2
        cat "$work/app.log" >&2
        exit 1
    fi
    t1=$(now_ns)
    cpu=$(cpu_ms "$app_pid")
    # Let the first paint and any start-up timers finish before reading memory.
    sleep 1
    rss=$(rss_kib "$app_pid")
    stop "$app_pid"
    app_pid=
    echo "$(( (t1 - t0) / 1000000 )) $rss $cpu"
}

app_ms=nan app_kib=nan min_ms=nan min_kib=nan app_cpu=nan min_cpu=nan
if section start; then
echo "== Start-up and memory: $runs runs each, alternating (one warm-up run each first)"
measure_start "$title" "$app" >/dev/null
measure_start "$minimal_title" "$minimal" >/dev/null
: >"$work/app.txt"
: >"$work/minimal.txt"
for i in $(seq "$runs"); do
    measure_start "$title" "$app" >>"$work/app.txt"
    measure_start "$minimal_title" "$minimal" >>"$work/minimal.txt"
    echo "  run $i: program $(tail -n1 "$work/app.txt")   minimal $(tail -n1 "$work/minimal.txt")   (ms KiB cpu-ms)"
done
app_ms=$(cut -d' ' -f1 "$work/app.txt" | median)
app_kib=$(cut -d' ' -f2 "$work/app.txt" | median)
min_ms=$(cut -d' ' -f1 "$work/minimal.txt" | median)
min_kib=$(cut -d' ' -f2 "$work/minimal.txt" | median)
app_cpu=$(cut -d' ' -f3 "$work/app.txt" | median)
min_cpu=$(cut -d' ' -f3 "$work/minimal.txt" | median)
fi

ioctl_count() { od -An -tu4 -j12 -N4 "$device_dir/state" | tr -d ' '; } # struct vserial_state.ioctl_count

# A fresh device each run: a pty keeps its exclusive flag while its master is
# open, so a device whose previous user was killed would refuse the next open.
start_device() {
    rm -rf "$work/devices" "$work/hold.in" "$work/hold.out"
    mkdir -p "$work/devices"
    mkfifo "$work/hold.in"
    VSERIAL_DEVICES=$work/devices "$hold" <"$work/hold.in" >"$work/hold.out" &
    hold_pid=$!
    exec 4>"$work/hold.in"
    for _ in $(seq 100); do
        [ -s "$work/hold.out" ] && break
        sleep 0.05
    done
    device_dir=$(head -n1 "$work/hold.out")
    [ -n "$device_dir" ] || { echo "the virtual device did not start" >&2; exit 1; }
}

stop_device() {
    exec 4>&-
    # End of input: the holder removes its device and exits by itself.
    for _ in $(seq 40); do
        kill -0 "$hold_pid" 2>/dev/null || break
        sleep 0.05
    done
    stop "$hold_pid"
    hold_pid=
}

idle_pct=nan idle_rate=nan
if section idle; then
echo "== Idle polling: port 3 on a steady virtual device, ${idle_seconds} s, $idle_runs runs"
: >"$work/idle.txt"
for i in $(seq "$idle_runs"); do
    start_device
    # 4>&-: the program must not keep the device holder's stdin open.
    LD_PRELOAD=$preload VSERIAL_DEVICES=$work/devices "$app" >"$work/app.log" 2>&1 4>&- &
    app_pid=$!
    wait_mapped "$title" "$app_pid" || { echo "the window did not appear" >&2; cat "$work/app.log" >&2; exit 1; }
    sleep 1
    # Without a window manager the keyboard goes wherever focus was left (a
    # previous run's window may have taken it along): focus the window first.
    xdotool search --onlyvisible --name "^$title\$" windowfocus --sync
    # Window client area at (609,193): port box at (32,56), "Open Port" at
    # (160,56), "Close Port" at (272,56).
    xdotool mousemove 691 259 click 1 sleep 0.2 key ctrl+a type 3
    xdotool mousemove 813 261 click 1
    sleep 2
    n0=$(ioctl_count)
    c0=$(cpu_ticks "$app_pid")
    sleep "$idle_seconds"
    c1=$(cpu_ticks "$app_pid")
    n1=$(ioctl_count)
    rate=$(awk -v n="$((n1 - n0))" -v s="$idle_seconds" 'BEGIN { printf "%.0f", n / s }')
    # A steady cycle makes one line ioctl; ten cycles a second.
    if [ "$rate" -lt 8 ]; then
        echo "port 3 was not polled ($rate line ioctls/s): did the clicks reach the window?" >&2
        cat "$work/app.log" >&2
        exit 1
    fi
    pct=$(awk -v c="$((c1 - c0))" -v t="$clk_tck" -v s="$idle_seconds" 'BEGIN { printf "%.3f", 100 * c / t / s }')
    echo "$pct $rate" >>"$work/idle.txt"
    echo "  run $i: $pct % of one core, $rate line ioctls/s"
    xdotool mousemove 925 261 click 1
    sleep 0.3
    stop "$app_pid"
    app_pid=
    stop_device
done
idle_pct=$(cut -d' ' -f1 "$work/idle.txt" | median)
idle_rate=$(cut -d' ' -f2 "$work/idle.txt" | median)
fi

# One run of a program that reads port 3 by itself: waits until it reads,
# then prints "ticks cpu-us ioctls/s VmRSS-KiB" over idle_seconds. The
# service ticks once a second where the driver can wait (the virtual device
# can), the floor polls ten times a second.
measure_service() { # steady ioctls a second, program...
    local n0 n1 c0 c1 u0 u1 rss rate expect=$1
    shift
    start_device
    LD_PRELOAD=$preload VSERIAL_DEVICES=$work/devices "$@" >"$work/service.log" 2>&1 4>&- &
    app_pid=$!
    n0=$(ioctl_count)
    for _ in $(seq 100); do
        [ "$(ioctl_count)" -ge $((n0 + 3)) ] && break
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ "$(ioctl_count)" -lt $((n0 + 3)) ]; then
        echo "$1 did not poll port 3" >&2
        cat "$work/service.log" >&2
        exit 1
    fi
    # Past start-up: only the steady ticks count.
    sleep 2
    n0=$(ioctl_count)
    c0=$(cpu_ticks "$app_pid")
    u0=$(cpu_us "$app_pid")
    sleep "$idle_seconds"
    c1=$(cpu_ticks "$app_pid")
    u1=$(cpu_us "$app_pid")
    n1=$(ioctl_count)
    rss=$(rss_kib "$app_pid")
    rate=$(awk -v n="$((n1 - n0))" -v s="$idle_seconds" 'BEGIN { printf "%.0f", n / s }')
    if [ "$rate" -lt $(( (expect * 8 + 9) / 10 )) ] || [ "$rate" -gt $(( expect * 12 / 10 + 1 )) ]; then
        echo "$1 made $rate line ioctls/s, not $expect: not a steady tick" >&2
        cat "$work/service.log" >&2
        exit 1
    fi
    stop "$app_pid"
    app_pid=
    stop_device
    echo "$((c1 - c0)) $((u1 - u0)) $rate $rss"
}

svc_ticks=nan svc_us=nan svc_rate=nan svc_kib=nan floor_ticks=nan floor_us=nan floor_kib=nan
if section service; then
echo "== Service: port 3 on a steady virtual device, ${idle_seconds} s, $idle_runs runs, alternating with its floor"
# The channels' scripts, present as an installation has them; a steady port
# never starts one.
mkdir -m 755 "$work/scripts"
for script in Fire Flood Intruder; do
    printf '#!/bin/sh\necho "$PHONE_HOME_REASON" >>"%s/ran"\n' "$work" >"$work/scripts/$script.sh"
    chmod 644 "$work/scripts/$script.sh"
done
: >"$work/service.txt"
: >"$work/floor.txt"
for i in $(seq "$idle_runs"); do
    measure_service 1 "$service" --port 3 --script-dir "$work/scripts" --state-dir "$work/state" >>"$work/service.txt"
    measure_service 10 "$minimal_service" /dev/com3 >>"$work/floor.txt"
    echo "  run $i: service $(tail -n1 "$work/service.txt")   floor $(tail -n1 "$work/floor.txt")   (ticks cpu-us ioctls/s KiB)"
done
if [ -e "$work/ran" ]; then
    echo "a notification script ran on a steady port: $(cat "$work/ran")" >&2
    exit 1
fi
svc_ticks=$(cut -d' ' -f1 "$work/service.txt" | median)
svc_us=$(cut -d' ' -f2 "$work/service.txt" | median)
svc_rate=$(cut -d' ' -f3 "$work/service.txt" | median)
svc_kib=$(cut -d' ' -f4 "$work/service.txt" | median)
floor_ticks=$(cut -d' ' -f1 "$work/floor.txt" | median)
floor_us=$(cut -d' ' -f2 "$work/floor.txt" | median)
floor_kib=$(cut -d' ' -f4 "$work/floor.txt" | median)
fi

: >"$work/bench.txt"
if section polling; then
echo "== Polling cycle (bench_polling, $runs repetitions, medians)"
"$build/bench/bench_polling" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 | tee "$work/bench.txt"
fi

qt=$(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo unknown)
os=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME" || uname -sr)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || b == 0) print "nan"; else printf "%.2f", a / b }'; }

echo
echo "== Summary ($(nproc) cores, $os, Qt $qt, Xvfb; medians)"
printf '  %-28s %12s %12s %8s\n' "" "program" "minimal" "ratio"
printf '  %-28s %12s %12s %8s\n' "start to mapped window (ms)" "$app_ms" "$min_ms" "$(ratio "$app_ms" "$min_ms")"
printf '  %-28s %12s %12s %8s\n' "CPU time until mapped (ms)" "$app_cpu" "$min_cpu" "$(ratio "$app_cpu" "$min_cpu")"
printf '  %-28s %12s %12s %8s\n' "VmRSS once shown (KiB)" "$app_kib" "$min_kib" "$(ratio "$app_kib" "$min_kib")"
printf '  %-28s %12s\n' "idle polling (% of a core)" "$idle_pct"
printf '  %-28s %12s\n' "line ioctls per second" "$idle_rate"
# The virtual device answers each line ioctl from a directory scan and a
# mapped file, far slower than a UART driver: its share, from the bare calls.
floor_ns=$(awk '$1 == "floor/virtual_steady_median" { v = $4; if ($5 == "us") v *= 1000; if ($5 == "ms") v *= 1e6; print v }' "$work/bench.txt")
if [ -n "$floor_ns" ]; then
    printf '  %-28s %12s\n' "  of which device emulation" "$(awk -v n="$floor_ns" 'BEGIN { printf "%.3f", n * 10 / 1e9 * 100 }')"
fi
# Wall time, not CPU time: the tick waits for the device.
tick=$(awk '$1 == "tick/virtual_steady_1ms_latency/manual_time_median" { print $2 " " $3 }' "$work/bench.txt")
if [ -n "$tick" ]; then
    printf '  %-28s %12s\n' "steady tick, 1 ms a request" "$tick"
fi
echo "  Service, ${idle_seconds} s on a steady port (median of $idle_runs):"
printf '    %-26s %12s %12s %8s\n' "" "service" "floor" "ratio"
printf '    %-26s %12s %12s %8s\n' "utime+stime (ticks of 1/$clk_tck s)" "$svc_ticks" "$floor_ticks" "$(ratio "$svc_ticks" "$floor_ticks")"
printf '    %-26s %12s %12s %8s\n' "CPU, scheduler (us)" "$svc_us" "$floor_us" "$(ratio "$svc_us" "$floor_us")"
printf '    %-26s %12s %12s %8s\n' "VmRSS while polling (KiB)" "$svc_kib" "$floor_kib" "$(ratio "$svc_kib" "$floor_kib")"
printf '    %-26s %12s\n' "line ioctls per second" "$svc_rate"
tick=$(awk '$1 == "tick/service_steady_1ms_latency/manual_time_median" { print $2 " " $3 }' "$work/bench.txt")
if [ -n "$tick" ]; then
    printf '    %-26s %12s\n' "steady tick, 1 ms a request" "$tick"
fi
echo "  Polling cycle, CPU time (median of $runs):"
awk '$1 ~ /_median$/ { name = $1; sub(/_median$/, "", name); extra = ""
                       for (i = 7; i <= NF; i++) extra = extra " " $i
                       printf "    %-22s %10s %-3s%s\n", name, $4, $5, extra }' "$work/bench.txt"
sed -n '/^Ratios/,$p' "$work/bench.txt" | sed 's/^/  /'
