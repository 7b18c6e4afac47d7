#!/usr/bin/env bash
# Takes docs/screenshot.png, the README's picture of the main window after a sign-in pass: the
# accounts with their results and verdict icons, the counts in the status strip; and
# docs/screenshot-running.png, the window grown to 1000 × 560 during a pass, its progress bar in
# the status strip while one site takes its time, and the list searched for "签到" (two accounts
# of one site told apart by their 备注). The sites are answered by a small server on
# 127.0.0.1 that this script starts (python3); one account points at a closed port and fails, one
# answers with nothing but its status. Runs the window (vesprey-screen-pass: vesprey, which starts
# the pass itself) on a virtual X screen (Xvfb) exactly the window's size and saves that screen
# once the pass is over, or once the slow site's turn has come.
#   scripts/screenshot.sh [OUT.png [RUNNING.png]]        (BUILD_DIR=build/release by default)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshot.png}
running_out=${2:-docs/screenshot-running.png}
build=${BUILD_DIR:-build/release}

. scripts/screen-common.sh
screen_setup vesprey-screen-pass vesprey-cli vesprey-screen-grab

# The sites: one answer per path, in code page 936 as the templates expect; the port it got goes
# into $work/port.
cat >"$work/site.py" <<'PY'
import http.server, sys, time

ANSWERS = {
    "/bbs/sign": (200, "application/json", '{"code":0,"msg":"签到成功，获得 5 积分"}'),
    "/pan/api/checkin": (200, "application/json", '{"data":{"tip":"今日已签到，明天再来"}}'),
    "/av/plugin.php": (200, "text/html", '<div class="c">签到成功，连续签到 12 天</div>'),
    "/read/checkin": (401, "application/json", '{"msg":"请先登录"}'),
    "/news/sign": (200, "application/json", '{"code":0,"msg":"活动已结束"}'),
    "/tools/sign": (502, "text/plain", ""),
}
# Answered only after a long while: the pass is under way meanwhile.
SLOW = {"/read/slow"}

class Site(http.server.BaseHTTPRequestHandler):
    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        if self.path.split("?")[0] in SLOW:
            time.sleep(300)
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
# with nothing the rules know, one with a bare HTTP 502, and one has no account yet.
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
  ('工具箱','https://tools.example.com/','$site/tools/sign',1,1,0,'msg','',''),
  ('旧书市集','https://books.example.org/','https://books.example.org/sign',1,1,0,'msg','','');
INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES
  (1,'2024-05-15 08:00:00','uid=1024; token=a1'),
  (2,'2024-05-15 08:00:00','sid=77'),
  (2,'2024-05-15 08:01:00','sid=78'),
  (3,'2024-05-15 08:02:00','auth=x'),
  (4,'2024-05-15 08:03:00','reader=5'),
  (5,'2024-05-15 08:04:00','geek=1'),
  (6,'2024-05-15 08:05:00','news=3'),
  (7,'2024-05-15 08:06:00','tools=9');
UPDATE Send SET RobotId='bark-device-key' WHERE id=1;
CREATE TABLE AccountNote (Cid INTEGER PRIMARY KEY, Note TEXT NOT NULL);
INSERT INTO AccountNote (Cid,Note) VALUES (2,'大号'),(3,'小号');
SQL

# The same accounts in a Sign.db of their own, 读书小站 answering only after a long while.
mkdir -p "$work/running"
cp "$db" "$work/running/Sign.db"
sqlcipher "$work/running/Sign.db" >/dev/null <<SQL
PRAGMA key='Xq7LmP2zRt9VwK4s';
UPDATE Template SET WebLink='$site/read/slow' WHERE WebName='读书小站';
SQL

# Runs the window on a screen of SIZE until LINE is in its output, and saves the screen in OUT.
picture() {
  local size=$1 database=$2 line=$3 picture_out=$4 search=${5:-}
  start_xvfb "$size"
  VESPREY_SCREEN_SIZE=$size VESPREY_SCREEN_SEARCH=$search \
    "$build/bin/vesprey-screen-pass" --db "$database" >"$work/pass.log" &
  app_pid=$!
  for _ in $(seq 600); do
    grep -qF "$line" "$work/pass.log" 2>/dev/null && break
    sleep 0.1
  done
  if ! grep -qF "$line" "$work/pass.log"; then
    echo "\"$line\" did not come within a minute" >&2
    exit 1
  fi
  sleep 1  # the last paint
  mkdir -p "$(dirname "$picture_out")"
  "$build/bin/vesprey-screen-grab" "$picture_out"
  echo "saved $picture_out"
  kill "$app_pid" "$xvfb_pid" 2>/dev/null || true
  wait "$app_pid" "$xvfb_pid" 2>/dev/null || true
  app_pid= xvfb_pid=
}

picture 720x400 "$db" 'pass finished' "$out"
picture 1000x560 "$work/running/Sign.db" 'status: 开始对>>>读书小站<<<进行签到' "$running_out" '签到'
