#!/usr/bin/env bash
# The Debian package as a user gets it: packed from the built tree (lintian
# clean, by scripts/package), unpacked into a scratch root (dpkg-deb -x, nothing
# installed on the machine), its desktop entry, man pages and user unit put
# through their validators, and a short survey run with the unpacked fieldbook
# against the unpacked fieldbook-sim in each start-up situation of the table
# below, as a user without root's file override.
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

for f in usr/bin/fieldbook usr/bin/fieldbook-sim usr/bin/fieldbook-report usr/share/applications/fieldbook.desktop \
         usr/lib/systemd/user/fieldbook.service usr/share/icons/hicolor/scalable/apps/fieldbook.svg \
         usr/share/icons/hicolor/48x48/apps/fieldbook.png usr/share/doc/fieldbook/copyright \
         usr/share/doc/fieldbook/changelog.gz usr/share/doc/fieldbook/examples/70-fieldbook-gps.rules \
         usr/share/fieldbook/field-guide.html; do
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

# The installed package has no README: the page itself is whole.
page=$(zcat "$root/usr/share/man/man1/fieldbook.1.gz")
grep -qF 'DDMMhhmmss.gpkg' <<<"$page" && grep -qF '.BR fieldbook\-export (1)' <<<"$page" &&
  ! grep -q 'README' <<<"$page" || fail "man fieldbook points elsewhere, or lacks the GeoPackage or fieldbook-export"

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

# Start-up situations of a new user, each a survey of three packets with the
# unpacked programs:
#   fresh     a HOME without Documents, no --log-dir: the documents folder is
#             made (settings file, instance lock), the logs go to
#             DOCUMENTS/fieldbook/ because usr/bin is read-only, and a second
#             fieldbook on the same folder ends
#   missing   --log-dir naming folders that do not exist yet: they are made
#   readonly  --log-dir naming a read-only folder: every failed save is a
#             warning with the points held in memory, and no point is
#             counted as logged
unset FIELDBOOK_LOG_DIR FIELDBOOK_PORTS FIELDBOOK_DOCUMENTS
for situation in fresh missing readonly; do
  run="$scratch/$situation"
  home="$run/home"
  ports="$run/ports"
  mkdir -p "$home"
  args=(--headless --ports "$ports")
  case $situation in
    fresh) docs="$home/Documents"; logs="$docs/fieldbook" ;;
    missing) docs="$home/Documents"; logs="$run/surveys/day 1"; args+=(--log-dir "$logs") ;;
    readonly) docs="$home/Documents"; logs="$run/closed"; args+=(--log-dir "$logs"); mkdir -p -m 0555 "$logs" ;;
  esac
  "$root/usr/bin/fieldbook-sim" --ports "$ports" --count 3 --interval 0.2 --quiet \
    >"$run/sim.out" 2>"$run/sim.err" &
  sim=$!
  pids+=("$sim")
  start_fieldbook() {
    HOME="$home" XDG_CONFIG_HOME="$home/.config" "${run_as_user[@]}" "$root/usr/bin/fieldbook" "${args[@]}" \
      >"$run/$1.out" 2>"$run/$1.err" &
    fieldbook=$!
    pids+=("$fieldbook")
  }
  start_fieldbook fieldbook
  first=$fieldbook
  if [ "$situation" = readonly ]; then
    wait_for 60 grep -q '; 3 points held in memory$' "$run/fieldbook.err" ||
      fail "$situation: no warning for the third point: $(cat "$run/fieldbook.out" "$run/fieldbook.err")"
  else
    wait_for 60 grep -q ' (3)$' "$run/fieldbook.out" ||
      fail "$situation: no third point: $(cat "$run/fieldbook.out" "$run/fieldbook.err")"
  fi
  if [ "$situation" = fresh ]; then
    [ -f "$docs/KV4300TraceProofIni+.txt" ] || fail "$situation: no settings file in $docs"
    [ -f "$docs/{75CA3573-B449-4e0b-83F5-9FD612A876C7}.lock" ] || fail "$situation: no instance lock in $docs"
    start_fieldbook second
    wait_for 30 ended "$fieldbook" || fail "$situation: a second fieldbook runs beside the first"
    wait "$fieldbook"
    [ $? -eq 1 ] || fail "$situation: the second fieldbook did not end with status 1: $(cat "$run/second.err")"
  fi
  wait_for 30 ended "$sim" || fail "$situation: fieldbook-sim did not end"
  wait "$sim" || fail "$situation: fieldbook-sim: $(cat "$run/sim.out" "$run/sim.err")"
  kill -TERM "$first"
  wait_for 30 ended "$first" || fail "$situation: fieldbook did not end on SIGTERM"
  wait "$first" || fail "$situation: fieldbook ended with status $?"

  out=$(cat "$run/fieldbook.out")
  grep -qxF "Survey logs: $logs/" <<<"$out" || fail "$situation: start-up did not name the log folder: $out"
  if [ "$situation" = readonly ]; then
    name=$(grep -oP '^Log: \K\d{10}\.txt(?= \(0\)$)' <<<"$out")
    [ -n "$name" ] || fail "$situation: no log named: $out"
    ! grep -q '^Log: .* ([1-9][0-9]*)$' <<<"$out" || fail "$situation: an unsaved point was counted as logged: $out"
    warnings=$(grep '^Log: ' "$run/fieldbook.err")
    grep -qxF "Log: cannot save $logs/$name: Permission denied; 3 points held in memory" <<<"$warnings" ||
      fail "$situation: no warning for the three points held: $(cat "$run/fieldbook.err")"
    ! grep -vP "^Log: cannot save \Q$logs/$name\E: Permission denied; [123] points? held in memory$" <<<"$warnings" |
      grep -vxF "Log: cannot save $logs/$name: Permission denied; 3 points lost as the program ends" ||
      fail "$situation: a warning of another form: $warnings"
    grep -qxF "Log: cannot save $logs/$name: Permission denied; 3 points lost as the program ends" <<<"$warnings" ||
      fail "$situation: the end did not say what was lost: $warnings"
    [ -z "$(ls -A "$logs")" ] || fail "$situation: something was written into the read-only folder"
    continue
  fi
  if [ "$situation" = fresh ]; then
    grep -qF "the program's folder $root/usr/bin/ cannot be written" <<<"$out" ||
      fail "$situation: start-up did not say why: $out"
  fi
  logs_written=("$logs"/??????????.txt)
  [ ${#logs_written[@]} -eq 1 ] && [ -f "${logs_written[0]}" ] || fail "$situation: no single survey log in $logs"
  [ "$(wc -l <"${logs_written[0]}")" -eq 5 ] ||
    fail "$situation: survey log is not two headings and three points: $(cat "${logs_written[0]}")"
done
[ -z "$(ls -A "$root/usr/bin" | grep -v '^fieldbook')" ] || fail "something was written into usr/bin"
echo "package test passed"
