#!/usr/bin/env python3
"""Whole processes side by side, against a site in its own process (bench_site, one thread, epoll):

  sign, 1,000 JSON accounts       vesprey-cli sign (also with --no-history) | same_work_loop (the
  sign, 1,000 mixed accounts      tool's work: SQLCipher, libcurl, RapidJSON, PCRE2 JIT, verdicts,
                                  History.db) | curl_loop (the bare loop: libcurl + RapidJSON) |
                                  curl -K | Python requests; mixed: every fifth account a regex
                                  account on a 200 KB GBK page
  sign, 1,000 accounts of 4-step  vesprey-cli sign (also with --no-history) | flow_loop (the same
  flows                           steps from the Flow table with libcurl, RapidJSON and PCRE2 JIT,
                                  with and without History.db rows); flow_set.py has the steps
  list, 10,000 accounts           vesprey-cli list | sqlcipher shell: first line and total
  start-up, 5,000 accounts        the desktop program | a bare QTreeView, until rows are painted
  JSON parse + GetText            json_bench against RapidJSON (worst input)

Every program does the same requests: the same header lines, cookie and body as the tool sends.
same_work_loop also reads the same Sign.db and writes the same History.db rows; both files' raw
page keys are derived here once, so that neither it nor the tool (with its key cache) pays PBKDF2.
The runs alternate (one of each per round); min and median are printed, then one table of ratios
to the floors with the targets: `sign` against the same-work loop and against the bare loop.

    bench/process/compare.py build/bench/bin [--rounds 7]
"""
import argparse
import hashlib
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import flow_set

KEY = "Xq7LmP2zRt9VwK4s"
HERE = os.path.dirname(os.path.abspath(__file__))
SITES = 50
ACCOUNTS = 1000
PATTERN = "<div class=#引号c#引号>(.*?)</div>"
USER_AGENT = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36"


def sql_text(text):
    return "'" + text.replace("'", "''") + "'"


def sqlcipher(db, sql):
    subprocess.run(["sqlcipher", db], input=f"PRAGMA key='{KEY}';\n{sql}", text=True, check=True,
                   stdout=subprocess.DEVNULL)


class Site:
    """One template of a benchmark list and the requests its accounts send."""

    def __init__(self, base, index, regex):
        self.name = f"签到站点{index:03d}"
        self.regex = regex
        self.get = regex or index % 2 == 0
        self.link = f"{base}/{'page' if regex else 'api/sign'}?site={index}"
        self.referer = f"{base}/home/{index}"
        self.headers = [f"User-Agent: {USER_AGENT}", f"Referer: {self.referer}",
                        "X-Requested-With: XMLHttpRequest"]
        self.body = f"act=sign&site={index}&token=abcdef0123456789"
        self.tying = PATTERN if regex else "data.msg"

    def template_row(self):
        # The header lines are joined with CR LF by SQL: the sqlcipher shell drops a CR at the end
        # of each line it reads, which would leave them joined by LF alone, one line to the tool.
        return (f"INSERT INTO Template (WebName,Weblogin,WebLink,Qtype,Rtype,Ctype,Tying,Headers,"
                f"Date) VALUES ({sql_text(self.name)},'',{sql_text(self.link)},"
                f"{1 if self.get else 2},{2 if self.regex else 1},0,{sql_text(self.tying)},"
                f"{' || char(13, 10) || '.join(sql_text(h) for h in self.headers)},"
                f"{sql_text(self.body)});")

    def wire_headers(self, cookie):
        """The header lines the tool sends: the cookie, the template's lines, then the defaults
        it adds (Accept, Accept-Language and, for a POST, the form content type)."""
        lines = [f"Cookie: {cookie}"] + self.headers + ["Accept: */*", "Accept-Language: zh-cn"]
        if not self.get:
            lines.append("Content-Type: application/x-www-form-urlencoded")
        return lines


def cookie_of(account):
    return f"sid={account:06d}; " + "; ".join(f"k{i}={account * 7 + i:08x}" for i in range(20))


