#!/usr/bin/env python3
"""Encoder speed and quality at the same bit rate: the host's x265 settings beside the ffmpeg peer.

For each size and content it records --frames frames of an Xvfb screen that screen_animator paints
("window": a window animating over a ninth of the screen, "motion": full motion) with
`ffmpeg -f x11grab` into a raw yuv420p file, the source. Then, at 60 fps and 20 Mbit/s:

  host      the source through the host's own x265 backend (`encoder_bench --encode-file`), each
            frame fed when the previous one came out: no capture, no network;
  NAME      the same with extra x265 options after the host's own (--variant NAME=OPTIONS, options
            as x265's command line spells them, separated by ':', e.g. "sao=0:rd=2");
  peer      `ffmpeg -c:v libx265 -preset ultrafast -tune zerolatency` with the x265 parameters the
            end-to-end benchmark gives the peer, from the same file.

Reported for each, as medians over --repeat runs that alternate the order: the encoder's frames
per second, the actual bit rate of the stream, and SSIM and PSNR of the decoded stream against the
source (ffmpeg's ssim and psnr filters; x265's rate control depends on thread timing, so quality
varies a little from run to run too). Needs the build's encoder_bench and screen_animator, and
Xvfb, xrandr, xdotool and ffmpeg. Python standard library only.

  bench/encoder_quality.py [--build DIR] [--sizes 1920x1080,2880x1620] [--contents window,motion]
                           [--frames N] [--repeat N] [--variant NAME=OPTIONS]... [--no-peer]
                           [--work DIR] [--json FILE]
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import end_to_end_bench as e2e  # noqa: E402  (Xvfb, screen_animator and the peer's x265 parameters)

FRAME_RATE = e2e.FRAME_RATE
BIT_RATE = e2e.BIT_RATE
CONTENTS = ("window", "motion")


class Failure(Exception):
    pass


def run(argv, timeout=600):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, check=False)
    if result.returncode != 0:
        raise Failure(f"{' '.join(map(str, argv))} failed ({result.returncode}): {result.stderr.strip()[-2000:]}")
    return result


def record_source(tools, width, height, content, frames, path, log_dir):
    """frames frames of an animated Xvfb screen, grabbed at 60 fps into a raw yuv420p file."""
    group = e2e.ProcessGroup(log_dir)
    try:
        display, server = e2e.start_xvfb(group, width, height)
        case = e2e.Case(content, width, height, 1, content)
        e2e.set_up_monitors(case, display)
        e2e.start_animator(group, tools, case, e2e.Screen({"DISPLAY": display}, "x11", server, display))
        time.sleep(1)  # past the animator's first frames
        run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "x11grab",
             "-framerate", str(FRAME_RATE), "-video_size", f"{width}x{height}", "-i", f"{display}+0,0",
             "-frames:v", str(frames), "-pix_fmt", "yuv420p", "-f", "rawvideo", str(path)])
    except e2e.CaseFailure as error:
        raise Failure(str(error)) from error
    finally:
        group.close()


def encode_host(tools, source, width, height, options, output):
    argv = [tools["encoder_bench"], "--encode-file", str(source), "--size", f"{width}x{height}",
            "--output", str(output)]
    if options:
        argv += ["--x265", options]
    result = json.loads(run(argv).stdout.strip().splitlines()[-1])
    return result["framesPerSecond"]


def ffmpeg_peer_seconds(source, width, height, frames, output):
    """ffmpeg's -benchmark wall time for encoding `frames` frames of the source."""
    result = run(["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-benchmark", "-y", "-f", "rawvideo",
                  "-pix_fmt", "yuv420p", "-s", f"{width}x{height}", "-r", str(FRAME_RATE), "-i", str(source),
                  "-frames:v", str(frames), "-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency",
                  "-profile:v", "main", "-b:v", str(BIT_RATE),
                  "-x265-params", e2e.x265_parameters(FRAME_RATE, BIT_RATE), "-f", "hevc", str(output)])
    found = re.search(r"rtime=([0-9.]+)s", result.stderr)
    if not found:
        raise Failure("ffmpeg printed no -benchmark time")
    return float(found.group(1))


