#!/bin/sh
# The generated manual page of varn-cli renders without a roff warning, and
# names every option, operation and exit status that --help names; the
# README's exit-status table has a row for each status.
# The README's table must be the one varn-cli-manpage --readme writes.
#   check-manpage.sh MANPAGE VARN-CLI README VARN-CLI-MANPAGE
set -eu
page="$1" cli="$2" readme="$3" tool="$4"
fail() { echo "check-manpage: $*" >&2; exit 1; }

warnings="$(groff -man -ww -z "$page" 2>&1)"
[ -z "$warnings" ] || fail "roff warnings: $warnings"
rendered="$(MANWIDTH=200 man -l "$page" 2>/dev/null)" || fail "man cannot render $page"
help="$(QT_QPA_PLATFORM=offscreen "$cli" --help)"

section() { # the lines of --help between the heading $1 and the next heading
  printf '%s\n' "$help" | awk -v h="$1:" '$0 == h {on = 1; next} /^[A-Z].*:$/ {on = 0} on'
}
options="$(section Options | grep -o -- '--\?-[a-z][a-z0-9-]*' | sort -u)"
operations="$(section Operations | grep -o '^  [a-z][a-z0-9]*' | sort -u)"
statuses="$(section 'Exit status' | grep -o '^  [0-9][0-9]*' | sort -u)"
[ -n "$options" ] && [ -n "$operations" ] && [ -n "$statuses" ] || fail "--help lacks a section"

for o in $options; do
  printf '%s\n' "$rendered" | grep -q -e "$o\b" || fail "manual page lacks $o"
done
for o in $operations; do
  printf '%s\n' "$rendered" | grep -q -e "^ *$o\b" || fail "manual page lacks operation $o"
done
for s in $statuses; do
  printf '%s\n' "$rendered" | grep -q -e "^ *$s\b" || fail "manual page lacks exit status $s"
  grep -q -e "^| $s |" "$readme" || fail "README's exit-status table lacks $s"
done

copy="$(mktemp)"
trap 'rm -f "$copy"' EXIT
cp "$readme" "$copy"
"$tool" --readme "$copy"
diff -u "$readme" "$copy" >&2 ||
  fail "README's exit-status table is not the generated one: cmake --build build --target readme_status_table"
