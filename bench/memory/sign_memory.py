#!/usr/bin/env python3
"""Peak resident memory of whole `vesprey-cli sign` runs against sites on 127.0.0.x that run in
their own process: 1,000 ordinary JSON accounts, one account whose answer is 32 MiB or 64 MiB of
nested JSON arrays (the body limit), and 64 accounts on 64 hosts that each answer 64 MiB (nested
JSON, or a text page read by a regular expression) signed with --jobs 64. Give one or more
vesprey-cli binaries to compare them in the same run; each case runs `--runs` times, alternating
binaries, and min and median are printed.

    bench/memory/sign_memory.py build/bench/bin/vesprey-cli [/path/to/other/vesprey-cli]
    bench/memory/sign_memory.py --jobs 1,4,16,64 build/bench/bin/vesprey-cli

The peak is that of the vesprey-cli process alone, read by /usr/bin/time: a process forked from
this script would carry the script's own high-water mark (it holds the big answers) across exec.
Every answer goes out in one write on a socket without Nagle's delay, so that no request waits
for the client's delayed acknowledgement and the seconds are those of vesprey-cli.
"""
import argparse
import json
import multiprocessing
import os
import socket
import socketserver
import statistics
import subprocess
import tempfile
import threading
import time

KEY = "Xq7LmP2zRt9VwK4s"
HOSTS = 64  # 127.0.0.1 … 127.0.0.64, one site each for the many-hosts cases


def nested(size):
    unit = "[[]],"
    count = (size - 8) // len(unit)
    return ("[" + unit * count + "[]]").encode()


def page(size):
    head = b"<html><head><title>ok</title></head><body>"
    tail = b"</body></html>"
    return head + b"x" * (size - len(head) - len(tail)) + tail


