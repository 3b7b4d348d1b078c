"""`korvex app`: a local web page to open spectra, check them, fit and export.

The server (Starlette on uvicorn) binds 127.0.0.1 and prints the page's URL
with a random token as its first line; every request must carry that token.
Needs the optional extra: pip install "korvex-eis[app]".
"""

from __future__ import annotations

import argparse
import secrets
import socket
import sys
import threading
import webbrowser

__all__ = ["create_app", "main"]


def create_app(token: str, *, workers: int | None = None):
    """The ASGI application (see korvex.app.server)."""
    from korvex.app.server import create_app as create

    return create(token, workers=workers)


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="korvex app", description="Open impedance spectra in a local web page."
    )
    parser.add_argument("--port", type=int, default=0, help="port (default: a free one)")
    parser.add_argument(
        "--host", default="127.0.0.1", help="address to bind (default 127.0.0.1: this machine only)"
    )
    parser.add_argument("--no-browser", action="store_true", help="do not open a browser")
    parser.add_argument("--workers", type=int, default=None, help="processes for long jobs")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    try:
        import uvicorn
    except ImportError:
        raise SystemExit('korvex app needs its extra: pip install "korvex-eis[app]"') from None
    token = secrets.token_urlsafe(24)
    sock = socket.socket(socket.AF_INET6 if ":" in args.host else socket.AF_INET)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((args.host, args.port))
    except OSError as error:
        raise SystemExit(f"korvex app: cannot listen on {args.host}:{args.port}: {error}") from None
    port = sock.getsockname()[1]
    shown = "127.0.0.1" if args.host in ("127.0.0.1", "0.0.0.0", "") else args.host
    url = f"http://{shown}:{port}/?token={token}"
    print(url, flush=True)
    if args.host not in ("127.0.0.1", "localhost", "::1"):
        print(
            f"korvex app: warning: listening on {args.host}: anyone who can reach this "
            "machine and learns the token can use the app",
            file=sys.stderr,
            flush=True,
        )
    if not args.no_browser:
        threading.Timer(0.5, webbrowser.open, args=(url,)).start()
    config = uvicorn.Config(
        create_app(token, workers=args.workers), log_level="warning", lifespan="on"
    )
    try:
        uvicorn.Server(config).run(sockets=[sock])
    except KeyboardInterrupt:  # Ctrl-C: uvicorn has shut down cleanly and re-raises it
        pass
    return 0
