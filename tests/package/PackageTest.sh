#!/usr/bin/env bash
# The Debian package as a user gets it: packed from the built tree (lintian
# clean, by scripts/package), unpacked into a scratch root (dpkg-deb -x, nothing
# installed on the machine), its desktop entry, man pages and user unit put
# through their validators, and a short survey run with the unpacked fieldbook
# against the unpacked fieldbook-sim, without --log-dir: the unpacked usr/bin is
# read-only as an installed one, so the log must land in DOCUMENTS/fieldbook/.
#   PackageTest.sh SOURCE_DIR BUILD_DIR
# Exit status 0 passed, 1 failed, 77 skipped.
set -uo pipefail
source_dir=$1
build_dir=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
pids=()
scratch=$(mktemp -d /tmp/fieldbook-package-test-XXXXXX)
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  chmod -R u+w "$scratch" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
ended() { ! kill -0 "$1" 2>/dev/null; }

# Root writes anywhere; without its override the unpacked usr/bin is as closed
# to fieldbook as /usr/bin is to a user.
run_as_user=()
if [ "$(id -u)" -eq 0 ]; then
  [ -x /usr/bin/setpriv ] || { echo "no setpriv to run without root's file override"; exit 77; }
  run_as_user=(/usr/bin/setpriv --bounding-set=-dac_override,-dac_read_search,-fowner --)
fi

"$source_dir/scripts/package" --build-dir "$build_dir" --output "$scratch/out" >"$scratch/package.log" 2>&1 ||
  { cat "$scratch/package.log"; fail "scripts/package"; }
debs=("$scratch"/out/fieldbook_*_"$(dpkg --print-architecture)".deb)
[ -f "${debs[0]}" ] || fail "no package in $scratch/out"

# A quote in the root's path: the program's folder is used as it is.
root="$scratch/root o'brien"
dpkg-deb -x "${debs[0]}" "$root" || fail "dpkg-deb -x"
chmod 0555 "$root/usr/bin"

for f in usr/bin/fieldbook usr/bin/fieldbook-sim usr/share/applications/fieldbook.desktop \
         usr/lib/systemd/user/fieldbook.service usr/share/icons/hicolor/scalable/apps/fieldbook.svg \
         usr/share/icons/hicolor/48x48/apps/fieldbook.png usr/share/doc/fieldbook/copyright \
         usr/share/doc/fieldbook/changelog.gz usr/share/doc/fieldbook/examples/70-fieldbook-gps.rules; do
  [ -f "$root/$f" ] || fail "$f is not in the package"
done

out=$(desktop-file-validate "$root/usr/share/applications/fieldbook.desktop" 2>&1) && [ -z "$out" ] ||
  fail "desktop-file-validate: $out"

# Every program has a page that renders without a warning and names every
# option its --help names.
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  page="$root/usr/share/man/man1/$name.1.gz"
  [ -f "$page" ] || fail "no man page for $name"
  warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $name"
  [ -z "$warnings" ] || fail "man -l $name: $warnings"
  source_text=$(zcat "$page" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g')
  options=$("$program" --help | grep -oP '(?<![\w-])--?[a-z][a-z-]*' | sort -u)
  [ -n "$options" ] || fail "$name --help names no option"
  for option in $options; do
    grep -qP -- "(?<![\\w-])$option(?![\\w-])" <<<"$source_text" || fail "man page of $name lacks $option"
  done
done

# The unit as shipped, with ExecStart pointing into the scratch root (verify
# wants the program to exist; its man page is checked above, not in the
# system's man path). A user manager needs its runtime folder.
mkdir -p -m 0700 "$scratch/run"
ln -s "$root/usr/bin/fieldbook" "$scratch/fieldbook"
sed "s#^ExecStart=/usr/bin/fieldbook#ExecStart=$scratch/fieldbook#" \
  "$root/usr/lib/systemd/user/fieldbook.service" >"$scratch/fieldbook.service"
grep -q "^ExecStart=$scratch/fieldbook --headless" "$scratch/fieldbook.service" || fail "unit has no ExecStart to check"
out=$(XDG_RUNTIME_DIR="$scratch/run" systemd-analyze --user --man=no verify "$scratch/fieldbook.service" 2>&1) ||
  fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

# The survey: three packets, no --log-dir and no FIELDBOOK_LOG_DIR.
unset FIELDBOOK_LOG_DIR FIELDBOOK_PORTS FIELDBOOK_DOCUMENTS
docs="$scratch/home/Documents"
ports="$scratch/ports"
mkdir -p "$docs"
"$root/usr/bin/fieldbook-sim" --ports "$ports" --count 3 --interval 0.2 --quiet \
  >"$scratch/sim.out" 2>"$scratch/sim.err" &
sim=$!
pids+=("$sim")
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" FIELDBOOK_DOCUMENTS="$docs" \
  "${run_as_user[@]}" "$root/usr/bin/fieldbook" --headless --ports "$ports" \
  >"$scratch/fieldbook.out" 2>"$scratch/fieldbook.err" &
fieldbook=$!
pids+=("$fieldbook")
wait_for 60 grep -q ' (3)$' "$scratch/fieldbook.out" ||
  fail "no third point: $(cat "$scratch/fieldbook.out" "$scratch/fieldbook.err")"
wait_for 30 ended "$sim" || fail "fieldbook-sim did not end"
wait "$sim" || fail "fieldbook-sim: $(cat "$scratch/sim.out" "$scratch/sim.err")"
kill -TERM "$fieldbook"
wait_for 30 ended "$fieldbook" || fail "fieldbook did not end on SIGTERM"
wait "$fieldbook" || fail "fieldbook ended with status $?"

grep -qxF "Survey logs: $docs/fieldbook/" "$scratch/fieldbook.out" || fail "start-up did not name the log folder"
grep -qF "the program's folder $root/usr/bin/ cannot be written" "$scratch/fieldbook.out" ||
  fail "start-up did not say why: $(cat "$scratch/fieldbook.out")"
logs=("$docs"/fieldbook/??????????.txt)
[ ${#logs[@]} -eq 1 ] && [ -f "${logs[0]}" ] || fail "no single survey log in $docs/fieldbook"
[ "$(wc -l <"${logs[0]}")" -eq 5 ] || fail "survey log is not two headings and three points: $(cat "${logs[0]}")"
[ -z "$(ls -A "$root/usr/bin" | grep -v '^fieldbook')" ] || fail "something was written into usr/bin"
echo "package test passed"