def encode_peer(source, width, height, frames, output):
    # A one-frame run measures opening x265 and the files, which the host's figure leaves out too.
    opening = ffmpeg_peer_seconds(source, width, height, 1, output)
    whole = ffmpeg_peer_seconds(source, width, height, frames, output)
    return (frames - 1) / (whole - opening) if whole > opening else None


def quality(stream, source, width, height):
    """(SSIM All, PSNR average) of the decoded stream against the source, frame by frame."""
    timeline = f"settb=1/{FRAME_RATE},setpts=N"
    result = run(["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-framerate", str(FRAME_RATE), "-i", str(stream),
                  "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}", "-r", str(FRAME_RATE),
                  "-i", str(source), "-lavfi",
                  f"[0:v]{timeline},split[d1][d2];[1:v]{timeline},split[s1][s2];"
                  f"[d1][s1]ssim;[d2][s2]psnr", "-f", "null", "-"])
    ssim = re.search(r"SSIM .*All:([0-9.]+)", result.stderr)
    psnr = re.search(r"PSNR .*average:([0-9.]+|inf)", result.stderr)
    if not ssim or not psnr:
        raise Failure(f"no SSIM or PSNR from ffmpeg: {result.stderr.strip()[-500:]}")
    return float(ssim.group(1)), float(psnr.group(1))


def measure(tools, case, variants, frames, repeat, work):
    width, height, content = case
    source = work / f"source-{width}x{height}-{content}.yuv"
    if not source.exists() or source.stat().st_size < frames * width * height * 3 // 2:
        record_source(tools, width, height, content, frames, source, work)
    rows = {name: {"variant": name, "options": options, "runs": []} for name, options in variants}
    for round_number in range(repeat):
        order = variants if round_number % 2 == 0 else list(reversed(variants))
        for name, options in order:
            stream = work / f"{width}x{height}-{content}-{name}.hevc"
            if name == "peer":
                fps = encode_peer(source, width, height, frames, stream)
            else:
                fps = encode_host(tools, source, width, height, options, stream)
            # With VBV and wavefront x265's row-level rate control depends on thread timing, so even
            # quality differs from run to run: each run is scored.
            ssim, psnr = quality(stream, source, width, height)
            rows[name]["runs"].append({"framesPerSecond": fps, "kilobitsPerSecond": stream.stat().st_size * 8 / 1000
                                       / (frames / FRAME_RATE), "ssim": ssim, "psnr": psnr})
    for row in rows.values():
        for key in ("framesPerSecond", "kilobitsPerSecond", "ssim", "psnr"):
            values = [run[key] for run in row["runs"] if run[key] is not None]
            row[key] = statistics.median(values) if values else None
    return list(rows.values())


