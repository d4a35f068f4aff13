#!/usr/bin/python3
"""An RTSP server nobody here wrote, for interoperability tests: GStreamer's RTSP server
library serves a test pattern as H.264 and a tone as G.711 (PCMA or PCMU) over RTP/UDP and
RTP interleaved on TCP, optionally behind Digest authentication.

Prints "listening on rtsp://HOST:PORT/PATH" once it accepts connections; stops on SIGTERM or
SIGINT. Exit status 77 when a needed GStreamer part is missing (the tests skip then)."""
import argparse
import signal
import sys

try:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtsp", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtsp, GstRtspServer
except (ImportError, ValueError) as missing:
    print(f"missing: {missing}", file=sys.stderr)
    sys.exit(77)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    parser.add_argument("--path", default="/stream")
    parser.add_argument("--audio", choices=["pcma", "pcmu", "none"], default="pcma")
    parser.add_argument("--transports", choices=["udp", "tcp", "both"], default="both")
    parser.add_argument("--user", help="ask for Digest authentication with this user")
    parser.add_argument("--password", default="")
    parser.add_argument("--realm", default="GStreamer RTSP Server")
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--key-interval", type=int, default=25)
    args = parser.parse_args()

    Gst.init(None)
    needed = ["videotestsrc", "x264enc", "rtph264pay", "audiotestsrc"]
    if args.audio == "pcma":
        needed += ["alawenc", "rtppcmapay"]
    elif args.audio == "pcmu":
        needed += ["mulawenc", "rtppcmupay"]
    absent = [name for name in needed if Gst.ElementFactory.find(name) is None]
    if absent:
        print("missing GStreamer elements: " + " ".join(absent), file=sys.stderr)
        return 77

    width, height = args.size.split("x")
    video = (
        f"videotestsrc is-live=true pattern=smpte ! video/x-raw,width={width},"
        f"height={height},framerate={args.fps}/1 ! videoconvert ! x264enc tune=zerolatency "
        f"speed-preset=ultrafast key-int-max={args.key_interval} bitrate=600 ! "
        f"video/x-h264,profile=constrained-baseline ! rtph264pay name=pay0 pt=96 "
        f"config-interval=-1"
    )
    audio = ""
    if args.audio != "none":
        encoder, payloader, pt = (
            ("alawenc", "rtppcmapay", 8) if args.audio == "pcma" else ("mulawenc", "rtppcmupay", 0)
        )
        audio = (
            f" audiotestsrc is-live=true wave=sine freq=1000 ! audio/x-raw,rate=8000,"
            f"channels=1 ! audioconvert ! {encoder} ! {payloader} name=pay1 pt={pt}"
        )

    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(f"( {video}{audio} )")
    factory.set_shared(True)
    transports = {
        "udp": GstRtsp.RTSPLowerTrans.UDP,
        "tcp": GstRtsp.RTSPLowerTrans.TCP,
        "both": GstRtsp.RTSPLowerTrans.UDP | GstRtsp.RTSPLowerTrans.TCP,
    }
    factory.set_protocols(transports[args.transports])

    if args.user:
        auth = GstRtspServer.RTSPAuth()
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        auth.set_realm(args.realm)
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        auth.add_digest(args.user, args.password, token)
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_permission_for_role("viewer", "media.factory.access", True)
        permissions.add_permission_for_role("viewer", "media.factory.construct", True)
        factory.set_permissions(permissions)
        server.set_auth(auth)

    server.get_mount_points().add_factory(args.path, factory)
    if server.attach(None) == 0:
        print(f"cannot listen on {args.address}:{args.port}", file=sys.stderr)
        return 1
    host = f"[{args.address}]" if ":" in args.address else args.address
    print(f"listening on rtsp://{host}:{server.get_bound_port()}{args.path}", flush=True)

    loop = GLib.MainLoop()
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
