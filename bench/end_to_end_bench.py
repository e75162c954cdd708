#!/usr/bin/env python3
"""End-to-end benchmark: velmora-host and velmora-client on this machine beside an ffmpeg peer.

Every case starts an Xvfb screen of its own (one RandR monitor, or two side by side), paints it
with screen_animator (a window animating at 60 Hz over a ninth of each monitor, full motion, or a
still screen; each frame stamped at the top-left of every monitor with the time it was drawn) and
then measures, one after the other on the same screen:

  velmora   velmora-host --headless --backend x11, streamed to velmora-client on loopback at the
            monitor's own size, 60 fps, 20 Mbit/s (two displays: both streamed, as the host splits
            them: the first at 60 fps and 10 Mbit/s, the second at 30 fps and 10 Mbit/s);
  peer      per monitor, `ffmpeg -f x11grab` of the same area encoding with libx265 at the host's
            settings in 4:2:0 and sending MPEG-TS over UDP to an `ffmpeg` that decodes it into
            stamp_reader;
  x265 alone
            (not on a still screen) --x265-alone-frames frames (default 120; fewer, down to 60,
            where the log folder's file system has too little room) of monitor 0 grabbed by
            `ffmpeg -f x11grab` at 60 fps into a raw yuv420p file in the case's log folder, then
            encoded by the host's own x265 backend at the host's settings (`encoder_bench
            --encode-file`, 60 fps, 20 Mbit/s, each frame fed when the previous one came out): the
            encoder's own rate on the same content with no capture and no network, while the same
            screen and animator keep the machine as loaded as in the other two phases. The file is
            removed afterwards.

The first two are each measured over --duration seconds that start once every display has
decoded a picture; a still screen over --still-duration seconds (default 60) that start a settle
time later, with the host's CPU in % of one core and the frames the client received after its
first picture.
Per display: frames delivered per second (reassembled by velmora-client; encoded and sent by the
ffmpeg sender), pictures decoded per second, draw-to-decoded latency from the stamps (median,
99th percentile). Sending CPU per frame: the host process, or the ffmpeg senders, over the
pictures decoded in that time (receiving CPU, velmora-client or the decoding ffmpeg processes, is
shown apart). Resident memory of the host (or the ffmpeg senders) once the first picture was
decoded, halfway and at the end.

The frame rate goal of display 0 is the size's ratio times the peer's pictures decoded per second,
unless that is above x265's own rate, where it is 0.9 times x265's own rate instead; each goal
line says which bound applied. Other displays are held to the ratio alone.

Below the latency rows, the host's median latency split into stages that add up to roughly the
draw-to-decoded median: draw -> capture, capture -> encoder start, encode and packetise-and-send
from the host's "Frame stages" log lines (10 s each, weighted by their frames), decode (reassembled
-> decoded) from the client's report, and receive-and-reassemble derived: the client's
draw -> reassembled median less the four host stages.

The sway cases ("sway-..."): the same measures with the Wayland backend on a headless sway of
their own (wlroots' headless backend, pixman rendering; as root in a user namespace, as sway will
not run as root), painted by wayland_screen_animator (a fullscreen window drawing what
screen_animator draws). Beside them, in place of the ffmpeg peer, `grim` taking frames of the same
output one after another for the same time: frames per second, CPU per frame, and the time each
takes (start, connect, copy, write PPM to /dev/null). Run with the Xvfb case of the same content
(e.g. --cases '1920x1080-single-*,sway-*'), a table sets the host on sway against the host on Xvfb.

The GNOME cases ("gnome-..."): the same measures with the GNOME backend on a headless mutter with
one virtual monitor, PipeWire and WirePlumber on a private session bus, painted by
wayland_screen_animator; no peer (mutter offers no screen copy to a plain client). They join the
sway cases in the table against the host on Xvfb.

Runs in a network namespace of its own where one can be made, so that the host's fixed ports meet
nothing else. Needs the build's velmora-host, velmora-client, screen_animator and stamp_reader
(and encoder_bench for the Xvfb cases that are not a still screen), and Xvfb, xrandr, xdotool and
ffmpeg; the sway cases wayland_screen_animator, sway and grim; the GNOME cases
wayland_screen_animator, dbus-daemon, pipewire, wireplumber, mutter and busctl. Python
standard library only.

  bench/end_to_end_bench.py [--build DIR] [--duration SECONDS] [--still-duration SECONDS]
                            [--cases NAME,GLOB,...] [--x265-alone-frames N] [--list]
                            [--json FILE] [--logs DIR] [--no-namespace]
"""

import argparse
import fnmatch
import functools
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

FRAME_RATE = 60
BIT_RATE = 20_000_000
SECONDARY_FRAME_RATE = 30  # the host streams every display after the first at this rate
SIZES = {"1920x1080": (1920, 1080), "2880x1620": (2880, 1620)}
LAYOUTS = {"single": 1, "dual": 2}
SWAY_SIZE = "1920x1080"  # sway cases: one output of this size
SWAY_OUTPUT = "HEADLESS-1"  # the output that wlroots' headless backend starts with
CONTENTS = {
    "window": "a window animating at 60 Hz over a ninth of each monitor",
    "motion": "full motion",
    "still": "a still screen",
}
# The goals, against the peer on the same screen.
GOAL_FPS_RATIOS = {"1920x1080": 1.3, "2880x1620": 1.1}  # pictures decoded per second, by monitor size
GOAL_X265_ALONE_FRACTION = 0.9  # of x265's own rate, where the size's ratio times the peer's is above it
GOAL_CPU_RATIO = 0.8  # sending CPU per frame, at most this times the peer's
GOAL_LATENCY_RATIO = 0.5  # median latency, at most this times the peer's
GOAL_MEMORY_GROWTH = 0.05  # resident memory at the end, at most this much above the start
GOAL_STILL_CPU_PERCENT = 0.1  # of one core, on a still screen
STILL_SETTLE_SECONDS = 5  # before a still screen's window: the stream's start-up work is not idle cost
PEER_BASE_PORT = 6100
X265_ALONE_FRAMES = 120  # recorded for x265 alone unless --x265-alone-frames says otherwise
X265_ALONE_MINIMUM_FRAMES = 60  # below a second's worth x265's start-up weighs too much in the rate
DISK_MARGIN_BYTES = 512 << 20  # left free beside the raw file: the logs keep growing
STARTUP_TIMEOUT = 30  # seconds for any one process to get going
HOST_STAGE_LINE = re.compile(r"^(\S+) info \[VideoEncoder\] Frame stages of stream (\d+) over (\d+) frames "
                             r"\(median ms\): drawn to captured (\S+), waiting (\S+), encoding (\S+), sending (\S+)$")
HOST_STAGES = ("drawToCapture", "captureToEncoderStart", "encode", "packetiseAndSend")
# (label, key) of the stages in the order a frame goes through them.
LATENCY_STAGES = [("    draw -> capture", "drawToCapture"),
                  ("    capture -> encoder start", "captureToEncoderStart"),
                  ("    encode", "encode"),
                  ("    packetise and send", "packetiseAndSend"),
                  ("    receive and reassemble (derived)", "receiveAndReassemble"),
                  ("    decode", "decode"),
                  ("    sum of the stages", "sum")]
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Interrupted(Exception):
    """SIGTERM or SIGHUP: ends the run like Ctrl-C, with every process stopped."""


class CaseFailure(Exception):
    pass


