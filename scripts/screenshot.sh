#!/usr/bin/env bash
# Takes docs/screenshot.png, the README's picture of the main window after a sign-in pass: the
# accounts with their results and verdict icons, the counts in the status strip. The sites are
# answered by a small server on 127.0.0.1 that this script starts (python3); one account points
# at a closed port and fails. Runs the window (vesprey-screen-pass: vesprey, which starts the pass
# itself) on a virtual X screen (Xvfb) exactly the window's size and saves that screen once the
# pass is over.
#   scripts/screenshot.sh [OUT.png]        (BUILD_DIR=build/release by default)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshot.png}
build=${BUILD_DIR:-build/release}

. scripts/screen-common.sh
screen_setup vesprey-screen-pass vesprey-cli vesprey-screen-grab

# The sites: one answer per path, in code page 936 as the templates expect; the port it got goes
# into $work/port.
cat >"$work/site.py" <<'PY'
import http.server, sys

ANSWERS = {
    "/bbs/sign": (200, "application/json", '{"code":0,"msg":"签到成功，获得 5 积分"}'),
    "/pan/api/checkin": (200, "application/json", '{"data":{"tip":"今日已签到，明天再来"}}'),
    "/av/plugin.php": (200, "text/html", '<div class="c">签到成功，连续签到 12 天</div>'),
    "/read/checkin": (401, "application/json", '{"msg":"请先登录"}'),
    "/news/sign": (200, "application/json", '{"code":0,"msg":"活动已结束"}'),
}

class Site(http.server.BaseHTTPRequestHandler):
    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        status, kind, text = ANSWERS.get(self.path.split("?")[0], (404, "text/plain", "not here"))
        body = text.encode("gbk")
        self.send_response(status)
        self.send_header("Content-Type", kind + "; charset=gbk")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = answer
    do_POST = answer

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Site)
with open(sys.argv[1], "w") as port:
    port.write(str(server.server_address[1]))
server.serve_forever()
PY
start_site "$work/site.py"
site="http://127.0.0.1:$site_port"

# A Sign.db with a few sites and accounts: two sign in, one says it is done for today (two
# accounts), one turns the cookie away (HTTP 401), one is not reachable (port 9), one answers
# with nothing the rules know, and one has no account yet.
db=$work/Sign.db
"$build/bin/vesprey-cli" init-db --db "$db" >/dev/null
sqlcipher "$db" >/dev/null <<SQL
PRAGMA key='Xq7LmP2zRt9VwK4s';
INSERT INTO Template (WebName,Weblogin,WebLink,Qtype,Rtype,Ctype,Tying,Headers,Date) VALUES
  ('晨光论坛','https://bbs.example.com/login','$site/bbs/sign',1,1,0,'msg','',''),
  ('云盘签到','https://pan.example.com/','$site/pan/api/checkin',2,1,0,'data.tip','',''),
  ('影音社区','https://av.example.org/member.php','$site/av/plugin.php?id=sign',1,2,0,'<div class=#引号c#引号>([^<]*)</div>','',''),
  ('读书小站','https://read.example.net/','$site/read/checkin',2,2,0,'"msg":"([^"]*)"','','day=1'),
  ('极客社区','https://geek.example.com/','http://127.0.0.1:9/api/sign',2,1,0,'message','',''),
  ('资讯早报','https://news.example.com/','$site/news/sign',1,1,0,'msg','',''),
  ('旧书市集','https://books.example.org/','https://books.example.org/sign',1,1,0,'msg','','');
INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES
  (1,'2024-05-15 08:00:00','uid=1024; token=a1'),
  (2,'2024-05-15 08:00:00','sid=77'),
  (2,'2024-05-15 08:01:00','sid=78'),
  (3,'2024-05-15 08:02:00','auth=x'),
  (4,'2024-05-15 08:03:00','reader=5'),
  (5,'2024-05-15 08:04:00','geek=1'),
  (6,'2024-05-15 08:05:00','news=3');
UPDATE Send SET RobotId='bark-device-key' WHERE id=1;
SQL

start_xvfb 720x400

"$build/bin/vesprey-screen-pass" --db "$db" >"$work/pass.log" &
app_pid=$!
for _ in $(seq 600); do
  grep -q 'pass finished' "$work/pass.log" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q 'pass finished' "$work/pass.log"; then
  echo "the pass did not finish within a minute" >&2
  exit 1
fi
sleep 1  # the last paint
mkdir -p "$(dirname "$out")"
"$build/bin/vesprey-screen-grab" "$out"
echo "saved $out"
