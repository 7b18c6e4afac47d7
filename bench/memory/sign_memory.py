#!/usr/bin/env python3
"""Peak resident memory of whole `vesprey-cli sign` runs against a site on 127.0.0.1 that runs in
its own process: 1,000 ordinary JSON accounts, and one account whose answer is 32 MiB or 64 MiB of
nested JSON arrays (the body limit). Give one or more vesprey-cli binaries to compare them in the
same run; each case runs `--runs` times, alternating binaries, and min and median are printed.

    bench/memory/sign_memory.py build/bench/bin/vesprey-cli [/path/to/other/vesprey-cli]
"""
import argparse
import http.server
import json
import multiprocessing
import os
import resource
import socketserver
import statistics
import subprocess
import tempfile
import time

KEY = "Xq7LmP2zRt9VwK4s"


def nested(size):
    unit = "[[]],"
    count = (size - 8) // len(unit)
    return ("[" + unit * count + "[]]").encode()


def serve(port_queue, answers):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            body = answers.get(self.path.split("?")[0], b'{"msg":"ok"}')
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), Handler)
    port_queue.put(server.server_address[1])
    server.serve_forever()


def make_db(cli, folder, name, link, accounts):
    db = os.path.join(folder, name)
    subprocess.run([cli, "init-db", "--db", db], check=True, stdout=subprocess.DEVNULL)
    template = os.path.join(folder, name + ".json")
    with open(template, "w", encoding="utf-8") as out:
        json.dump({"网站": "测试站", "签到链接": link, "请求模式": 0, "响应类型": 0,
                   "绑定语句": "data.msg"}, out, ensure_ascii=False)
    subprocess.run([cli, "import", "--db", db, "--cookie", "c=0", template], check=True,
                   stdout=subprocess.DEVNULL)
    if accounts > 1:
        sql = (f"PRAGMA key='{KEY}'; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
               f"WHERE i<{accounts - 1}) INSERT INTO WebCookie (Id,Ctime,Cookie) "
               f"SELECT 1,'2024-01-01 08:00:00','c='||i FROM n;")
        subprocess.run(["sqlcipher", db], input=sql, text=True, check=True,
                       stdout=subprocess.DEVNULL)
    return db


def peak_rss_mb(cli, db):
    """Runs sign and returns (peak resident MB, seconds, exit code)."""
    start = time.monotonic()
    child = subprocess.Popen([cli, "sign", "--db", db], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return usage.ru_maxrss / 1024, time.monotonic() - start, os.waitstatus_to_exitcode(status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="+")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    answers = {"/big32": nested(32 << 20), "/big64": nested((64 << 20) - 16)}
    queue = multiprocessing.Queue()
    site = multiprocessing.Process(target=serve, args=(queue, answers), daemon=True)
    site.start()
    port = queue.get()
    base = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as folder:
        cases = {
            "1,000 JSON accounts": make_db(args.cli[0], folder, "many.db", base + "/sign", 1000),
            "32 MiB nested answer": make_db(args.cli[0], folder, "b32.db", base + "/big32", 1),
            "64 MiB nested answer": make_db(args.cli[0], folder, "b64.db", base + "/big64", 1),
        }
        print(f"{'case':24} {'binary':40} {'peak MB min':>12} {'median':>8} {'s median':>9}")
        for case, db in cases.items():
            results = {cli: [] for cli in args.cli}
            for _ in range(args.runs):
                for cli in args.cli:
                    results[cli].append(peak_rss_mb(cli, db))
            for cli, runs in results.items():
                peaks = [r[0] for r in runs]
                seconds = [r[1] for r in runs]
                codes = sorted({r[2] for r in runs})
                note = "" if codes == [0] else f"  exit {codes}"
                print(f"{case:24} {cli[-40:]:40} {min(peaks):12.1f} "
                      f"{statistics.median(peaks):8.1f} {statistics.median(seconds):9.2f}{note}")
    site.terminate()


if __name__ == "__main__":
    main()
