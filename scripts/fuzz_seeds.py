#!/usr/bin/env python3
"""Seed inputs for the fuzz targets: usage fuzz_seeds.py BUILD_DIR SEEDS_DIR.

decoders:     small H.264, MJPEG and MPEG-4 streams from ffmpeg, cut into units.
udp_datagram: datagrams the device simulator sends, captured on loopback.
replay_open, record_readers: the recordings the demo leaves behind.
mctp_replies, event_stream, talk_downlink: device replies, event reports and voice frames as
the device sends them.
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile


def ffmpeg(args, path):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi"] + args + [path], check=True)
    with open(path, "rb") as f:
        return f.read()


def units_at(data, pattern, keep_first_with_header=False):
    starts = [m.start() for m in re.finditer(pattern, data)]
    if not starts:
        return [data]
    if keep_first_with_header:
        starts[0] = 0
    return [data[s:(starts[i + 1] if i + 1 < len(starts) else len(data))]
            for i, s in enumerate(starts)]


def decoder_input(choice, units):
    out = bytes([choice, 0])
    for unit in units:
        unit = unit[:65535]
        out += struct.pack(">H", len(unit)) + unit
    return out


def decoders(seeds):
    with tempfile.TemporaryDirectory() as tmp:
        h264 = ffmpeg(["-i", "testsrc=size=176x144:rate=10", "-frames:v", "4", "-c:v",
                       "libx264", "-bsf:v", "h264_mp4toannexb", "-x264-params", "slices=2",
                       "-f", "h264"], os.path.join(tmp, "a.h264"))
        mjpeg = ffmpeg(["-i", "testsrc=size=64x48:rate=10", "-frames:v", "2", "-c:v", "mjpeg",
                        "-f", "mjpeg"], os.path.join(tmp, "a.mjpeg"))
        mpeg4 = ffmpeg(["-i", "testsrc=size=96x64:rate=10", "-frames:v", "3", "-c:v", "mpeg4",
                        "-f", "m4v"], os.path.join(tmp, "a.m4v"))
    nal = units_at(h264, b"\x00\x00\x01")
    for name, data in [("h264_avcodec", decoder_input(0, nal)),
                       ("h264_openh264", decoder_input(1, nal)),
                       ("mjpeg", decoder_input(2, units_at(mjpeg, b"\xff\xd8"))),
                       ("mpeg4", decoder_input(3, units_at(mpeg4, b"\x00\x00\x01\xb6", True)))]:
        with open(os.path.join(seeds, "decoders", name), "wb") as f:
            f.write(data)


def udp_input(datagrams, options=0):
    """The udp_datagram target's input: an options byte, then each datagram led by its 16-bit
    little-endian length and the milliseconds since the one before (from the media time the
    simulator puts in bytes 8-11)."""
    out = bytes([options])
    last = None
    for datagram in datagrams:
        time = struct.unpack(">I", datagram[8:12])[0] if len(datagram) >= 12 else 0
        step = 0 if last is None else max(0, min(255, time - last))
        last = time
        out += struct.pack("<HB", len(datagram), step) + datagram
    return out


def udp(build, seeds):
    simulator = os.path.join(build, "tools", "kvdevice", "kvdevice")
    for name, args in [("h264_g711u", ["--frames", "6", "--size", "176x144", "--slices", "2"]),
                       ("mpeg4_g726", ["--frames", "4", "--size", "176x144", "--codec", "mpeg4",
                                       "--audio", "g726-32"]),
                       ("mjpeg_g711a", ["--frames", "3", "--size", "96x64", "--codec", "mjpeg",
                                        "--audio", "g711a"]),
                       ("h264_reordered", ["--frames", "30", "--size", "96x64", "--slices", "2",
                                           "--key-interval", "10", "--reorder", "16",
                                           "--reorder-percent", "30", "--seed", "3"]),
                       ("h264_lossy", ["--frames", "30", "--size", "96x64", "--key-interval",
                                       "10", "--drop", "3", "--duplicate", "3", "--seed", "5"])]:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(1.0)
            port = s.getsockname()[1]
            device = subprocess.Popen([simulator, "--target", f"127.0.0.1:{port}", "--fast",
                                       "--quiet"] + args, stdout=subprocess.DEVNULL)
            datagrams = []
            try:
                for _ in range(300):
                    datagram, _ = s.recvfrom(65536)
                    datagrams.append(datagram)
            except socket.timeout:
                pass
            device.wait()
        for options in (0, 1):
            with open(os.path.join(seeds, "udp_datagram", f"{name}_{options}"), "wb") as f:
                f.write(udp_input(datagrams, options))


def recordings(build, seeds):
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([os.path.join(build, "tools", "kvnet"), "demo", "--out", tmp],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, KVNET_AUDIO_OUT="null"))
        n = 0
        for folder, _, files in os.walk(tmp):
            for name in files:
                path = os.path.join(folder, name)
                if not name.endswith((".rec", ".avi")) or os.path.getsize(path) > 1 << 20:
                    continue
                n += 1
                for target in ("replay_open", "record_readers"):
                    shutil.copy(path, os.path.join(seeds, target, f"{n}_{name}"))


def control(seeds):
    """Device replies, event streams cut into receives, and downlink voice frames."""
    md_get = "CMD:MD MCTP/1.0 CS\n" + "".join(
        f"@2@1@{i}@{i}@{i * 40}@{i * 30}@{i * 40 + 40}@{i * 30 + 30}\n" for i in range(16)) + "END\n"
    replies = [md_get,
               "CMD:MD MCTP/1.0 CS\n@3@1@1@0@0@0@0@0\nEND\n",
               "CMD:ALARM MCTP/1.0 CS\n@1@9@1\nEND\n",
               "CMD:VCTRL MCTP/1.0 CS\n@1@1@44@5@6@\nEND\n",
               "CMD:TALK MCTP/1.0 CS\n@1@1@\n",
               "CMD:ALIVE MCTP/1.0 CS\n@1@1@1\nEND\n"]
    for n, text in enumerate(replies):
        with open(os.path.join(seeds, "mctp_replies", f"{n}.txt"), "wb") as f:
            f.write(text.encode())
    reports = ["CMD:MD MCTP/1.0 CS\n@1@1@2@10@20@30@40@0\n@1@1@5@50@60@70@80@0\nEND\n",
               "CMD:ALARM MCTP/1.0 CS\n@2@7\nEND\n",
               "CMD:ALIVE MCTP/1.0 CS\nEND\n"]
    for n in range(len(reports)):
        stream = "".join(reports[n:] + reports[:n]).encode()
        pieces = b""
        for at in range(0, len(stream), 37):
            piece = stream[at:at + 37]
            pieces += bytes([len(piece)]) + piece
        with open(os.path.join(seeds, "event_stream", f"{n}.bin"), "wb") as f:
            f.write(pieces)
    for generation, words in ((1, 80), (0, 40)):
        frame = bytes([0, 1]) + struct.pack("<h", words) + bytes(range(256))[:2 * words]
        with open(os.path.join(seeds, "talk_downlink", f"gen{generation}.bin"), "wb") as f:
            f.write(bytes([generation]) + frame * 4)


def main():
    build, seeds = sys.argv[1], sys.argv[2]
    decoders(seeds)
    udp(build, seeds)
    recordings(build, seeds)
    control(seeds)


if __name__ == "__main__":
    main()
