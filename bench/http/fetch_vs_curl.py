#!/usr/bin/env python3
"""Wall time of whole processes fetching one reply of 8 MiB from a local server on 127.0.0.1:
bench_http_fetch (KRZPAPComm) against `curl -o /dev/null`, side by side in one run.

usage: fetch_vs_curl.py PATH/TO/bench_http_fetch [runs]

The server answers from memory, in three framings (declared length, chunked in 8 KiB chunks, to
the close). Each framing runs the two clients alternately; the medians and their ratio are
printed (the goal for the ratio is at most 1.5).
"""
import http.server
import shutil
import statistics
import subprocess
import sys
import threading
import time

SIZE = 8 << 20
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


def main():
    fetch = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    curl = shutil.which("curl")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    print(f"{'framing':<8} {'krzpap ms':>10} {'curl ms':>10} {'ratio':>6}")
    for path in ["/length", "/chunked", "/close"]:
        ours, theirs = [], []
        for _ in range(runs):
            ours.append(timed([fetch, str(port), path, str(SIZE)]))
            theirs.append(timed([curl, "-s", "-o", "/dev/null", f"http://127.0.0.1:{port}{path}"]))
        a, b = statistics.median(ours), statistics.median(theirs)
        print(f"{path[1:]:<8} {a * 1000:10.1f} {b * 1000:10.1f} {a / b:6.2f}")
    server.shutdown()


if __name__ == "__main__":
    main()
