#!/usr/bin/env bash
# Takes the README's pictures of 录制签到 (docs/recording.png, docs/flow-trial.png and
# docs/steps.png): vesprey-screen-flow walks through it on a virtual X screen (Xvfb) against a
# small forum on 127.0.0.1 that this script starts (python3). The forum's page sets the login
# cookie, holds a fresh formhash at every load and presses its own 签到 button (a fetch POST of
# the formhash) a moment after it has loaded; the sign-in succeeds only with the formhash of the
# page the same cookie loaded last.
#   scripts/screenshot-flow.sh [OUTDIR]        (BUILD_DIR=build/release by default)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
build=${BUILD_DIR:-build/release}

. scripts/screen-common.sh
screen_setup vesprey-screen-flow vesprey-cli vesprey_browser

cat >"$work/forum.py" <<'PY'
import http.server, random, sys, urllib.parse

PAGE = """<!doctype html><html><head><meta charset="utf-8"><title>晨光论坛</title></head>
<body><h1>晨光论坛</h1><p>欢迎回来，会员 1024</p>
<form id="qiandao"><input type="hidden" name="formhash" value="%s"></form>
<button id="sign">签到</button><div id="tip"></div>
<script>
document.getElementById('sign').onclick = function () {
  fetch('/plugin.php?id=dsu_paulsign:sign&operation=qiandao&inajax=1', {method: 'POST',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body: 'formhash=' + document.querySelector('[name=formhash]').value + '&qdxq=kx'})
    .then(function (r) { return r.text(); })
    .then(function (t) { document.getElementById('tip').textContent = t; });
};
setTimeout(function () { document.getElementById('sign').click(); }, 4000);
</script></body></html>"""

issued = {}

class Forum(http.server.BaseHTTPRequestHandler):
    def reply(self, status, kind, text, cookie=None):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", kind + "; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        if cookie:
            self.send_header("Set-Cookie", cookie)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/forum.php"):
            hash_ = "%08x" % random.getrandbits(32)
            issued["last"] = hash_
            self.reply(200, "text/html", PAGE % hash_, "auth=member1024; Path=/")
        else:
            self.reply(404, "text/plain", "not here")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        form = urllib.parse.parse_qs(self.rfile.read(length).decode())
        if not self.path.startswith("/plugin.php"):
            self.reply(404, "text/plain", "not here")
        elif form.get("formhash", [""])[0] == issued.get("last"):
            self.reply(200, "text/html", '<div class="c">签到成功，连续签到 12 天</div>')
        else:
            self.reply(200, "text/html", '<div class="c">表单已过期，请刷新</div>')

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Forum)
with open(sys.argv[1], "w") as port:
    port.write(str(server.server_address[1]))
server.serve_forever()
PY
start_site "$work/forum.py"
forum="http://127.0.0.1:$site_port/forum.php"

db=$work/Sign.db
"$build/bin/vesprey-cli" init-db --db "$db" >/dev/null

start_xvfb 1280x900

mkdir -p "$work/shots"
VESPREY_SCREEN_FORUM=$forum VESPREY_SCREEN_SHOTS=$work/shots \
  "$build/bin/vesprey-screen-flow" --db "$db" >"$work/walk.log" 2>&1 &
app_pid=$!
for _ in $(seq 1200); do
  grep -q 'walk finished' "$work/walk.log" 2>/dev/null && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q 'walk finished' "$work/walk.log"; then
  echo "the walk did not finish:" >&2
  grep -v '^ ' "$work/walk.log" | tail -20 >&2
  if [[ -n ${KEEP_SHOTS:-} ]]; then
    cp "$work"/shots/*.png "$KEEP_SHOTS"/ 2>/dev/null || true
  fi
  exit 1
fi
mkdir -p "$out"
for picture in recording flow-trial steps; do
  cp "$work/shots/$picture.png" "$out/$picture.png"
  echo "saved $out/$picture.png"
done
