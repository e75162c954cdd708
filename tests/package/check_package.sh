#!/usr/bin/env bash
# Checks the Debian package as a user would, on this machine: installs it with apt-get (its
# dependencies from Debian's archive), checks the version, the unit, the entries and lintian's
# verdict, pairs the installed client with the installed host on a virtual display, then
# removes it and checks that none of its files is left. The package is removed even on failure.
#   check_package.sh [DEB]      without DEB, scripts/package builds it
# Exit 77 (skipped) where packages cannot be installed here.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
skip() { echo "SKIPPED: $*"; exit 77; }

if [ "${1:-}" = --pair ]; then
  # In a private network namespace (the ports are fixed): the installed host serves one virtual
  # display, and the installed client pairs with its code and decodes a picture.
  work=$2
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
  unset DISPLAY WAYLAND_DISPLAY VELMORA_RESOURCES_DIR
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  /usr/bin/velmora-host --headless --backend virtual --virtual-displays 1280x720 >"$work/host.out" 2>"$work/host.log" &
  host=$!
  trap 'kill $host 2>/dev/null; wait $host 2>/dev/null' EXIT
  code=
  for _ in $(seq 300); do
    code=$(sed -n 's/^Verification code: \([0-9]\{4\}\)$/\1/p' "$work/host.out")
    [ -n "$code" ] && break
    kill -0 $host 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$code" ] || { echo "the installed host showed no code:"; cat "$work/host.out" "$work/host.log"; exit 1; }
  echo '{"waitForPictures": {"display": 0, "count": 1, "timeout": 20}}' |
    /usr/bin/velmora-client --host 127.0.0.1 --code "$code" --identifier package-check --script - --duration 0 \
      >"$work/client.json" 2>"$work/client.log" ||
    { echo "the installed client did not pair and decode:"; cat "$work/client.log" "$work/host.log"; exit 1; }
  grep -q '"serverHello"' "$work/client.json" || { echo "the client printed no ServerHello"; exit 1; }
  grep -q package-check "$XDG_CONFIG_HOME/velmora/user-defaults.json" || { echo "the host did not trust the client"; exit 1; }
  exit 0
fi

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v apt-get >/dev/null || skip "no apt-get here"
# Never replace or remove an installation that is not this check's.
dpkg-query -W -f='${Status}' velmora-host 2>/dev/null | grep -q 'install ok installed' &&
  skip "velmora-host is installed on this machine already"

deb=${1:-}
if [ -z "$deb" ]; then
  deb=$(scripts/package | tail -n 1) || { echo "FAIL: scripts/package failed"; exit 1; }
fi
deb=$(realpath "$deb")
work=$(mktemp -d /tmp/velmora-package-check.XXXXXX)
chmod 755 "$work"
cleanup() {
  if dpkg-query -W -f='${Status}' velmora-host 2>/dev/null | grep -q 'install ok installed'; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -q velmora-host >/dev/null 2>&1 || dpkg --remove velmora-host
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# check WHAT COMMAND...: the command's output is shown only when it fails.
check() {
  local what=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then pass "$what"; else fail "$what"; cat "$work/check.log"; fi
}

version=$(dpkg-deb -f "$deb" Version)
# No maintainer scripts: the package never starts, stops or reloads anything of the user's.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -vxE '\./|\./control|\./md5sums')
check "no maintainer scripts${control:+: $control}" test -z "$control"
if command -v lintian >/dev/null; then
  check "lintian reports no error" lintian --fail-on error "$deb"
  grep '^W:' "$work/check.log"  # the warnings left
else
  echo "not checked: lintian is not installed (scripts/setup test installs it)"
fi

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install failed"; exit 1; }
pass "apt-get install $(basename "$deb")"
# The files, not the folders: /usr/bin and the like stay, of course.
dpkg -L velmora-host | while read -r path; do [ -d "$path" ] || echo "$path"; done >"$work/files"

check "velmora-host --version prints $version" grep -q "^velmora-host $version " <(/usr/bin/velmora-host --version)
check "the unit names $version" grep -q "^Description=Velmora host $version " /usr/lib/systemd/user/velmora-host.service

# verify needs no running user manager, only a runtime folder; it also runs the man page link.
mkdir -m 700 "$work/verify-run"
check "systemd-analyze --user verify" env XDG_RUNTIME_DIR="$work/verify-run" \
  systemd-analyze --user verify /usr/lib/systemd/user/velmora-host.service
for entry in /usr/share/applications/velmora-host.desktop /usr/share/velmora/autostart/velmora-host.desktop; do
  check "desktop-file-validate $entry" desktop-file-validate "$entry"
done
check "man finds velmora-host(1)" man -w velmora-host

if bash tests/in_network_namespace.sh bash "$PWD/tests/package/check_package.sh" --pair "$work"; then
  pass "the installed host served a virtual display and paired the installed client"
else
  if [ $? -eq 77 ]; then echo "not checked: pairing (no network namespace here)"; else fail "pairing"; fi
fi

# The same package again over the installed one, as an upgrade would: the user's file stays.
cp "$work/home/.config/velmora/user-defaults.json" "$work/user-defaults.before" 2>/dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "$deb" >>"$work/apt.log" 2>&1 || fail "reinstalling failed"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q velmora-host >>"$work/apt.log" 2>&1 || fail "apt-get remove failed"
left=$(while read -r path; do [ ! -e "$path" ] || echo "$path"; done <"$work/files")
check "apt-get remove left none of the package's $(wc -l <"$work/files") files${left:+: $left}" test -z "$left"
check "apt-get remove left no /usr/share/velmora" test ! -e /usr/share/velmora
if [ -f "$work/user-defaults.before" ]; then
  check "the trusted devices file is untouched" \
    cmp "$work/user-defaults.before" "$work/home/.config/velmora/user-defaults.json"
fi

if [ "$failures" -eq 0 ]; then echo "package check: $(basename "$deb") passed"; else echo "package check: $failures failed"; fi
[ "$failures" -eq 0 ]
