#!/usr/bin/env bash
# Takes docs/screenshot.png, the README's picture of the main window with a few accounts. Runs
# vesprey on a virtual X screen (Xvfb) exactly the window's size and saves that screen.
#   scripts/screenshot.sh [OUT.png]        (BUILD_DIR=build/release by default)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshot.png}
build=${BUILD_DIR:-build/release}

scripts/install-deps.sh
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESPREY_BUILD_UI=ON >/dev/null
fi
cmake --build "$build" --target vesprey vesprey-cli vesprey-screen-grab

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A Sign.db with a few sites and accounts.
db=$work/Sign.db
"$build/bin/vesprey-cli" init-db --db "$db" >/dev/null
sqlcipher "$db" >/dev/null <<'SQL'
PRAGMA key='Xq7LmP2zRt9VwK4s';
INSERT INTO Template (WebName,Weblogin,WebLink,Qtype,Rtype,Ctype,Tying,Headers,Date) VALUES
  ('晨光论坛','https://bbs.example.com/login','https://bbs.example.com/sign',1,1,0,'msg','',''),
  ('云盘签到','https://pan.example.com/','https://pan.example.com/api/checkin',2,1,1,'data.tip','',''),
  ('影音社区','https://av.example.org/member.php','https://av.example.org/plugin.php?id=sign',1,2,0,'<div class=#引号c#引号>([^<]*)</div>','',''),
  ('读书小站','https://read.example.net/','https://read.example.net/checkin',2,2,0,'"msg":"([^"]*)"','','day=1'),
  ('极客社区','https://geek.example.com/','https://geek.example.com/api/sign',2,1,0,'message','','');
INSERT INTO WebCookie (Id,Ctime,Cookie) VALUES
  (1,'2024-05-15 08:00:00','uid=1024; token=a1'),
  (2,'2024-05-15 08:00:00','sid=77'),
  (2,'2024-05-15 08:01:00','sid=78'),
  (3,'2024-05-15 08:02:00','auth=x'),
  (5,'2024-05-15 08:03:00','geek=1');
UPDATE Send SET RobotId='bark-device-key' WHERE id=1;
SQL

# A free display number.
display=99
while [[ -e /tmp/.X${display}-lock || -e /tmp/.X11-unix/X${display} ]]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 720x400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do
  [[ -e /tmp/.X11-unix/X${display} ]] && break
  sleep 0.1
done

"$build/bin/vesprey" --db "$db" &
app_pid=$!
sleep 3  # start-up, first paint
mkdir -p "$(dirname "$out")"
"$build/bin/vesprey-screen-grab" "$out"
echo "saved $out"
