#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks that every file of the desktop
# integration lands where desktops and systemd look for it.
#   install_test.sh BUILD_DIR PREFIX STAGING_DIR
set -euo pipefail
build=$1
prefix=$2
staging=$3

rm -rf "$staging"
trap 'rm -rf "$staging"' EXIT
DESTDIR="$staging" cmake --install "$build" >/dev/null
root="$staging$prefix"

failures=0
fail() { echo "install_layout: $*" >&2; failures=$((failures + 1)); }

for program in bin/velmora-host bin/velmora-client; do
  [ -x "$root/$program" ] || fail "$program is missing or not executable"
done
for file in share/velmora/strings/en.json \
            share/velmora/Velmora-MenuBar-Icon.png share/velmora/Velmora-MenuBar-Icon@2x.png \
            share/velmora/velmora-host.png share/velmora/help/permissions.html \
            share/velmora/autostart/velmora-host.desktop share/applications/velmora-host.desktop \
            share/icons/hicolor/256x256/apps/velmora-host.png lib/systemd/user/velmora-host.service \
            share/man/man1/velmora-host.1.gz share/man/man1/velmora-client.1.gz; do
  [ -s "$root/$file" ] || fail "$file is missing or empty"
done

# Both entries and the service start the installed program, wherever the prefix is.
grep -qxF "Exec=$prefix/bin/velmora-host" "$root/share/applications/velmora-host.desktop" ||
  fail "the application entry does not start $prefix/bin/velmora-host"
grep -qxF "ExecStart=$prefix/bin/velmora-host --headless" "$root/lib/systemd/user/velmora-host.service" ||
  fail "the service does not run $prefix/bin/velmora-host --headless"
grep -qxF "Restart=on-failure" "$root/lib/systemd/user/velmora-host.service" ||
  fail "the service is not restarted on failure"

# The help page's sections are what the tray opens for each missing permission.
for anchor in screen-recording accessibility; do
  grep -q "id=\"$anchor\"" "$root/share/velmora/help/permissions.html" || fail "the help page has no #$anchor"
done

# PNG signature and IHDR width/height.
png_size() { od -An -tx1 -j16 -N8 "$1" | tr -d ' \n'; }
[ "$(png_size "$root/share/velmora/Velmora-MenuBar-Icon.png")" = "0000001200000012" ] ||
  fail "the tray icon is not 18x18"
[ "$(png_size "$root/share/icons/hicolor/256x256/apps/velmora-host.png")" = "0000010000000100" ] ||
  fail "the application icon is not 256x256"

if command -v desktop-file-validate >/dev/null; then
  for entry in share/applications/velmora-host.desktop share/velmora/autostart/velmora-host.desktop; do
    desktop-file-validate "$root/$entry" || fail "$entry does not validate"
  done
else
  echo "install_layout: entries not validated: no desktop-file-validate (scripts/setup installs desktop-file-utils)"
fi

[ "$failures" -eq 0 ]