def make_sign_set(cli, folder, name, base, regex_share):
    """A Sign.db of 1,000 accounts over SITES templates, the accounts file of the loops and the
    curl config. Every 1/regex_share-th template is a regex one."""
    db = os.path.join(folder, name + ".db")
    subprocess.run([cli, "init-db", "--db", db], check=True, stdout=subprocess.DEVNULL)
    step = round(1 / regex_share) if regex_share else 0
    sites = [Site(base, i, step and i % step == 0) for i in range(SITES)]
    sql = ["BEGIN;"] + [s.template_row() for s in sites]
    accounts = []
    for a in range(ACCOUNTS):
        site = a // (ACCOUNTS // SITES)
        cookie = cookie_of(a)
        sql.append(f"INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES ({site + 1},"
                   f"'2024-01-01 08:00:00',{sql_text(cookie)});")
        accounts.append((sites[site], cookie))
    sql.append("COMMIT;")
    sqlcipher(db, "\n".join(sql))
    lines = []
    config = []
    for site, cookie in accounts:
        headers = site.wire_headers(cookie)
        method = "GET" if site.get else "POST"
        lines.append("\t".join([method, site.link, "regex" if site.regex else "json",
                                PATTERN.replace("#引号", '"') if site.regex else site.tying,
                                site.body] + headers))
        config.append(f'url = "{site.link}"')
        config += [f'header = "{h}"' for h in headers]
        config.append('header = "Expect:"')
        if not site.get:
            config.append(f'data = "{site.body}"')
        config += ["output = /dev/null", "next"]
    accounts_file = os.path.join(folder, name + ".tsv")
    with open(accounts_file, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")
    config_file = os.path.join(folder, name + ".curlrc")
    with open(config_file, "w", encoding="utf-8") as out:
        out.write("\n".join(config[:-1]) + "\n")
    return db, accounts_file, config_file


def raw_key(db):
    """The page key SQLCipher derives from KEY and the file's salt (its first 16 bytes), in hex:
    PBKDF2-HMAC-SHA1 with the library's default round count, asked of the sqlcipher shell."""
    rounds = subprocess.run(["sqlcipher", ":memory:"], input="PRAGMA cipher_default_kdf_iter;\n",
                            capture_output=True, text=True, check=True).stdout.split()[-1]
    with open(db, "rb") as f:
        salt = f.read(16)
    return hashlib.pbkdf2_hmac("sha1", KEY.encode(), salt, int(rounds), 32).hex()


def make_list_db(cli, folder, name, accounts):
    db = os.path.join(folder, name)
    subprocess.run([cli, "init-db", "--db", db], check=True, stdout=subprocess.DEVNULL)
    per_site = 5
    sql = ["BEGIN;"]
    for i in range(accounts // per_site):
        site = Site("https://example.com", i, i % 5 == 0)
        sql.append(site.template_row())
    sql.append(f"WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<{accounts - 1}) "
               f"INSERT INTO WebCookie (Id,Ctime,Cookie) SELECT i/{per_site}+1,'2024-01-01 08:00:00',"
               f"'sid='||i||'; '||hex(randomblob(140)) FROM n;")
    sql.append("COMMIT;")
    sqlcipher(db, "\n".join(sql))
    return db


def run_whole(argv, env=None):
    """(seconds, peak resident MB, exit code, stdout) of one whole process. The peak is read by
    /usr/bin/time, a small C program: a child of this script would start its high-water mark at
    the size of the Python process it was copied from."""
    with tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        child = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name] + argv,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env)
        seconds = time.perf_counter() - start
        kilobytes = peak.read().split()
    return seconds, int(kilobytes[-1]) / 1024 if kilobytes else 0, child.returncode, child.stdout