@dataclass
class Case:
    name: str
    width: int
    height: int
    displays: int
    content: str
    desktop: str = "xvfb"  # or "sway", "gnome"

    @property
    def peer(self):
        return {"sway": "grim", "gnome": "no peer"}.get(self.desktop, "ffmpeg peer")

    @property
    def xvfb_twin(self):
        """The Xvfb case that shows the same screen as this sway or GNOME case."""
        return f"{self.width}x{self.height}-single-{self.content}"

    @property
    def fps_ratio(self):
        """The frame rate goal's ratio to the peer, by the size of one monitor."""
        return GOAL_FPS_RATIOS[f"{self.width}x{self.height}"]

    @property
    def measures_x265_alone(self):
        return self.desktop == "xvfb" and self.content != "still"

    @property
    def monitors(self):
        return [(index * self.width, 0, self.width, self.height) for index in range(self.displays)]

    def stream_settings(self, index):
        """(frame rate, bit rate) of display `index`, as the host splits them."""
        if self.displays == 1:
            return FRAME_RATE, BIT_RATE
        if index == 0:
            return FRAME_RATE, BIT_RATE * 5 // 10
        return SECONDARY_FRAME_RATE, (BIT_RATE // 2) // (self.displays - 1)

    def describe(self):
        layout = "one display" if self.displays == 1 else f"{self.displays} displays side by side"
        desktop = {"sway": "headless sway, ", "gnome": "headless mutter, "}.get(self.desktop, "")
        return f"{desktop}{self.width}x{self.height}, {layout}, {CONTENTS[self.content]}"


def all_cases():
    xvfb = [
        Case(f"{size}-{layout}-{content}", width, height, displays, content)
        for size, (width, height) in SIZES.items()
        for layout, displays in LAYOUTS.items()
        for content in CONTENTS
    ]
    wayland = [Case(f"{desktop}-{SWAY_SIZE}-{content}", *SIZES[SWAY_SIZE], 1, content, desktop)
               for desktop in ("sway", "gnome") for content in CONTENTS]
    return xvfb + wayland


# ---------------------------------------------------------------------------------------------
# Processes


class OutputWatcher:
    """Copies a process's output to a log file line by line; the driver can wait for a line."""

    def __init__(self, stream, log_path):
        self._lines = []
        self._closed = False
        self._condition = threading.Condition()
        self._thread = threading.Thread(target=self._copy, args=(stream, log_path), daemon=True)
        self._thread.start()

    def _copy(self, stream, log_path):
        with open(log_path, "w", encoding="utf-8") as log:
            for raw in stream:
                line = raw.decode(errors="replace").rstrip("\n")
                log.write(line + "\n")
                log.flush()
                with self._condition:
                    self._lines.append(line)
                    self._condition.notify_all()
        with self._condition:
            self._closed = True
            self._condition.notify_all()

    def wait_for(self, matches, timeout):
        """The first line for which matches(line) holds, or None at the end of output or timeout."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self._condition:
            while True:
                for line in self._lines[seen:]:
                    if matches(line):
                        return line
                seen = len(self._lines)
                remaining = deadline - time.monotonic()
                if self._closed or remaining <= 0:
                    return None
                self._condition.wait(remaining)


class ProcessGroup:
    """Every process a case starts; all of them are stopped when the case ends, however it ends."""

    def __init__(self, log_dir):
        self.log_dir = log_dir
        self._processes = []

    def start(self, name, argv, **options):
        # A session of its own: Ctrl-C reaches the driver only, which stops everything in order.
        try:
            process = subprocess.Popen(argv, start_new_session=True, **options)
        except OSError as error:
            raise CaseFailure(f"cannot start {name} ({argv[0]}): {error}") from error
        finally:
            for stream in (options.get("stdout"), options.get("stderr")):
                if hasattr(stream, "close"):
                    stream.close()  # a log file: the process has its own copy now
        process.bench_name = name
        self._processes.append(process)
        return process

    def log(self, name):
        return open(self.log_dir / name, "wb")

    @staticmethod
    def stop(process, timeout=10, sig=signal.SIGTERM):
        """Asks the process to end, kills it after `timeout`; its exit status."""
        if process.poll() is None:
            try:
                process.send_signal(sig)
                return process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
        return process.wait()

    def close(self):
        for process in reversed(self._processes):
            if process.poll() is None:
                self.stop(process, timeout=5)
        self._processes.clear()


def cpu_seconds(pid):
    """User and system time of the process, all its threads, so far."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def resident_mib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def watch_memory(pids, duration):
    """Sleeps for `duration` seconds; the processes' summed resident memory (MiB) each second."""
    series = []
    deadline = time.monotonic() + duration
    while (remaining := deadline - time.monotonic()) > 0:
        time.sleep(min(1.0, remaining))
        series.append(round(sum(resident_mib(pid) for pid in pids), 1))
    return series


def udp_port_bound(port):
    """Whether a socket in this namespace is bound to the UDP port (IPv4)."""
    with open("/proc/net/udp", encoding="ascii") as table:
        next(table)
        return any(int(line.split()[1].split(":")[1], 16) == port for line in table)


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise CaseFailure(f"timed out waiting for {what}")
        time.sleep(0.05)


# ---------------------------------------------------------------------------------------------
# The screen


@dataclass
class Screen:
    environment: dict  # what a client of the screen needs: DISPLAY or WAYLAND_DISPLAY
    backend: str  # the host's --backend for it
    server: subprocess.Popen  # Xvfb, sway or mutter, whose CPU is shown apart
    display: str = ""  # the X display's name, for the ffmpeg peer


def start_xvfb(group, width, height):
    """An Xvfb of its own on a free display number: its name (e.g. ':97') and its process."""
    for number in range(90 + os.getpid() % 400, 1000, 7):
        if os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        server = group.start("Xvfb", ["Xvfb", f":{number}", "-noreset", "-nolisten", "tcp", "-screen", "0",
                                      f"{width}x{height}x24"],
                             stdout=subprocess.DEVNULL, stderr=group.log("xvfb.log"))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and server.poll() is None:
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return f":{number}", server
            time.sleep(0.05)
        ProcessGroup.stop(server)  # lost a race for the number, or too slow: try the next
    raise CaseFailure("no Xvfb came up")


def run_tool(argv, display):
    result = subprocess.run(argv, env=dict(os.environ, DISPLAY=display), capture_output=True, text=True,
                            timeout=20, check=False)
    if result.returncode != 0:
        raise CaseFailure(f"{' '.join(argv)} failed: {result.stderr.strip()}")
    return result.stdout


def set_up_monitors(case, display):
    """One RandR monitor per display, the first on the screen's output so that it is the main one."""
    if case.displays > 1:
        for index, (x, y, width, height) in enumerate(case.monitors):
            millimetres = f"{width}/{round(width * 25.4 / 96)}x{height}/{round(height * 25.4 / 96)}"
            run_tool(["xrandr", "--setmonitor", f"bench-{index}", f"{millimetres}+{x}+{y}",
                      "screen" if index == 0 else "none"], display)
    listed = run_tool(["xrandr", "--listmonitors"], display)
    if f"Monitors: {case.displays}" not in listed:
        raise CaseFailure(f"expected {case.displays} monitor(s), xrandr lists: {listed.strip()}")
    # The pointer in the bottom-right corner, away from the stamps and mostly off the screen.
    run_tool(["xdotool", "mousemove", str(case.width * case.displays - 1), str(case.height - 1)], display)


def start_sway(group, case, runtime):
    """A headless sway with one output of the case's size, its sockets in `runtime`."""
    runtime.chmod(0o700)
    config = runtime / "config"
    config.write_text(f"xwayland disable\ndefault_border none\n"
                      f"output {SWAY_OUTPUT} resolution {case.width}x{case.height} position 0 0\n", encoding="utf-8")
    argv = ["sway", "-c", str(config)]
    if os.geteuid() == 0:  # sway refuses root: uid 1000 in a user namespace, its files still ours
        argv = ["unshare", "--user", "--map-user=1000", "--map-group=1000", *argv]
    environment = {name: value for name, value in os.environ.items() if name not in ("WAYLAND_DISPLAY", "DISPLAY")}
    environment.update(XDG_RUNTIME_DIR=str(runtime), WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                       WLR_LIBINPUT_NO_DEVICES="1")
    server = group.start("sway", argv, env=environment, stdout=subprocess.DEVNULL, stderr=group.log("sway.log"))

    def socket():
        return next((path for path in runtime.glob("wayland-*") if "." not in path.name), None)

    wait_until(lambda: socket() is not None or server.poll() is not None, STARTUP_TIMEOUT, "sway's socket")
    if server.poll() is not None:
        raise CaseFailure(f"sway ended with status {server.poll()}; see sway.log")
    # An absolute WAYLAND_DISPLAY: each client keeps a runtime folder of its own.
    return Screen({"WAYLAND_DISPLAY": str(socket())}, "wlroots", server)


def start_mutter(group, case, runtime):
    """A headless mutter with one virtual monitor of the case's size, and the session bus, PipeWire
    and WirePlumber it casts through, all with their sockets in `runtime`."""
    runtime.chmod(0o700)
    bus = f"unix:path={runtime}/bus"
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("WAYLAND_DISPLAY", "DISPLAY", "PIPEWIRE_REMOTE")}
    environment.update(XDG_RUNTIME_DIR=str(runtime), DBUS_SESSION_BUS_ADDRESS=bus)
    group.start("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nosyslog", f"--address={bus}"],
                stdout=subprocess.DEVNULL, stderr=group.log("dbus.log"))
    wait_until(lambda: (runtime / "bus").exists(), STARTUP_TIMEOUT, "the session bus")
    group.start("pipewire", ["pipewire"], env=environment, stdout=subprocess.DEVNULL, stderr=group.log("pipewire.log"))
    wait_until(lambda: (runtime / "pipewire-0").exists(), STARTUP_TIMEOUT, "PipeWire's socket")
    group.start("wireplumber", ["wireplumber"], env=environment, stdout=subprocess.DEVNULL,
                stderr=group.log("wireplumber.log"))
    server = group.start("mutter", ["mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                                    f"{case.width}x{case.height}"],
                         env=environment, stdout=subprocess.DEVNULL, stderr=group.log("mutter.log"))

    def ready():
        return server.poll() is not None or subprocess.run(
            ["busctl", "--user", "status", "org.gnome.Mutter.RemoteDesktop"], env=environment,
            capture_output=True, check=False).returncode == 0

    wait_until(ready, STARTUP_TIMEOUT, "mutter's remote desktop interface")
    if server.poll() is not None:
        raise CaseFailure(f"mutter ended with status {server.poll()}; see mutter.log")
    # The host keeps a runtime folder of its own: PipeWire's socket is named apart.
    return Screen({"WAYLAND_DISPLAY": str(runtime / "wayland-0"), "DBUS_SESSION_BUS_ADDRESS": bus,
                   "PIPEWIRE_RUNTIME_DIR": str(runtime)}, "gnome", server)


def start_screen(group, case, desktop_runtime):
    if case.desktop == "sway":
        return start_sway(group, case, desktop_runtime)
    if case.desktop == "gnome":
        return start_mutter(group, case, desktop_runtime)
    display, server = start_xvfb(group, case.width * case.displays, case.height)
    set_up_monitors(case, display)
    return Screen({"DISPLAY": display}, "x11", server, display)


def start_animator(group, tools, case, screen):
    if case.desktop != "xvfb":
        name, argv = "wayland_screen_animator", [tools["wayland_screen_animator"]]
    else:
        name, argv = "screen_animator", [tools["screen_animator"], "--display", screen.display]
        for x, y, width, height in case.monitors:
            argv += ["--monitor", f"{width}x{height}+{x}+{y}"]
    argv += ["--content", case.content, "--rate", str(FRAME_RATE)]
    animator = group.start(name, argv, env=dict(os.environ, **screen.environment), stdout=subprocess.PIPE,
                           stderr=group.log("animator.err"))
    output = OutputWatcher(animator.stdout, group.log_dir / "animator.out")
    ready = output.wait_for(lambda line: line.startswith("ready"), STARTUP_TIMEOUT)
    if ready is None:
        raise CaseFailure(f"{name} did not start; see animator.err")
    if case.desktop != "xvfb" and ready != f"ready {case.width}x{case.height}":
        raise CaseFailure(f"{name} got a window of another size than the output's: {ready}")
    return animator, output


def stop_animator(animator, output):
    ProcessGroup.stop(animator)
    line = output.wait_for(lambda line: line.startswith("{"), 5)
    return json.loads(line) if line else None


# ---------------------------------------------------------------------------------------------
# velmora-host and velmora-client


def client_script(case):
    lines = []
    if case.displays > 1:
        lines.append({"setMultiDisplay": {"enabled": True}})
    for index in range(case.displays):
        lines.append({"waitForPictures": {"display": index, "count": 1, "timeout": STARTUP_TIMEOUT}})
    return "".join(json.dumps(line) + "\n" for line in lines)


def monitor_of_stream(server_hello, stream, case):
    """The animator's monitor that host stream number `stream` shows (the host's order may differ)."""
    displays = (server_hello or {}).get("displays", [])
    if case.displays > 1 and stream < len(displays):
        name = displays[stream].get("name", "")
        if name.startswith("bench-") and name[6:].isdigit():
            return int(name[6:])
    return stream


def load_average():
    with open("/proc/loadavg", encoding="ascii") as load:
        return float(load.read().split()[0])


def host_stage_medians(log_path, since):
    """Per stream, the medians of the host's stages in the lines logged after `since` (epoch
    seconds), each line weighted by its frames: {stream: {stage: milliseconds or None}}."""
    weighted = {}
    with open(log_path, encoding="utf-8", errors="replace") as log:
        for line in log:
            match = HOST_STAGE_LINE.match(line.rstrip("\n"))
            if not match:
                continue
            logged = datetime.fromisoformat(match[1].replace("Z", "+00:00")).timestamp()
            if logged < since:
                continue
            stream, frames = int(match[2]), int(match[3])
            sums = weighted.setdefault(stream, {stage: [0.0, 0] for stage in HOST_STAGES})
            for stage, value in zip(HOST_STAGES, match.groups()[3:]):
                if value != "-":
                    sums[stage][0] += frames * float(value)
                    sums[stage][1] += frames
    return {stream: {stage: total / frames if frames else None for stage, (total, frames) in sums.items()}
            for stream, sums in weighted.items()}


def latency_stages(host_stages, statistics):
    """The stages of one display, in milliseconds; receive-and-reassemble is what is left of the
    client's draw -> reassembled median once the host's stages are taken off."""
    reassembled = (statistics.get("drawnToReassembledMilliseconds") or {}).get("median")
    decode = (statistics.get("reassembledToDecodedMilliseconds") or {}).get("median")
    stages = {stage: host_stages.get(stage) for stage in HOST_STAGES}
    known = [value for value in stages.values() if value is not None]
    stages["receiveAndReassemble"] = (reassembled - sum(known)
                                      if reassembled is not None and len(known) == len(HOST_STAGES) else None)
    stages["decode"] = decode
    parts = list(stages.values())
    stages["sum"] = sum(parts) if None not in parts else None
    # A subtotal, after the sum: the host's part of the stages.
    sending = [stages[stage] for stage in HOST_STAGES[1:]]
    stages["captureToSent"] = sum(sending) if None not in sending else None
    return stages


def measure_velmora(group, tools, case, screen, duration):
    x_server = screen.server
    state_dir = Path(tempfile.mkdtemp(prefix="velmora-e2e-", dir=group.log_dir))
    environment = dict(os.environ, **screen.environment, XDG_CONFIG_HOME=str(state_dir / "config"),
                       XDG_RUNTIME_DIR=str(state_dir / "runtime"))
    (state_dir / "runtime").mkdir(mode=0o700)
    host = group.start("velmora-host", [tools["velmora-host"], "--headless", "--backend", screen.backend],
                       env=environment,
                       stdout=subprocess.PIPE, stderr=group.log("host.err"))
    host_output = OutputWatcher(host.stdout, group.log_dir / "host.out")
    code_line = host_output.wait_for(lambda line: line.startswith("Verification code: "), STARTUP_TIMEOUT)
    if code_line is None:
        raise CaseFailure(f"velmora-host showed no verification code (exit status {host.poll()}); see host.err")

    script = group.log_dir / "client-script.jsonl"
    script.write_text(client_script(case), encoding="utf-8")
    settle = STILL_SETTLE_SECONDS if case.content == "still" else 0
    client = group.start("velmora-client", [
        tools["velmora-client"], "--host", "127.0.0.1", "--code", code_line.split(": ", 1)[1].strip(),
        "--preferred-height", str(case.height), "--preferred-frame-rate", str(FRAME_RATE), "--script", str(script),
        "--duration", f"{duration + settle:g}"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    client_output = OutputWatcher(client.stdout, group.log_dir / "client.out")
    client_log = OutputWatcher(client.stderr, group.log_dir / "client.err")
    if client_log.wait_for(lambda line: "[Client] Receiving for" in line, 2 * STARTUP_TIMEOUT) is None:
        raise CaseFailure(f"velmora-client did not get every display going (exit status {client.poll()}); "
                          "see client.err and host.err")
    time.sleep(settle)

    start, start_epoch, load = time.monotonic(), time.time(), load_average()
    host_cpu, client_cpu, host_rss = cpu_seconds(host.pid), cpu_seconds(client.pid), resident_mib(host.pid)
    x_server_cpu = cpu_seconds(x_server.pid)
    # Ends a little before the client does, so that both are still there to be read.
    memory = watch_memory([host.pid], max(duration - 0.1, 0.1))
    window = time.monotonic() - start
    host_cpu = cpu_seconds(host.pid) - host_cpu
    client_cpu = cpu_seconds(client.pid) - client_cpu
    x_server_cpu = cpu_seconds(x_server.pid) - x_server_cpu
    load = [load, load_average()]
    try:
        client_status = client.wait(STARTUP_TIMEOUT)
    except subprocess.TimeoutExpired:
        client_status = ProcessGroup.stop(client)
    host_status = ProcessGroup.stop(host, timeout=20)
    report_line = client_output.wait_for(lambda line: line.startswith("{"), 5)
    if report_line is None:
        raise CaseFailure(f"velmora-client printed no report (exit status {client_status}); see client.err")
    report = json.loads(report_line)
    host_stages = host_stage_medians(group.log_dir / "host.err", start_epoch)

    displays = []
    for statistics in report["video"]["displays"]:
        stream = statistics["displayID"]
        frame_rate, bit_rate = case.stream_settings(stream)
        latency = statistics.get("latencyMilliseconds") or {}
        decoded = statistics["framesPerSecond"]
        pictures = statistics["picturesDecoded"]
        displays.append({
            "stream": stream,
            "monitor": monitor_of_stream(report.get("serverHello"), stream, case),
            "size": f"{statistics['width']}x{statistics['height']}",
            "frameRate": frame_rate,
            "bitRate": bit_rate,
            # Frames reassembled at the same rate as pictures came out of the decoder.
            "deliveredFramesPerSecond": decoded * statistics["framesCompleted"] / pictures if pictures else 0.0,
            "decodedFramesPerSecond": decoded,
            "picturesDecoded": pictures,
            # On a still screen: over the settle time and the window, the goal being none.
            "framesAfterFirstPicture": statistics["framesCompleted"] - 1,
            "stampedPictures": statistics["stampedPictures"],
            "latencyMedianMilliseconds": latency.get("median"),
            "latencyP99Milliseconds": latency.get("p99"),
            "latencyStagesMilliseconds": latency_stages(host_stages.get(stream, {}), statistics),
            "decodeErrors": statistics["decodeErrors"],
            "incompleteFramesDropped": statistics["incompleteFramesDropped"],
        })
    frames = sum(entry["decodedFramesPerSecond"] for entry in displays) * window
    return {
        "displays": sorted(displays, key=lambda entry: entry["monitor"]),
        "windowSeconds": window,
        "sendingCpuSeconds": host_cpu,
        "sendingCpuPercent": 100 * host_cpu / window,
        "sendingCpuMillisecondsPerFrame": 1000 * host_cpu / frames if frames >= 1 else None,
        "receivingCpuMillisecondsPerFrame": 1000 * client_cpu / frames if frames >= 1 else None,
        "sendingResidentMiBStart": host_rss,
        "sendingResidentMiBEnd": memory[-1],
        "sendingResidentMiBEachSecond": memory,
        "xServerCpuPercent": 100 * x_server_cpu / window,
        "loadAverage": load,
        "hostExitStatus": host_status,
        "clientExitStatus": client_status,
        "clientReport": report,
    }


# ---------------------------------------------------------------------------------------------
# The ffmpeg peer


def x265_parameters(frame_rate, bit_rate):
    """The peer's x265 settings: ultrafast/zerolatency with the host's GOP, frame threads, wavefront
    and rate control (VBV included), and parameter sets at every keyframe as MPEG-TS needs them. The
    host's own tuning beyond those (psy-rd off) is what it must earn, so the peer does not copy it."""
    kbps = bit_rate // 1000
    return (f"bframes=0:b-adapt=0:rc-lookahead=0:scenecut=0:frame-threads=1:wpp=1:info=0:open-gop=0:"
            f"keyint={2 * frame_rate}:vbv-maxrate={kbps}:vbv-bufsize={(6 * kbps + frame_rate - 1) // frame_rate}:"
            f"log-level=error")


def progress_frames(path):
    """The latest frame count ffmpeg's -progress wrote."""
    frames = 0
    try:
        for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
            if line.startswith("frame="):
                frames = int(line[6:] or 0)
    except (OSError, ValueError):
        pass
    return frames


def measure_peer(group, tools, case, screen, duration):
    display, x_server = screen.display, screen.server
    streams = []
    for index, (x, y, width, height) in enumerate(case.monitors):
        frame_rate, bit_rate = case.stream_settings(index)
        port = PEER_BASE_PORT + 2 * index
        # The decoder as the client's: one thread, low delay. The shortest probe; not -fflags
        # nobuffer, which drops what the probe read, the first keyframe with it.
        receiver = group.start(f"ffmpeg receiver {index}", [
            "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "warning", "-threads", "1", "-flags", "low_delay",
            "-probesize", "32", "-analyzeduration", "0", "-f", "mpegts",
            "-i", f"udp://127.0.0.1:{port}?fifo_size=1000000&overrun_nonfatal=1&timeout=10000000",
            "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "pipe:1"],
            stdout=subprocess.PIPE, stderr=group.log(f"peer-receiver-{index}.err"))
        reader = group.start(f"stamp_reader {index}", [tools["stamp_reader"], "--size", f"{width}x{height}"],
                             stdin=receiver.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        receiver.stdout.close()  # the reader's now: it sees the end when the receiver ends
        streams.append({
            "index": index, "area": (x, y, width, height), "frameRate": frame_rate, "bitRate": bit_rate,
            "port": port, "receiver": receiver, "reader": reader,
            "readerOutput": OutputWatcher(reader.stdout, group.log_dir / f"peer-reader-{index}.out"),
            "readerLog": OutputWatcher(reader.stderr, group.log_dir / f"peer-reader-{index}.err"),
            "progress": group.log_dir / f"peer-sender-{index}.progress",
        })
    for stream in streams:
        wait_until(lambda stream=stream: udp_port_bound(stream["port"]), STARTUP_TIMEOUT,
                   f"the ffmpeg receiver on UDP port {stream['port']}")
    for stream in streams:
        x, y, width, height = stream["area"]
        stream["sender"] = group.start(f"ffmpeg sender {stream['index']}", [
            "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "warning", "-progress", str(stream["progress"]),
            "-stats_period", "0.1", "-f", "x11grab", "-framerate", str(stream["frameRate"]),
            "-video_size", f"{width}x{height}", "-i", f"{display}+{x},{y}", "-pix_fmt", "yuv420p",
            "-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency", "-profile:v", "main",
            "-b:v", str(stream["bitRate"]), "-x265-params", x265_parameters(stream["frameRate"], stream["bitRate"]),
            "-fps_mode", "passthrough", "-f", "mpegts", "-muxdelay", "0", "-muxpreload", "0",
            f"udp://127.0.0.1:{stream['port']}?pkt_size=1316"],
            stdout=subprocess.DEVNULL, stderr=group.log(f"peer-sender-{stream['index']}.err"))
    for stream in streams:
        if stream["readerLog"].wait_for(lambda line: line == "first picture", 2 * STARTUP_TIMEOUT) is None:
            raise CaseFailure(f"the ffmpeg peer decoded nothing for display {stream['index']}; "
                              f"see peer-sender-{stream['index']}.err and peer-receiver-{stream['index']}.err")

    senders = [stream["sender"] for stream in streams]
    receivers = [stream["receiver"] for stream in streams]
    start, load = time.monotonic(), load_average()
    x_server_cpu = cpu_seconds(x_server.pid)
    sender_cpu = sum(cpu_seconds(process.pid) for process in senders)
    receiver_cpu = sum(cpu_seconds(process.pid) for process in receivers)
    sender_rss = sum(resident_mib(process.pid) for process in senders)
    frames_sent = [progress_frames(stream["progress"]) for stream in streams]
    memory = watch_memory([process.pid for process in senders], duration)
    window = time.monotonic() - start
    sender_cpu = sum(cpu_seconds(process.pid) for process in senders) - sender_cpu
    receiver_cpu = sum(cpu_seconds(process.pid) for process in receivers) - receiver_cpu
    x_server_cpu = cpu_seconds(x_server.pid) - x_server_cpu
    load = [load, load_average()]
    frames_sent = [progress_frames(stream["progress"]) - sent for stream, sent in zip(streams, frames_sent)]
    for process in senders:
        ProcessGroup.stop(process)
    for process in receivers:
        ProcessGroup.stop(process)

    displays = []
    for stream, sent in zip(streams, frames_sent):
        line = stream["readerOutput"].wait_for(lambda line: line.startswith("{"), 10)
        if line is None:
            raise CaseFailure(f"stamp_reader {stream['index']} printed no tally")
        tally = json.loads(line)
        latency = tally.get("latencyMilliseconds") or {}
        displays.append({
            "stream": stream["index"],
            "monitor": stream["index"],
            "size": "{2}x{3}".format(*stream["area"]),
            "frameRate": stream["frameRate"],
            "bitRate": stream["bitRate"],
            # Frames the sender encoded and sent.
            "deliveredFramesPerSecond": sent / window,
            "decodedFramesPerSecond": tally["framesPerSecond"],
            "picturesDecoded": tally["pictures"],
            "stampedPictures": tally["stampedPictures"],
            "distinctStamps": tally["distinctStamps"],
            "latencyMedianMilliseconds": latency.get("median"),
            "latencyP99Milliseconds": latency.get("p99"),
        })
    frames = sum(entry["decodedFramesPerSecond"] for entry in displays) * window
    return {
        "displays": displays,
        "windowSeconds": window,
        "sendingCpuSeconds": sender_cpu,
        "sendingCpuPercent": 100 * sender_cpu / window,
        "sendingCpuMillisecondsPerFrame": 1000 * sender_cpu / frames if frames >= 1 else None,
        "receivingCpuMillisecondsPerFrame": 1000 * receiver_cpu / frames if frames >= 1 else None,
        "sendingResidentMiBStart": sender_rss,
        "sendingResidentMiBEnd": memory[-1],
        "sendingResidentMiBEachSecond": memory,
        "xServerCpuPercent": 100 * x_server_cpu / window,
        "loadAverage": load,
    }


# ---------------------------------------------------------------------------------------------
# x265 alone


def frames_that_fit(directory, frame_bytes, wanted):
    """How many raw frames of `frame_bytes` the file system of `directory` takes, up to `wanted`."""
    room = shutil.disk_usage(directory).free - DISK_MARGIN_BYTES
    frames = min(wanted, max(room, 0) // frame_bytes)
    if frames < X265_ALONE_MINIMUM_FRAMES:
        raise CaseFailure(f"{directory} has room for {frames} raw frames, fewer than {X265_ALONE_MINIMUM_FRAMES}")
    return frames


def measure_x265_alone(group, tools, case, screen, _duration, frames):
    """x265's own rate on monitor 0's content: `frames` frames grabbed into a raw file, then encoded
    by the host's backend straight from it (the frame count, not the duration, sets the length)."""
    x, y, width, height = case.monitors[0]
    wanted_frames, frames = frames, frames_that_fit(group.log_dir, width * height * 3 // 2, frames)
    source = group.log_dir / "x265-alone-source.yuv"
    try:
        try:
            recorded = subprocess.run(
                ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "x11grab",
                 "-framerate", str(FRAME_RATE), "-video_size", f"{width}x{height}", "-i", f"{screen.display}+{x},{y}",
                 "-frames:v", str(frames), "-pix_fmt", "yuv420p", "-f", "rawvideo", str(source)],
                capture_output=True, text=True, timeout=STARTUP_TIMEOUT + 4 * frames / FRAME_RATE, check=False)
            if recorded.returncode != 0:
                raise CaseFailure(f"recording for x265 alone failed: {recorded.stderr.strip()[-500:]}")
            # Each frame is fed once the previous one came out: a second per frame is far beyond any size here.
            encoded = subprocess.run(
                [tools["encoder_bench"], "--encode-file", str(source), "--size", f"{width}x{height}",
                 "--frames", str(frames)],
                capture_output=True, text=True, timeout=STARTUP_TIMEOUT + frames, check=False)
        except subprocess.TimeoutExpired as error:
            raise CaseFailure(f"x265 alone: {error}") from error
        if encoded.returncode != 0:
            raise CaseFailure(f"encoder_bench failed ({encoded.returncode}): {encoded.stderr.strip()[-500:]}")
        lines = encoded.stdout.strip().splitlines()
        if not lines:
            raise CaseFailure("encoder_bench printed no figures")
        report = json.loads(lines[-1])
    finally:
        source.unlink(missing_ok=True)
    return {"frames": report["frames"], "framesRequested": wanted_frames, "framesPerSecond": report["framesPerSecond"],
            "size": f"{width}x{height}"}


# ---------------------------------------------------------------------------------------------
# grim


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else None


def measure_grim(group, tools, case, screen, duration):
    """grim taking frames of the output one after another for `duration` seconds, as PPM to
    /dev/null (the cheapest of its formats to write)."""
    environment = dict(os.environ, **screen.environment)
    server_cpu, load = cpu_seconds(screen.server.pid), load_average()
    # Only grim's are reaped in the loop: the children's CPU that grows is theirs.
    children_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    times = []
    start = time.monotonic()
    while time.monotonic() - start < duration:
        began = time.monotonic()
        taken = subprocess.run(["grim", "-t", "ppm", "-o", SWAY_OUTPUT, "-"], env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False, timeout=STARTUP_TIMEOUT)
        if taken.returncode != 0:
            raise CaseFailure(f"grim failed: {taken.stderr.decode(errors='replace').strip()}")
        times.append(1000 * (time.monotonic() - began))
    window = time.monotonic() - start
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    grim_cpu = (children.ru_utime - children_before.ru_utime) + (children.ru_stime - children_before.ru_stime)
    server_cpu = cpu_seconds(screen.server.pid) - server_cpu
    return {
        "displays": [{"stream": 0, "monitor": 0, "size": f"{case.width}x{case.height}",
                      "deliveredFramesPerSecond": len(times) / window, "picturesDecoded": len(times),
                      "frameTimeMedianMilliseconds": percentile(times, 0.5),
                      "frameTimeP99Milliseconds": percentile(times, 0.99)}],
        "windowSeconds": window,
        "sendingCpuSeconds": grim_cpu,
        "sendingCpuPercent": 100 * grim_cpu / window,
        "sendingCpuMillisecondsPerFrame": 1000 * grim_cpu / len(times) if times else None,
        "sendingResidentMiBEachSecond": [],
        "xServerCpuPercent": 100 * server_cpu / window,
        "loadAverage": [load, load_average()],
    }


# ---------------------------------------------------------------------------------------------
# Goals and tables


def ratio(ours, theirs):
    return ours / theirs if ours is not None and theirs else None


def fps_goal(case, mine, theirs, x265_alone):
    """The frame rate goal of one display: the size's ratio times the peer's rate, or for display 0,
    where that is above x265's own rate on the same frames, a fraction of x265's own rate."""
    label = f"display {mine['monitor']} pictures decoded per second >="
    peer_fps = theirs.get("decodedFramesPerSecond")
    peer_bound = case.fps_ratio * peer_fps if peer_fps else None
    alone_fps = (x265_alone or {}).get("framesPerSecond") if mine["monitor"] == 0 else None
    if peer_bound is not None and alone_fps and peer_bound > alone_fps:
        bound = GOAL_X265_ALONE_FRACTION * alone_fps
        return {"goal": f"{label} {GOAL_X265_ALONE_FRACTION}x x265 alone ({bound:.1f}; {case.fps_ratio}x peer's is "
                        f"above x265's own rate)",
                "ratio": ratio(mine["decodedFramesPerSecond"], alone_fps), "bound": "x265Alone",
                "boundFramesPerSecond": bound, "met": mine["decodedFramesPerSecond"] >= bound}
    note = "; x265 alone not measured" if mine["monitor"] == 0 and peer_bound is not None and not alone_fps else ""
    return {"goal": f"{label} {case.fps_ratio}x peer's ({number(peer_bound)}{note})",
            "ratio": ratio(mine["decodedFramesPerSecond"], peer_fps), "bound": "peer",
            "boundFramesPerSecond": peer_bound,
            "met": None if peer_bound is None else mine["decodedFramesPerSecond"] >= peer_bound}


def judge(case, ours, peer, x265_alone):
    """Each goal: its figures, and whether it was met (None where it cannot be judged)."""
    goals = []
    # Against grim (sway cases) only the absolute goals: it neither encodes nor sends.
    if ours and case.content != "still" and case.desktop == "xvfb":
        for mine in ours["displays"]:
            theirs = next((entry for entry in (peer or {}).get("displays", []) if entry["monitor"] == mine["monitor"]),
                          {})
            goals.append(fps_goal(case, mine, theirs, x265_alone))
            latency = ratio(mine["latencyMedianMilliseconds"], theirs.get("latencyMedianMilliseconds"))
            goals.append({"goal": f"display {mine['monitor']} median latency <= {GOAL_LATENCY_RATIO}x peer's",
                          "ratio": latency, "met": None if latency is None else latency <= GOAL_LATENCY_RATIO})
        cpu = ratio(ours["sendingCpuMillisecondsPerFrame"], (peer or {}).get("sendingCpuMillisecondsPerFrame"))
        goals.append({"goal": f"sending CPU per frame <= {GOAL_CPU_RATIO}x peer's", "ratio": cpu,
                      "met": None if cpu is None else cpu <= GOAL_CPU_RATIO})
    if ours:
        # Over the second half: the encoders still allocate for their first frames at the start.
        series = ours["sendingResidentMiBEachSecond"]
        growth = ratio(series[-1], series[(len(series) - 1) // 2])
        goals.append({"goal": f"host memory flat (end <= middle + {GOAL_MEMORY_GROWTH:.0%})", "ratio": growth,
                      "met": None if growth is None else growth <= 1 + GOAL_MEMORY_GROWTH})
    if ours and case.content == "still":
        percent = ours["sendingCpuPercent"]
        goals.append({"goal": f"host CPU on a still screen < {GOAL_STILL_CPU_PERCENT} % of one core",
                      "value": percent, "met": percent < GOAL_STILL_CPU_PERCENT})
    return goals


def number(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def middle(series):
    return series[(len(series) - 1) // 2] if series else None


def print_case(case, result):
    ours, peer = result.get("velmora"), result.get("peer")
    still = case.content == "still"
    print(f"\n== {case.name}: {case.describe()}; {result['durationSeconds']:g} s ==")
    animator = result.get("animator")
    if animator and not still:
        print(f"screen animator: {animator['framesPerSecond']:.1f} frames drawn per second, "
              f"{animator['lateFrames']} late, {animator['cpuMillisecondsPerFrame']:.2f} ms CPU per frame")
    alone = result.get("x265Alone")
    for phase, error in (("velmora", result.get("velmoraError")), ("peer", result.get("peerError")),
                         ("x265 alone", result.get("x265AloneError"))):
        if error:
            print(f"{phase} FAILED: {error}")
    if alone and alone["frames"] < alone["framesRequested"]:
        print(f"x265 alone: {alone['frames']} of {alone['framesRequested']} frames, for want of disk space")
    row = "{:<42}{:>22}{:>22}"
    print(row.format("", "velmora", case.peer))
    displays = [{entry["monitor"]: entry for entry in (side or {}).get("displays", [])} for side in (ours, peer)]
    # On a still screen the one stamp only ages: no latency to speak of.
    rows = [("  frames delivered per second", "deliveredFramesPerSecond", 1),
            ("  pictures decoded per second", "decodedFramesPerSecond", 1)]
    if still:
        rows += [("  frames received after the first picture", "framesAfterFirstPicture", 0)]
    else:
        rows += [("  latency median (ms)", "latencyMedianMilliseconds", 1),
                 ("  latency p99 (ms)", "latencyP99Milliseconds", 1)]
        if case.desktop == "sway":
            rows += [("  time to take a frame median (ms)", "frameTimeMedianMilliseconds", 1),
                     ("  time to take a frame p99 (ms)", "frameTimeP99Milliseconds", 1)]
    for monitor in range(case.displays):
        mine, theirs = (side.get(monitor, {}) for side in displays)
        frame_rate, bit_rate = case.stream_settings(monitor)
        print(f"display {monitor}: {case.width}x{case.height} at {frame_rate} fps, {bit_rate / 1e6:g} Mbit/s")
        for label, key, digits in rows:
            print(row.format(label, number(mine.get(key), digits), number(theirs.get(key), digits)))
            if key == "decodedFramesPerSecond" and monitor == 0 and case.measures_x265_alone:
                print(row.format("  x265 alone on the same frames (fps)",
                                 number((alone or {}).get("framesPerSecond")), "-"))
        stages = mine.get("latencyStagesMilliseconds")
        if stages and not still:
            print("  latency median by stage (ms)")
            for label, key in LATENCY_STAGES:
                print(row.format(label, number(stages.get(key)), "-"))
            print(row.format("    capture -> sent (host stages)", number(stages.get("captureToSent")), "-"))
        stamped = [f"{entry['stampedPictures']}/{entry['picturesDecoded']}" if "stampedPictures" in entry else "-"
                   for entry in (mine, theirs)]
        print(row.format("  stamped/decoded pictures", *stamped))
    for label, key, digits in (("sending CPU per frame (ms)", "sendingCpuMillisecondsPerFrame", 2),
                               ("sending CPU (% of one core)", "sendingCpuPercent", 1),
                               ("receiving CPU per frame (ms)", "receivingCpuMillisecondsPerFrame", 2),
                               ("X server, sway or mutter CPU (% of one core)", "xServerCpuPercent", 1)):
        print(row.format(label, number((ours or {}).get(key), digits), number((peer or {}).get(key), digits)))
    memory = [f"{number(side['sendingResidentMiBStart'])} / {number(middle(side['sendingResidentMiBEachSecond']))}"
              f" / {number(side['sendingResidentMiBEnd'])}" if side and "sendingResidentMiBStart" in side else "-"
              for side in (ours, peer)]
    print(row.format("sending memory (MiB) start / middle / end", *memory))
    loads = [" -> ".join(f"{value:.1f}" for value in side["loadAverage"]) if side else "-" for side in (ours, peer)]
    print(row.format("machine load (1-minute average)", *loads))
    for goal in result["goals"]:
        verdict = {True: "met", False: "NOT met", None: "not judged"}[goal["met"]]
        figure = (f"{goal['ratio']:.2f}x" if goal.get("ratio") is not None
                  else f"{goal['value']:.2f} %" if goal.get("value") is not None else "-")
        print(f"  goal: {goal['goal']:<66} {figure:>8}  {verdict}")


def print_summary(cases, results):
    print("\n== Summary: velmora / peer. Sending CPU in ms per frame, on a still screen in % of one core ==")
    row = "{:<26}{:>4}{:>16}{:>18}{:>20}{:>16}{:>7}"
    print(row.format("case", "disp", "decoded fps", "median latency ms", "p99 latency ms", "sending CPU", "goals"))
    for case in cases:
        result = results.get(case.name)
        if result is None:
            continue
        ours, peer = result.get("velmora") or {}, result.get("peer") or {}
        still = case.content == "still"
        cpu_key, digits = ("sendingCpuPercent", 1) if still else ("sendingCpuMillisecondsPerFrame", 2)
        cpu = f"{number(ours.get(cpu_key), digits)} / {number(peer.get(cpu_key), digits)}"
        judged = [goal["met"] for goal in result["goals"] if goal["met"] is not None]
        goals = "FAILED" if result.get("velmoraError") else f"{sum(judged)}/{len(judged)}"
        sides = [{entry["monitor"]: entry for entry in side.get("displays", [])} for side in (ours, peer)]
        for monitor in range(case.displays):
            mine, theirs = (side.get(monitor, {}) for side in sides)

            def pair(key, mine=mine, theirs=theirs):
                return "-" if still and "latency" in key else f"{number(mine.get(key))} / {number(theirs.get(key))}"

            print(row.format(case.name if monitor == 0 else "", monitor, pair("decodedFramesPerSecond"),
                             pair("latencyMedianMilliseconds"), pair("latencyP99Milliseconds"),
                             cpu if monitor == 0 else "", goals if monitor == 0 else ""))


def print_wayland_against_xvfb(cases, results):
    """The host on sway or mutter beside the host on the Xvfb screen of the same content, and grim."""
    pairs = [(case, results[case.name], results.get(case.xvfb_twin)) for case in cases
             if case.desktop != "xvfb" and case.name in results]
    if not pairs:
        return
    print("\n== The host on sway or mutter / on Xvfb (display 0); grim alone on sway. CPU in ms per frame, "
          "on a still screen in % of one core ==")
    row = "{:<24}{:>16}{:>18}{:>18}{:>16}{:>10}{:>14}"
    print(row.format("case", "decoded fps", "median latency ms", "capture->sent ms", "host CPU", "grim fps",
                     "grim ms/frame"))
    for case, wayland, xvfb in pairs:
        still = case.content == "still"
        sides = [((result or {}).get("velmora") or {}) for result in (wayland, xvfb)]
        firsts = [next(iter(side.get("displays", [])), {}) for side in sides]
        cpu_key, digits = ("sendingCpuPercent", 1) if still else ("sendingCpuMillisecondsPerFrame", 2)
        grim = wayland.get("peer") or {}
        grim_display = next(iter(grim.get("displays", [])), {})

        def pair(values, digits=1):
            return " / ".join(number(value, digits) for value in values)

        print(row.format(case.name, pair(first.get("decodedFramesPerSecond") for first in firsts),
                         "-" if still else pair(first.get("latencyMedianMilliseconds") for first in firsts),
                         "-" if still else pair((first.get("latencyStagesMilliseconds") or {}).get("captureToSent")
                                                for first in firsts),
                         pair((side.get(cpu_key) for side in sides), digits),
                         number(grim_display.get("deliveredFramesPerSecond")),
                         number(grim.get("sendingCpuMillisecondsPerFrame"), 2)))


# ---------------------------------------------------------------------------------------------
# Running


def run_case(case, tools, duration, log_dir, x265_alone_frames):
    log_dir.mkdir(parents=True, exist_ok=True)
    result = {"case": case.name, "description": case.describe(), "durationSeconds": duration,
              "screen": f"{case.width * case.displays}x{case.height}",
              "monitors": [f"{w}x{h}+{x}+{y}" for x, y, w, h in case.monitors], "logs": str(log_dir)}
    group = ProcessGroup(log_dir)
    desktop_runtime = Path(tempfile.mkdtemp(prefix="velmora-desktop-"))  # short: a socket's path is limited
    try:
        screen = start_screen(group, case, desktop_runtime)
        animator, animator_output = start_animator(group, tools, case, screen)
        phases = [("velmora", measure_velmora)]
        if case.desktop == "xvfb":
            phases.append(("peer", measure_peer))
        elif case.desktop == "sway" and case.content != "still":  # grim takes a still screen as fast as any other
            phases.append(("peer", measure_grim))
        if case.measures_x265_alone:
            phases.append(("x265Alone", functools.partial(measure_x265_alone, frames=x265_alone_frames)))
        for phase, measure in phases:
            phase_group = ProcessGroup(log_dir)
            try:
                result[phase] = measure(phase_group, tools, case, screen, duration)
            except (CaseFailure, OSError, ValueError, KeyError, json.JSONDecodeError) as error:
                result[phase + "Error"] = f"{type(error).__name__}: {error}" if not isinstance(error, CaseFailure) \
                    else str(error)
            finally:
                phase_group.close()
        result["animator"] = stop_animator(animator, animator_output)
    except CaseFailure as error:
        result["velmoraError"] = result.get("velmoraError") or str(error)
    finally:
        group.close()
        shutil.rmtree(desktop_runtime, ignore_errors=True)
    result["goals"] = judge(case, result.get("velmora"), result.get("peer"), result.get("x265Alone"))
    return result


def find_tools(build, cases):
    tools = {}
    built = ["velmora-host", "velmora-client", "screen_animator", "stamp_reader"]
    installed = ["Xvfb", "xrandr", "xdotool", "ffmpeg"]
    if any(case.measures_x265_alone for case in cases):
        built.append("encoder_bench")
    if any(case.desktop != "xvfb" for case in cases):
        built.append("wayland_screen_animator")
    if any(case.desktop == "sway" for case in cases):
        installed += ["sway", "grim"]
    if any(case.desktop == "gnome" for case in cases):
        installed += ["dbus-daemon", "pipewire", "wireplumber", "mutter", "busctl"]
    for name in built:
        path = build / "bin" / name
        if not os.access(path, os.X_OK):
            sys.exit(f"end_to_end_bench: {path} is missing; build it first "
                     f"(cmake --build {build} --target {' '.join(built)})")
        tools[name] = str(path)
    for name in installed:
        if shutil.which(name) is None:
            sys.exit(f"end_to_end_bench: {name} is not installed (scripts/setup installs it)")
    return tools


def enter_network_namespace():
    """Runs this script again in a network namespace of its own with loopback up, when one can be made."""
    if os.environ.get("VELMORA_E2E_IN_NAMESPACE") == "1":
        return
    for flags in (["--net"], ["--net", "--map-root-user"]):
        if shutil.which("unshare") and subprocess.run(["unshare", *flags, "true"], capture_output=True,
                                                      check=False).returncode == 0:
            environment = dict(os.environ, VELMORA_E2E_IN_NAMESPACE="1")
            sys.stdout.flush()
            os.execvpe("unshare", ["unshare", *flags, "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                                   sys.executable, *sys.argv], environment)
    print("end_to_end_bench: cannot create a network namespace here; running in this one "
          "(TCP 5920 and UDP 5921 must be free)", file=sys.stderr)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=Path("build"), help="the build folder (default: build)")
    parser.add_argument("--duration", type=float, default=30.0,
                        help="seconds measured per case and side (default: 30)")
    parser.add_argument("--still-duration", type=float, default=60.0,
                        help="seconds measured per still-screen case and side (default: 60)")
    parser.add_argument("--cases", default="*", help="comma-separated case names or globs (default: all)")
    parser.add_argument("--x265-alone-frames", type=int, default=X265_ALONE_FRAMES,
                        help=f"frames recorded for x265 alone (default: {X265_ALONE_FRAMES})")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--json", type=Path, help="where to write every figure (default: BUILD/end_to_end_bench.json)")
    parser.add_argument("--logs", type=Path, help="the processes' logs (default: BUILD/end_to_end_bench_logs)")
    parser.add_argument("--no-namespace", action="store_true", help="run in this network namespace")
    arguments = parser.parse_args()
    if not (1 <= arguments.duration <= 3600 and 1 <= arguments.still_duration <= 3600):
        parser.error("--duration and --still-duration take 1 to 3600 seconds")
    if not X265_ALONE_MINIMUM_FRAMES <= arguments.x265_alone_frames <= 3600:
        parser.error(f"--x265-alone-frames takes {X265_ALONE_MINIMUM_FRAMES} to 3600")
    patterns = [pattern.strip() for pattern in arguments.cases.split(",") if pattern.strip()]
    arguments.selected = [case for case in all_cases() if any(fnmatch.fnmatchcase(case.name, p) for p in patterns)]
    unmatched = [p for p in patterns if not any(fnmatch.fnmatchcase(case.name, p) for case in all_cases())]
    if unmatched or not arguments.selected:
        parser.error(f"no case matches {', '.join(unmatched) or arguments.cases}; --list shows them")
    return arguments


def interrupt(signal_number, _frame):
    raise Interrupted(signal.Signals(signal_number).name)


def main():
    arguments = parse_arguments()
    if arguments.list:
        for case in all_cases():
            print(f"{case.name:<28} {case.describe()}")
        return 0
    tools = find_tools(arguments.build, arguments.selected)
    if not arguments.no_namespace:
        enter_network_namespace()
    # Also where the shell that started this one ignores Ctrl-C (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGHUP, interrupt)
    json_path = arguments.json or arguments.build / "end_to_end_bench.json"
    log_root = arguments.logs or arguments.build / "end_to_end_bench_logs"
    print(f"{len(arguments.selected)} case(s), {arguments.duration:g} s each (a still screen "
          f"{arguments.still_duration:g} s) for velmora and for the peer; "
          f"{os.cpu_count()} CPUs; logs in {log_root}", flush=True)
    results = {}
    status = 0
    try:
        for case in arguments.selected:
            print(f"\nrunning {case.name} ...", flush=True)
            duration = arguments.still_duration if case.content == "still" else arguments.duration
            results[case.name] = run_case(case, tools, duration, log_root / case.name, arguments.x265_alone_frames)
            print_case(case, results[case.name])
            sys.stdout.flush()
    except (KeyboardInterrupt, Interrupted):
        print("\nend_to_end_bench: interrupted; every process it started is stopped", file=sys.stderr)
        status = 130
    print_summary(arguments.selected, results)
    print_wayland_against_xvfb(arguments.selected, results)
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.write_text(json.dumps({"frameRate": FRAME_RATE, "bitRate": BIT_RATE, "cpus": os.cpu_count(),
                                     "goals": {"fpsRatioBySize": GOAL_FPS_RATIOS,
                                               "fpsX265AloneFraction": GOAL_X265_ALONE_FRACTION,
                                               "cpuRatio": GOAL_CPU_RATIO,
                                               "latencyRatio": GOAL_LATENCY_RATIO,
                                               "memoryGrowth": GOAL_MEMORY_GROWTH,
                                               "stillCpuPercent": GOAL_STILL_CPU_PERCENT},
                                     "cases": list(results.values())}, indent=2) + "\n", encoding="utf-8")
    print(f"\nfigures written to {json_path}")
    if any(result.get("velmoraError") or result.get("peerError") for result in results.values()):
        status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
