"""The Sign.db of the multi-step case of compare.py: SITES sites of ACCOUNTS_PER_SITE accounts,
each site's template a 4-step flow in the community format, as a Discuz! forum's sign-in runs:

  1. GET the forum page (bench_site /forum.php), asserting and extracting its formhash;
  2. POST the formhash in a form body with the account's cookie, asserting the success text;
  3. GET the profile page (/home.php) and extract the points;
  4. api://util/unicode (answered by the tool itself) turning \\u escapes and the points into
     __log__, the row's result.

Every request step sends the account's cookie through "{{cookie}}" and the header lines a
browser copy of the requests would hold.
"""
import json
import subprocess

SITES = 50
ACCOUNTS_PER_SITE = 20
USER_AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/120.0 "
              "Safari/537.36")
# The result the fourth step gives, written as \u escapes in its URL: "签到成功，积分 " and the points.
LOG_ESCAPES = "\\u7b7e\\u5230\\u6210\\u529f\\uff0c\\u79ef\\u5206%20"


def _step(method, url, headers, data="", success=(), extract=()):
    return {
        "comment": "",
        "request": {
            "method": method,
            "url": url,
            "headers": [{"name": n, "value": v} for n, v in headers],
            "cookies": [],
            "data": data,
            "mimeType": "application/x-www-form-urlencoded" if data else "",
        },
        "rule": {
            "success_asserts": [{"re": r, "from": "content"} for r in success],
            "failed_asserts": [],
            "extract_variables": [{"name": n, "re": r, "from": "content"} for n, r in extract],
        },
    }


def flow_steps(base, index):
    """The steps of site `index` as the JSON text stored in its Flow row."""
    referer = f"{base}/forum.php?site={index}"
    common = [("User-Agent", USER_AGENT), ("Accept", "text/html,application/xhtml+xml,*/*"),
              ("Accept-Language", "zh-CN,zh;q=0.9"), ("Cookie", "{{cookie}}")]
    steps = [
        _step("GET", f"{base}/forum.php?site={index}", common, success=["formhash"],
              extract=[("formhash", 'name="formhash" value="(\\w+)"')]),
        _step("POST", f"{base}/plugin.php?id=dsu_paulsign:sign&operation=qiandao&site={index}",
              common + [("Referer", referer), ("X-Requested-With", "XMLHttpRequest")],
              data="formhash={{formhash}}&qdxq=kx&qdmode=3&fastreply=0",
              success=["签到成功|已经签到"]),
        _step("GET", f"{base}/home.php?mod=spacecp&ac=credit&site={index}",
              common + [("Referer", referer)], extract=[("points", '<em id="points">(\\d+)</em>')]),
        _step("GET", f"api://util/unicode?content={LOG_ESCAPES}{{{{points}}}}", [],
              extract=[("__log__", '"转换后": "(.*?)"')]),
    ]
    return json.dumps(steps, ensure_ascii=False)


def cookie_of(account):
    return (f"auth=ok{account:06d}; saltkey={account * 7:08x}; "
            + "; ".join(f"k{i}={account * 13 + i:08x}" for i in range(12)))


def sql_text(text):
    return "'" + text.replace("'", "''") + "'"


def make_flow_set(cli, sqlcipher, db, base):
    """Writes the Sign.db at `db` (made by the tool's init-db, keyed by `sqlcipher`)."""
    subprocess.run([cli, "init-db", "--db", db], check=True, stdout=subprocess.DEVNULL)
    sql = ["BEGIN;",
           "CREATE TABLE IF NOT EXISTS Flow (Id INTEGER PRIMARY KEY, Steps TEXT NOT NULL);"]
    for i in range(SITES):
        link = f"{base}/forum.php?site={i}"
        sql.append("INSERT INTO Template (WebName,Weblogin,WebLink,Qtype,Rtype,Ctype,Tying,Headers,"
                   f"Date) VALUES ({sql_text(f'论坛{i:03d}')},"
                   f"{sql_text(base + '/member.php?mod=logging&action=login')},{sql_text(link)},"
                   "1,1,0,'','','');")
        sql.append(f"INSERT INTO Flow (Id,Steps) VALUES ({i + 1},{sql_text(flow_steps(base, i))});")
        for a in range(ACCOUNTS_PER_SITE):
            sql.append(f"INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES ({i + 1},"
                       f"'2024-01-01 08:00:00',{sql_text(cookie_of(i * ACCOUNTS_PER_SITE + a))});")
    sql.append("COMMIT;")
    sqlcipher(db, "\n".join(sql))
    return SITES * ACCOUNTS_PER_SITE
