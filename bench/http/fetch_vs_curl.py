#!/usr/bin/env python3
"""Wall time of whole processes fetching one reply of 8 MiB from a local server on 127.0.0.1:
bench_http_fetch (KRZPAPComm) against `curl -o /dev/null`, side by side in one run.

usage: fetch_vs_curl.py PATH/TO/bench_http_fetch [runs] [--tls]

With --tls the server speaks HTTPS with a self-signed certificate made by `openssl req` for the
run, curl runs with -k, and a small page (1 KiB: one request's cost, the handshake included) is
timed beside the 8 MiB framings, and the resident memory an open TLS connection adds over a
plain one is printed (50 connections held, their handshakes done).

The server answers from memory, in three framings (declared length, chunked in 8 KiB chunks, to
the close). Each framing runs the two clients alternately; the medians and their ratio are
printed (the goal for the ratio is at most 1.5).
"""
import http.server
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SIZE = 8 << 20
MEMORY_CONNECTIONS = 50
BODY = bytes((i * 7) % 251 for i in range(256)) * (SIZE // 256)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.send_response(200)
        if self.path == "/chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            step = 8192
            parts = []
            for at in range(0, SIZE, step):
                parts.append(b"%x\r\n" % step + BODY[at:at + step] + b"\r\n")
            parts.append(b"0\r\n\r\n")
            self.wfile.write(b"".join(parts))
        elif self.path == "/small":
            self.send_header("Content-Length", "1024")
            self.end_headers()
            self.wfile.write(BODY[:1024])
        elif self.path == "/close":
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(BODY)
        else:
            self.send_header("Content-Length", str(SIZE))
            self.end_headers()
            self.wfile.write(BODY)
        self.close_connection = True

    def log_message(self, *args):
        pass


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def serve_tls(server, folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=bench",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)


def main():
    args = [a for a in sys.argv[1:] if a != "--tls"]
    tls = len(args) < len(sys.argv) - 1
    fetch = args[0]
    runs = int(args[1]) if len(args) > 1 else 15
    curl = shutil.which("curl")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    folder = tempfile.mkdtemp()
    if tls:
        serve_tls(server, folder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    scheme = "https" if tls else "http"
    print(f"{'framing':<8} {'krzpap ms':>10} {'curl ms':>10} {'ratio':>6}  ({scheme})")
    paths = (["/small"] if tls else []) + ["/length", "/chunked", "/close"]
    for path in paths:
        size = 1024 if path == "/small" else SIZE
        ours, theirs = [], []
        for _ in range(runs):
            ours.append(timed([fetch, str(port), path, str(size)] + (["tls"] if tls else [])))
            theirs.append(timed([curl, "-s", "-k", "-o", "/dev/null",
                                 f"{scheme}://127.0.0.1:{port}{path}"]))
        a, b = statistics.median(ours), statistics.median(theirs)
        print(f"{path[1:]:<8} {a * 1000:10.1f} {b * 1000:10.1f} {a / b:6.2f}")
    if tls:
        # Resident memory per open connection, handshake done, over TLS and plain TCP (the plain
        # server is another one, for the same count of connections).
        plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=plain.serve_forever, daemon=True).start()
        per = {}
        for name, at, extra in (("tls", port, ["tls"]), ("plain", plain.server_address[1], [])):
            out = subprocess.run([fetch, str(at), "--memory", str(MEMORY_CONNECTIONS)] + extra,
                                 check=True, capture_output=True, text=True).stdout
            per[name] = float(out.strip())
        plain.shutdown()
        print(f"memory per connection ({MEMORY_CONNECTIONS} held): {per['tls']:.1f} KiB over "
              f"TLS, {per['plain']:.1f} KiB plain, {per['tls'] - per['plain']:.1f} KiB added")
    server.shutdown()
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
