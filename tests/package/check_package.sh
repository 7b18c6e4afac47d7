#!/usr/bin/env bash
# Makes the .deb of this build with cpack and checks it as a user and Debian's tools would:
# lintian reports no errors, the desktop entry and the AppStream metainfo validate, and the
# programs extracted into a temporary root run: --help, init-db into a temporary data directory
# (the installed layout keeps its data there) and list from it.
#   check_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  exit 1
}
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"

# No errors from lintian (warnings and notes are printed for the reader). It refuses to run as
# root without --allow-root.
lintian --allow-root --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
if grep -q '^E: ' "$work/lintian.txt"; then
  echo "lintian reported errors" >&2
  exit 1
fi
desktop-file-validate "$source/packaging/vesprey.desktop"
appstreamcli validate --no-net "$source/packaging/io.github.vesprey.Vesprey.metainfo.xml"

root=$work/root
dpkg-deb -x "$deb" "$root"
for path in usr/bin/vesprey-cli usr/share/applications/vesprey.desktop \
            usr/share/icons/hicolor/scalable/apps/vesprey.svg \
            usr/share/icons/hicolor/48x48/apps/vesprey.png usr/share/man/man1/vesprey-cli.1.gz \
            usr/lib/systemd/user/vesprey-sign.timer usr/lib/systemd/user/vesprey-digest.timer \
            usr/lib/systemd/user/vesprey-digest.service usr/share/metainfo/io.github.vesprey.Vesprey.metainfo.xml; do
  [[ -e $root/$path ]] || { echo "missing from the package: $path" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q 'libsqlcipher' || { echo "Depends lacks SQLCipher" >&2; exit 1; }
if dpkg-deb -f "$deb" Depends | grep -q 'webengine'; then
  echo "QtWebEngine must only be recommended" >&2
  exit 1
fi

export XDG_DATA_HOME=$work/data HOME=$work/home
unset VESPREY_DB
cli=$root/usr/bin/vesprey-cli
"$cli" --help >/dev/null
"$cli" init-db --demo
[[ -f $XDG_DATA_HOME/vesprey/Sign.db ]] || { echo "init-db did not use the data directory" >&2; exit 1; }
"$cli" list | tee "$work/list.txt"
grep -q '示例站点' "$work/list.txt"
echo "package checks passed"