def run_first_line(argv, stdin=None, env=None):
    """(seconds to the first line, seconds in all) of one whole process."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0, env=env)
    if stdin:
        child.stdin.write(stdin.encode())
        child.stdin.close()
    first = None
    while True:
        chunk = child.stdout.read(65536)
        if not chunk:
            break
        if first is None and b"\n" in chunk:
            first = time.perf_counter() - start
    child.wait()
    total = time.perf_counter() - start
    return (first if first is not None else total), total


def in_turn(contenders, r):
    """The contenders' names in the order of round `r`: each round starts one further on, so no
    program always runs right after the same other one."""
    names = list(contenders)
    return names[r % len(names):] + names[:r % len(names)]


class Measure:
    def __init__(self):
        self.samples = {}

    def add(self, key, value):
        self.samples.setdefault(key, []).append(value)

    def min(self, key):
        return min(self.samples[key])

    def median(self, key):
        return statistics.median(self.samples[key])


def sign_contenders(bin_dir, db, accounts, config, env, earlier=None):
    cli = os.path.join(bin_dir, "vesprey-cli")
    # History.db (beside Sign.db, one for both sets) is made by the tool's first pass; both keys
    # are derived after it.
    history = os.path.join(os.path.dirname(db), "History.db")
    if not os.path.exists(history) or os.path.getsize(history) < 16:
        subprocess.run([cli, "sign", "--db", db], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    return {
        "vesprey-cli sign": [cli, "sign", "--db", db],
        # the same pass without its History.db rows
        "  --no-history": [cli, "sign", "--no-history", "--db", db],
        # the tool's work: Sign.db, requests, results, verdicts, History.db rows
        "same-work loop": [os.path.join(bin_dir, "same_work_loop"), db, raw_key(db),
                           raw_key(history)],
        # the bare loop: requests and results only, from a text file, no history, no verdict
        "C libcurl loop": [os.path.join(bin_dir, "curl_loop"), accounts],
        "curl -K": ["curl", "-s", "-K", config],
        "Python requests": [sys.executable, os.path.join(HERE, "requests_loop.py"), accounts],
        # another build's vesprey-cli (--earlier), for a change that must not make sign slower
        **({"earlier build": [earlier, "sign", "--db", db]} if earlier else {}),
    }


def measure_sign(m, set_name, title, contenders, expected, rounds, env, unchecked=()):
    """Runs the contenders once each (a warm-up whose results are checked), then `rounds`
    rounds in turn, and prints seconds and peak memory."""
    for name, argv in contenders.items():
        _, _, code, out = run_whole(argv, env=env)
        if name not in unchecked:
            check_results(f"{name} ({set_name})", out, expected)
    for r in range(rounds):
        for name in in_turn(contenders, r):
            seconds, peak, code, _ = run_whole(contenders[name], env=env)
            m.add((set_name, name), seconds)
            m.add((set_name, name, "peak"), peak)
    print(f"\n{title}: seconds min / median, peak MB median, KB per account")
    for name in contenders:
        print(f"  {name:18} {m.min((set_name, name)):7.3f} "
              f"{m.median((set_name, name)):7.3f}   "
              f"{m.median((set_name, name, 'peak')):7.1f} MB "
              f"{m.median((set_name, name, 'peak')) * 1024 / ACCOUNTS:6.1f} KB")


def measure_flows(m, rows, bin_dir, folder, base, env, rounds):
    """sign of 1,000 accounts of 4-step flows (flow_set.py) against flow_loop doing the same
    work, with and without History.db rows."""
    cli = os.path.join(bin_dir, "vesprey-cli")
    loop = os.path.join(bin_dir, "flow_loop")
    own = os.path.join(folder, "flows")  # a History.db of its own
    os.mkdir(own)
    db = os.path.join(own, "Sign.db")
    accounts = flow_set.make_flow_set(cli, sqlcipher, db, base)
    subprocess.run([cli, "sign", "--db", db], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=env)  # makes History.db
    sign_key, history_key = raw_key(db), raw_key(os.path.join(own, "History.db"))
    contenders = {
        "vesprey-cli sign": [cli, "sign", "--db", db],
        "  --no-history": [cli, "sign", "--no-history", "--db", db],
        "flow loop": [loop, db, sign_key, history_key],
        "  loop, no history": [loop, db, sign_key],
    }
    measure_sign(m, "flows", f"sign, {accounts} accounts of 4-step flows", contenders,
                 {"签到成功": accounts}, rounds, env)
    for measure, ours, theirs in (
            (f"sign, {accounts} accounts, 4-step flows", "vesprey-cli sign", "flow loop"),
            ("  without history, both", "  --no-history", "  loop, no history")):
        mine, floor = m.median(("flows", ours)), m.median(("flows", theirs))
        rows.append((measure, mine, "flow loop", floor, mine / floor, 1.5,
                     m.min(("flows", ours)) / m.min(("flows", theirs))))


def check_results(name, out, expected):
    text = out.decode("utf-8", "replace")
    for word, count in expected.items():
        found = text.count(word)
        if found < count:
            print(f"  warning: {name} gave {found} of {count} results “{word}”", file=sys.stderr)


def json_ratios(bin_dir):
    """The worst vesprey/RapidJSON and vesprey/nlohmann CPU ratios of json_bench."""
    result = subprocess.run([os.path.join(bin_dir, "json_bench"), "--benchmark_repetitions=3",
                             "--benchmark_report_aggregates_only=true"],
                            capture_output=True, text=True)
    print(result.stdout)
    rapid = []
    nlohmann = []
    for line in result.stdout.splitlines():
        found = re.search(r"vs nlohmann ([\d.]+) \(([\d.]+)\)\s+vs RapidJSON ([\d.]+) \(([\d.]+)\)",
                          line)
        if found:
            nlohmann.append(float(found.group(2)))
            rapid.append(float(found.group(4)))
    return (max(rapid) if rapid else float("nan")), (max(nlohmann) if nlohmann else float("nan"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bin_dir")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--skip", action="append", default=[],
                        help="leave out a part: sign, flow, list, desktop, json")
    parser.add_argument("--earlier", metavar="VESPREY_CLI",
                        help="another build's vesprey-cli: its sign runs in the same rounds")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin_dir)
    cli = os.path.join(bin_dir, "vesprey-cli")

    site = subprocess.Popen([os.path.join(bin_dir, "bench_site")], stdout=subprocess.PIPE)
    port = int(site.stdout.readline())
    base = f"http://127.0.0.1:{port}"
    rows = []  # (measure, vesprey, floor name, floor, ratio, target, ratio of the minimums)
    m = Measure()
    folder = tempfile.mkdtemp(prefix="vesprey-compare-")
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(folder, "cache"))
    try:
        if "sign" not in args.skip:
            sets = {
                "JSON": (make_sign_set(cli, folder, "json", base, 0), {"签到成功": ACCOUNTS}),
                "mixed": (make_sign_set(cli, folder, "mixed", base, 0.2),
                          {"签到成功": ACCOUNTS * 4 // 5}),
            }
            for set_name, ((db, accounts, config), expected) in sets.items():
                contenders = sign_contenders(bin_dir, db, accounts, config, env, args.earlier)
                measure_sign(m, set_name, f"sign, {ACCOUNTS} {set_name} accounts", contenders,
                             expected, args.rounds, env, unchecked=("curl -K",))
                ours = m.median((set_name, "vesprey-cli sign"))
                ours_min = m.min((set_name, "vesprey-cli sign"))

                def against(measure, name, peer, target=None, who="vesprey-cli sign"):
                    mine, theirs = m.median((set_name, who)), m.median((set_name, peer))
                    mine_min, theirs_min = m.min((set_name, who)), m.min((set_name, peer))
                    rows.append((measure, mine, name, theirs, mine / theirs, target,
                                 mine_min / theirs_min))

                against(f"sign, {ACCOUNTS} {set_name} accounts", "same-work", "same-work loop",
                        1.25)
                against("  same, against the bare loop", "C loop", "C libcurl loop")
                against("  without history, bare loop", "C loop", "C libcurl loop",
                        who="  --no-history")
                against("  same-work loop / bare loop", "C loop", "C libcurl loop",
                        who="same-work loop")
                for peer in ("curl -K", "Python requests"):
                    against(f"  same, against {peer}", peer, peer)
                if args.earlier:
                    against("  same, against the earlier build", "earlier", "earlier build")
                ours_peak = m.median((set_name, "vesprey-cli sign", "peak"))
                floor_peak = m.median((set_name, "same-work loop", "peak"))
                rows.append((f"  peak memory (MB), {set_name}", ours_peak, "same-work",
                             floor_peak, ours_peak / floor_peak, None, None))

        if "flow" not in args.skip:
            measure_flows(m, rows, bin_dir, folder, base, env, args.rounds)

        if "list" not in args.skip:
            db = make_list_db(cli, folder, "list.db", 10000)
            query = ("SELECT Template.*,WebCookie.Cookie,WebCookie.Cid FROM Template LEFT OUTER "
                     "JOIN WebCookie ON WebCookie.Id = Template.Id;")
            contenders = {
                "vesprey-cli list": ([cli, "list", "--db", db], None),
                "sqlcipher shell": (["sqlcipher", db], f"PRAGMA key='{KEY}';\n{query}\n"),
            }
            for argv, stdin in contenders.values():
                run_first_line(argv, stdin, env)
            for r in range(args.rounds * 2):
                for name in in_turn(contenders, r):
                    argv, stdin = contenders[name]
                    first, total = run_first_line(argv, stdin, env)
                    m.add(("list", name), first)
                    m.add(("list", name, "total"), total)
            print("\nlist, 10,000 accounts: first line min / median, total min / median (s)")
            for name in contenders:
                print(f"  {name:18} {m.min(('list', name)):7.3f} {m.median(('list', name)):7.3f}"
                      f"   {m.min(('list', name, 'total')):7.3f} "
                      f"{m.median(('list', name, 'total')):7.3f}")
            ours = m.median(("list", "vesprey-cli list"))
            shell = m.median(("list", "sqlcipher shell"))
            rows.append(("list, first line (s)", ours, "sqlcipher", shell, ours / shell, None,
                         None))
            ours_total = m.median(("list", "vesprey-cli list", "total"))
            shell_total = m.median(("list", "sqlcipher shell", "total"))
            rows.append(("list, whole run (s)", ours_total, "sqlcipher", shell_total,
                         ours_total / shell_total, None, None))
            # The start-up every command pays: a file of two sites, `list`.
            small = os.path.join(folder, "small.db")
            subprocess.run([cli, "init-db", "--demo", "--db", small], check=True,
                           stdout=subprocess.DEVNULL)
            for r in range(args.rounds * 3):
                m.add("start-up", run_whole([cli, "list", "--db", small], env=env)[0])
            print(f"\nstart-up (list of two sites): min {m.min('start-up'):.4f} s, median "
                  f"{m.median('start-up'):.4f} s")

        startup = os.path.join(bin_dir, "ui_startup_bench")
        if "desktop" not in args.skip and os.path.exists(startup):
            db = make_list_db(cli, folder, "desktop.db", 5000)
            uienv = dict(env, QT_QPA_PLATFORM=os.environ.get("QT_QPA_PLATFORM", "offscreen"),
                         QT_LOGGING_RULES="default.warning=false")
            if os.environ.get("DISPLAY"):
                uienv.pop("QT_QPA_PLATFORM")
            contenders = {"vesprey": [startup, "--child", db], "bare QTreeView": [startup, "--bare", db]}
            for r in range(args.rounds * 2):
                for name in in_turn(contenders, r):
                    start = time.perf_counter()
                    child = subprocess.run(contenders[name], capture_output=True, env=uienv)
                    seconds = time.perf_counter() - start
                    ready = child.stdout.decode().split()
                    if len(ready) >= 4 and ready[0] == "ready":
                        m.add(("desktop", name), seconds)
                        m.add(("desktop", name, "rss"), int(ready[1]) / 1024)
            if ("desktop", "vesprey") in m.samples and ("desktop", "bare QTreeView") in m.samples:
                print("\ndesktop, 5,000 accounts, until the rows are painted: min / median (s), "
                      "resident MB")
                for name in contenders:
                    print(f"  {name:18} {m.min(('desktop', name)):7.3f} "
                          f"{m.median(('desktop', name)):7.3f}   "
                          f"{m.median(('desktop', name, 'rss')):6.1f} MB")
                ours = m.median(("desktop", "vesprey"))
                bare = m.median(("desktop", "bare QTreeView"))
                rows.append(("desktop start-up, 5,000 (s)", ours, "QTreeView", bare, ours / bare,
                             1.5, None))
                ours_rss = m.median(("desktop", "vesprey", "rss"))
                bare_rss = m.median(("desktop", "bare QTreeView", "rss"))
                rows.append(("  resident memory (MB)", ours_rss, "QTreeView", bare_rss,
                             ours_rss / bare_rss, None, None))

        if "json" not in args.skip:
            rapid, nlohmann = json_ratios(bin_dir)
            rows.append(("JSON parse + GetText, worst", rapid, "RapidJSON", 1.0, rapid, 2.0, None))
            rows.append(("  same, against nlohmann", nlohmann, "nlohmann", 1.0, nlohmann, 1.0,
                         None))
    finally:
        site.kill()
        site.wait()
        subprocess.run(["rm", "-rf", folder])

    # ratio: of the medians, which the target is for; by min: of the minimums, where measured.
    print(f"\n{'measure':34} {'vesprey':>9} {'floor / peer':>14} {'':>9} {'ratio':>7} "
          f"{'by min':>7} {'target':>7}")
    for measure, ours, peer, theirs, ratio, target, min_ratio in rows:
        verdict = "" if target is None else ("met" if ratio <= target else "NOT met")
        target_text = "" if target is None else f"≤ {target:g}"
        min_text = "" if min_ratio is None else f"{min_ratio:7.2f}"
        print(f"{measure:34} {ours:9.3f} {peer:>14} {theirs:9.3f} {ratio:7.2f} {min_text:>7} "
              f"{target_text:>7} {verdict}")
    if "start-up" in m.samples:
        startup_ms = m.median("start-up") * 1000
        print(f"{'fixed start-up of vesprey-cli (ms)':34} {startup_ms:9.1f} {'':>14} {'':>9} "
              f"{'':>7} {'':>7} {'≤ 40':>7} {'met' if startup_ms <= 40 else 'NOT met'}")
    if ("list", "vesprey-cli list") in m.samples:
        first = m.median(("list", "vesprey-cli list"))
        print(f"{'list, first line (s)':34} {first:9.3f} {'':>14} {'':>9} {'':>7} {'':>7} "
              f"{'≤ 0.06':>7} {'met' if first <= 0.06 else 'NOT met'}")


if __name__ == "__main__":
    main()