def response(body, content_type):
    head = (f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    return head + body


def serve(port_queue, answers):
    """Sites on 127.0.0.1 … 127.0.0.HOSTS, all on one port, answering each request in one write."""
    small = response(b'{"msg":"ok"}', "application/json")

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while True:
                line = self.rfile.readline(65537)
                if not line:
                    return
                while True:  # the request's header lines; GET requests carry no body
                    header = self.rfile.readline(65537)
                    if header in (b"\r\n", b"\n", b""):
                        break
                parts = line.split()
                path = parts[1].split(b"?")[0].decode() if len(parts) > 1 else "/"
                try:
                    self.wfile.write(answers.get(path, small))
                except OSError:
                    return  # the client went: an answer it did not keep

    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True
        request_queue_size = 128

        def handle_error(self, request, client_address):
            pass  # a client that closes its connection is no failure of the site

    first = Server(("127.0.0.1", 0), Handler)
    port = first.server_address[1]
    servers = [first] + [Server((f"127.0.0.{i}", port), Handler) for i in range(2, HOSTS + 1)]
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    port_queue.put(port)
    first.serve_forever()


def run_sql(db, sql):
    subprocess.run(["sqlcipher", db], input=f"PRAGMA key='{KEY}';\n" + sql, text=True,
                   check=True, stdout=subprocess.DEVNULL)


def make_db(cli, folder, name, link, accounts, tying="data.msg", rtype=0):
    db = os.path.join(folder, name)
    subprocess.run([cli, "init-db", "--db", db], check=True, stdout=subprocess.DEVNULL)
    template = os.path.join(folder, name + ".json")
    with open(template, "w", encoding="utf-8") as out:
        json.dump({"网站": "测试站", "签到链接": link, "请求模式": 0, "响应类型": rtype,
                   "绑定语句": tying}, out, ensure_ascii=False)
    subprocess.run([cli, "import", "--db", db, "--cookie", "c=0", template], check=True,
                   stdout=subprocess.DEVNULL)
    if accounts > 1:
        run_sql(db, f"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
                    f"WHERE i<{accounts - 1}) INSERT INTO WebCookie (Id,Ctime,Cookie) "
                    f"SELECT 1,'2024-01-01 08:00:00','c='||i FROM n;")
    return db


def make_hosts_db(cli, folder, name, port, path, tying, rtype):
    """One template and one account on each of the HOSTS sites."""
    db = make_db(cli, folder, name, f"http://127.0.0.1:{port}{path}", 1, tying, rtype)
    run_sql(db, "BEGIN;\n" + "".join(
        f"INSERT INTO Template (WebName,Weblogin,WebLink,Qtype,Rtype,Ctype,Tying,Headers,Date) "
        f"SELECT WebName||'{i}',Weblogin,'http://127.0.0.{i}:{port}{path}',Qtype,Rtype,Ctype,"
        f"Tying,Headers,Date FROM Template WHERE Id=1;\n"
        f"INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES (last_insert_rowid(),"
        f"'2024-01-01 08:00:00','c={i}');\n" for i in range(2, HOSTS + 1)) + "COMMIT;")
    return db


def peak_rss_mb(cli, db, jobs):
    """Runs sign and returns (peak resident MB of vesprey-cli, seconds, exit code, accounts whose
    answer was not kept for want of answer memory)."""
    with tempfile.NamedTemporaryFile("r") as peak:
        start = time.monotonic()
        child = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, cli, "sign",
                                "--no-history", "--jobs", str(jobs), "--db", db],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        seconds = time.monotonic() - start
        kilobytes = peak.read().split()
    refused = child.stdout.decode(errors="replace").count("没有收下")
    return (int(kilobytes[-1]) / 1024 if kilobytes else 0), seconds, child.returncode, refused


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="+")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--jobs", default="64",
                        help="the --jobs values of the many-hosts cases, comma-separated")
    args = parser.parse_args()
    jobs_values = [int(j) for j in args.jobs.split(",")]

    answers = {"/big32": response(nested(32 << 20), "application/json"),
               "/big64": response(nested((64 << 20) - 16), "application/json"),
               "/page64": response(page((64 << 20) - 16), "text/html")}
    queue = multiprocessing.Queue()
    site = multiprocessing.Process(target=serve, args=(queue, answers), daemon=True)
    site.start()
    port = queue.get()
    del answers  # the site's process has its own
    base = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as folder:
        cli = args.cli[0]
        cases = [
            ("1,000 JSON accounts", make_db(cli, folder, "many.db", base + "/sign", 1000), 1),
            ("32 MiB nested answer", make_db(cli, folder, "b32.db", base + "/big32", 1), 1),
            ("64 MiB nested answer", make_db(cli, folder, "b64.db", base + "/big64", 1), 1),
        ]
        hosts_json = make_hosts_db(cli, folder, "hosts.db", port, "/big64", "0.0", 0)
        hosts_text = make_hosts_db(cli, folder, "pages.db", port, "/page64",
                                   "<title>(.*?)</title>", 1)
        for jobs in jobs_values:
            cases.append((f"64×64 MiB JSON -j{jobs}", hosts_json, jobs))
        for jobs in jobs_values:
            cases.append((f"64×64 MiB text -j{jobs}", hosts_text, jobs))
        print(f"{'case':24} {'binary':40} {'peak MB min':>12} {'median':>8} {'s median':>9}")
        for case, db, jobs in cases:
            results = {cli: [] for cli in args.cli}
            for _ in range(args.runs):
                for cli in args.cli:
                    results[cli].append(peak_rss_mb(cli, db, jobs))
            for cli, runs in results.items():
                peaks = [r[0] for r in runs]
                seconds = [r[1] for r in runs]
                codes = sorted({r[2] for r in runs})
                note = "" if codes == [0] else f"  exit {codes}"
                refused = max(r[3] for r in runs)
                if refused:
                    note += f", up to {refused} answers not kept"
                print(f"{case:24} {cli[-40:]:40} {min(peaks):12.1f} "
                      f"{statistics.median(peaks):8.1f} {statistics.median(seconds):9.2f}{note}",
                      flush=True)
    site.terminate()


if __name__ == "__main__":
    main()
