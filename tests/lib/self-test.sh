#!/usr/bin/env bash
# The rules the test command's verdicts rest on, tried on stand-ins: a step
# passes only with its program's closing count (run_counted), a lane only
# with its script's (each_arch); a lane that cannot run is SKIPPED with its
# reason, a failure where NDISFILTER_REQUIRE_32BIT=1; and a missing 32-bit
# loader is told apart from a kernel that cannot execute it (why_no_wine32);
# package sources are read from the machine's apt configuration.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/wine/arch.sh  # each_arch, why_no_wine32; tests/lib/checks.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run_counted. Verdict | the stand-in's exit status | what it prints | the case
while IFS='|' read -r verdict code output what; do
    result=fail
    run_counted "$work/step.out" bash -c 'printf "%b" "$1"; exit "$2"' _ "$output" "$code" \
        >"$work/said" && result=pass
    check "step: $what: $verdict (said: $(tail -n 1 "$work/said"))" test "$result" = "$verdict"
done <<'TABLE'
fail|0||a program that exits 0 and prints nothing
fail|0|started\n|a program that prints no count
fail|0|0 passed, 0 failed\n|a program that counted nothing
fail|0|7 passed, 1 failed\n|a count with failures, exit status 0
fail|1|7 passed, 0 failed\n|a clean count, exit status 1
fail|0|7 passed, 0 failed\nmore output\n|a count that is not the closing line
pass|0|7 passed, 0 failed\n|a clean closing count
pass|0|PASS  one\r\nsoak: 12 passed, 0 failed (3 s)\r\n\n|Wine's line ends, words around the count, a blank line after
TABLE

# each_arch, on a stand-in lane script whose architecture says what it does.
cat >"$work/lane.sh" <<'LANE'
#!/usr/bin/env bash
case $2 in
    silent) exit 0 ;;
    counted) echo "lane: 4 passed, 0 failed" ;;
    failing) echo "lane: 3 passed, 1 failed"; exit 1 ;;
    skipped) echo "SKIPPED: no loader on this stand-in"; exit 77 ;;
esac
LANE
chmod +x "$work/lane.sh"
# Lane | NDISFILTER_REQUIRE_32BIT | each_arch's exit status | its summary line
while IFS='|' read -r lane require code summary; do
    status=0
    NDISFILTER_REQUIRE_32BIT=$require each_arch "stand-in" "$lane" "$work/lane.sh" >"$work/lanes" 2>&1 || status=$?
    check "lane $lane, NDISFILTER_REQUIRE_32BIT=$require: exit status $code" test "$status" = "$code"
    check "lane $lane, NDISFILTER_REQUIRE_32BIT=$require: '$summary'" grep -qF "$summary" "$work/lanes"
done <<'TABLE'
silent|0|1|silent FAIL (exit status 0, but no closing count line
counted|0|0|counted PASS
failing|0|1|failing FAIL,
skipped|0|0|skipped SKIPPED (no loader on this stand-in)
skipped|1|1|skipped FAIL: SKIPPED (no loader on this stand-in), and NDISFILTER_REQUIRE_32BIT=1
TABLE

# why_no_wine32 on stand-in loaders: absent; an ELF this kernel refuses
# (machine type EM_NONE: ENOEXEC, as an i386 program on a kernel without
# 32-bit support); one that fails; one that runs.
cp /bin/true "$work/foreign"
printf '\0\0' | dd of="$work/foreign" bs=1 seek=18 conv=notrunc status=none
printf '#!/bin/sh\necho "wine: could not load ntdll.so" >&2\nexit 1\n' >"$work/failing"
printf '#!/bin/sh\necho wine-8.0\n' >"$work/running"
chmod +x "$work/failing" "$work/running"
# Loader | exit status | what it says
while IFS='|' read -r loader code said; do
    status=0
    out=$(why_no_wine32 "$work/$loader") || status=$?
    check "loader $loader: exit status $code (got $status)" test "$status" = "$code"
    check "loader $loader: '$said' (said: '$out')" test "$out" = "$said"
done <<TABLE
absent|1|Wine's 32-bit half is not installed (no $work/absent; package wine32:i386)
foreign|2|this kernel cannot execute i386 programs ($work/foreign: Exec format error)
failing|3|Wine's 32-bit loader fails: wine: could not load ntdll.so
running|0|
TABLE

# release_sources on a machine's apt configuration: deb822 and one-line
# files; only the release's own suites, enabled, of type deb.
mkdir -p "$work/apt/sources.list.d"
cat >"$work/apt/sources.list.d/machine.sources" <<'SOURCES'
Types: deb deb-src
# a comment between fields
URIs: http://mirror.invalid/debian http://second.invalid/debian
Suites: trixie trixie-updates trixie-backports
Components: main contrib
Signed-By: /usr/share/keyrings/archive.gpg

Types: deb-src
URIs: http://sources-only.invalid/debian
Suites: trixie

Types: deb
URIs: http://disabled.invalid/debian
Suites: trixie
Enabled: no

Types: deb
URIs: http://other-release.invalid/debian
Suites: bookworm
SOURCES
printf '%s\n' '# deb http://commented.invalid/debian trixie main' \
    'deb [arch=amd64 signed-by=/etc/keys/security.gpg] http://security.invalid/debian-security trixie-security main' \
    'deb-src http://security.invalid/debian-security trixie-security main' >"$work/apt/sources.list"
expected='http://mirror.invalid/debian trixie /usr/share/keyrings/archive.gpg main contrib
http://mirror.invalid/debian trixie-updates /usr/share/keyrings/archive.gpg main contrib
http://second.invalid/debian trixie /usr/share/keyrings/archive.gpg main contrib
http://second.invalid/debian trixie-updates /usr/share/keyrings/archive.gpg main contrib
http://security.invalid/debian-security trixie-security /etc/keys/security.gpg main'
source scripts/apt-sources.sh
got=$(APT_SOURCES_DIR=$work/apt release_sources trixie)
check "release_sources: the release's enabled deb entries (got: $got)" test "$got" = "$expected"
check "release_uri: the release's own suite's first URI" \
    test "$(APT_SOURCES_DIR=$work/apt release_uri trixie)" = http://mirror.invalid/debian
check "release_uri: fails for a release the machine has no source for" \
    bash -c 'source scripts/apt-sources.sh; ! APT_SOURCES_DIR=$0 release_uri sid' "$work/apt"

printf 'verdict rules: %d passed, %d failed\n' "$passed" "$failed"
[[ $failed -eq 0 ]]
