#!/usr/bin/python3
"""Measures how long an RTSP server keeps sending RTP over UDP to a client that sends nothing
after PLAY: DESCRIBE, SETUP of the first track, PLAY, then only listens. Prints the Session
header of the SETUP answer and, once the stream has been silent for --quiet seconds, the time
from PLAY to the last packet. For finding out whether a server expires idle sessions.

    measure_session_timeout.py rtsp://127.0.0.1:8554/stream [--limit 90] [--quiet 5]"""
import argparse
import re
import socket
import sys
import time
from urllib.parse import urlparse


def request(control, text):
    control.sendall(text.encode())
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = control.recv(4096)
        if not chunk:
            raise RuntimeError("connection closed")
        answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    length = re.search(rb"Content-Length: *(\d+)", head, re.I)
    while length and len(body) < int(length.group(1)):
        body += control.recv(4096)
    return head.decode(errors="replace"), body.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("url")
    parser.add_argument("--limit", type=float, default=90, help="give up after this many seconds")
    parser.add_argument("--quiet", type=float, default=5, help="silence that ends the stream")
    args = parser.parse_args()
    url = urlparse(args.url)
    control = socket.create_connection((url.hostname, url.port or 554), timeout=10)
    rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rtp.bind(("127.0.0.1", 0))
    port = rtp.getsockname()[1]
    head, body = request(control, f"DESCRIBE {args.url} RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n")
    # The first media section's control.
    media = body[body.find("\nm=") :] if "\nm=" in body else body
    track = (re.findall(r"a=control:(\S+)", media) or [""])[0]
    track_url = track if track.startswith("rtsp://") else args.url.rstrip("/") + "/" + track
    head, _ = request(
        control,
        f"SETUP {track_url} RTSP/1.0\r\nCSeq: 2\r\n"
        f"Transport: RTP/AVP;unicast;client_port={port}-{port + 1}\r\n\r\n",
    )
    session_header = re.search(r"Session: *([^\r\n]+)", head).group(1)
    print(f"SETUP answer: Session: {session_header}", flush=True)
    session = session_header.split(";")[0].strip()
    request(control, f"PLAY {args.url} RTSP/1.0\r\nCSeq: 3\r\nSession: {session}\r\nRange: npt=0.000-\r\n\r\n")
    start = time.monotonic()
    last = None
    packets = 0
    rtp.settimeout(0.5)
    while time.monotonic() - start < args.limit:
        try:
            rtp.recv(65536)
            packets += 1
            last = time.monotonic()
        except socket.timeout:
            if last is not None and time.monotonic() - last > args.quiet:
                break
    if last is None:
        print("no packets")
        return 1
    ended = time.monotonic() - last > args.quiet
    print(f"packets {packets}, last one {last - start:.1f} s after PLAY"
          f"{'' if ended else ' (still sending at the limit)'}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