def print_table(case, rows):
    width, height, content = case
    print(f"\n{width}x{height} {content}")
    print(f"  {'variant':<16} {'fps':>7} {'(runs)':<22} {'kbit/s':>8} {'SSIM':>8} {'PSNR':>7}")
    for row in rows:
        runs = "/".join(f"{run['framesPerSecond']:.1f}" if run["framesPerSecond"] else "-" for run in row["runs"])
        fps = f"{row['framesPerSecond']:.1f}" if row["framesPerSecond"] is not None else "-"
        print(f"  {row['variant']:<16} {fps:>7} {runs:<22} {row['kilobitsPerSecond']:>8.0f} "
              f"{row['ssim']:>8.5f} {row['psnr']:>7.2f}", flush=True)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", maxsplit=1)[0])
    parser.add_argument("--build", type=Path, default=Path("build"), help="the build folder (default: build)")
    parser.add_argument("--sizes", default="1920x1080,2880x1620", help="comma-separated WxH (default: both)")
    parser.add_argument("--contents", default=",".join(CONTENTS), help="window, motion or both (default: both)")
    parser.add_argument("--frames", type=int, default=120, help="frames recorded and encoded (default: 120)")
    parser.add_argument("--repeat", type=int, default=1, help="encodes per variant, order alternating (default: 1)")
    parser.add_argument("--variant", action="append", default=[], metavar="NAME=OPTIONS",
                        help="the host's settings plus these x265 options; may be given several times")
    parser.add_argument("--no-peer", action="store_true", help="leave the ffmpeg peer out")
    parser.add_argument("--work", type=Path, help="sources and streams; a source already there is reused "
                                                  "(default: a new temporary folder, removed at the end)")
    parser.add_argument("--json", type=Path, help="where to write every figure")
    arguments = parser.parse_args()
    try:
        arguments.cases = [(*map(int, size.split("x")), content)
                           for size in arguments.sizes.split(",") for content in arguments.contents.split(",")]
    except ValueError:
        parser.error("--sizes takes WxH,...")
    if any(content not in CONTENTS for *_size, content in arguments.cases):
        parser.error(f"--contents takes {' or '.join(CONTENTS)}")
    if not 2 <= arguments.frames <= 3600 or not 1 <= arguments.repeat <= 20:
        parser.error("--frames takes 2 to 3600, --repeat 1 to 20")
    variants = [("host", "")]
    for text in arguments.variant:
        name, _, options = text.partition("=")
        if not name or name in ("host", "peer") or not re.fullmatch(r"[\w.-]+", name):
            parser.error(f"--variant {text}: NAME=OPTIONS with a name of letters, digits, '.', '-' or '_'")
        variants.append((name, options))
    if not arguments.no_peer:
        variants.append(("peer", None))
    arguments.variants = variants
    return arguments


def main():
    arguments = parse_arguments()
    tools = {}
    for name in ("encoder_bench", "screen_animator"):
        tools[name] = str(arguments.build / "bin" / name)
        if not os.access(tools[name], os.X_OK):
            sys.exit(f"encoder_quality: {tools[name]} is missing; build it first")
    for name in ("Xvfb", "xrandr", "xdotool", "ffmpeg"):
        if shutil.which(name) is None:
            sys.exit(f"encoder_quality: {name} is not installed (scripts/setup installs it)")
    temporary = arguments.work is None
    work = Path(tempfile.mkdtemp(prefix="encoder-quality-")) if temporary else arguments.work
    work.mkdir(parents=True, exist_ok=True)
    print(f"{arguments.frames} frames at {FRAME_RATE} fps, {BIT_RATE // 1_000_000} Mbit/s, {arguments.repeat} "
          f"run(s) per variant; {os.cpu_count()} CPUs; files in {work}", flush=True)
    results = []
    status = 0
    try:
        for case in arguments.cases:
            try:
                rows = measure(tools, case, arguments.variants, arguments.frames, arguments.repeat, work)
            except (Failure, subprocess.TimeoutExpired, OSError, ValueError, KeyError) as error:
                print(f"\n{case[0]}x{case[1]} {case[2]}: {error}", file=sys.stderr)
                status = 1
                continue
            print_table(case, rows)
            results.append({"size": f"{case[0]}x{case[1]}", "content": case[2], "variants": rows})
    except KeyboardInterrupt:
        print("\nencoder_quality: interrupted", file=sys.stderr)
        status = 130
    finally:
        if temporary:
            shutil.rmtree(work, ignore_errors=True)
    if arguments.json:
        arguments.json.write_text(json.dumps({"frames": arguments.frames, "frameRate": FRAME_RATE,
                                              "bitRate": BIT_RATE, "repeat": arguments.repeat,
                                              "cpus": os.cpu_count(), "cases": results}, indent=2) + "\n",
                                  encoding="utf-8")
    return status


if __name__ == "__main__":
    sys.exit(main())
