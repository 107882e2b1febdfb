#!/bin/sh
# The manual pages render without a groff warning, oruDiskLib(3) describes
# every function of the public header in the header's order, and the pages of
# the programs (and the nbdkit plugin) name every subcommand, option and
# parameter they accept.
# Usage: check_man_pages.sh SOURCE_DIR [ORUDISK [ORU_PLATFORM_SIM]]
set -u
src=$1
orudisk=${2:-}
sim=${3:-}
man_dir=$src/doc/man
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if ! command -v man >/dev/null 2>&1; then
  echo "man is not installed (man-db): skipping"
  exit 77
fi

# groff's warning class "w" is every warning; "all" leaves out undefined
# macros, the typo most likely in a hand-written page.
for page in "$man_dir"/*.[1-8]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings:
$warnings"
done

# Roff source as plain text: "\-" is the hyphen a reader sees.
plain() { sed 's/\\-/-/g' "$1"; }

header_calls=$(grep -oE '^[A-Za-z_][A-Za-z0-9_ *]*[ *]oruDiskLib_[A-Za-z0-9_]+\(' "$src/include/oruDiskLib.h" |
  grep -oE 'oruDiskLib_[A-Za-z0-9_]+')
page_calls=$(grep -E '^\.SS oruDiskLib_' "$man_dir/oruDiskLib.3" | awk '{print $2}')
[ -n "$header_calls" ] || fail "no function found in include/oruDiskLib.h"
if [ "$header_calls" != "$page_calls" ]; then
  scratch=$(mktemp -d)
  printf '%s\n' "$header_calls" > "$scratch/header"
  printf '%s\n' "$page_calls" > "$scratch/page"
  fail "oruDiskLib.3 does not describe the header's functions in its order (< header, > page):
$(diff "$scratch/header" "$scratch/page")"
  rm -rf "$scratch"
fi
for call in $header_calls; do
  plain "$man_dir/oruDiskLib.3" | grep -q "^\.BI* \"[^\"]*$call(" || fail "oruDiskLib.3: $call missing from the SYNOPSIS"
done

# Every --option a program's help lists must be in its page.
check_options() { # page help-text
  for option in $(printf '%s\n' "$2" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
    plain "$1" | grep -qe "$option" || fail "$(basename "$1") does not mention $option"
  done
}
if [ -n "$orudisk" ]; then
  help=$("$orudisk" --help) || fail "orudisk --help failed"
  check_options "$man_dir/orudisk.1" "$help"
  # CLI11 lists the subcommands, indented, under "Subcommands:".
  commands=$(printf '%s\n' "$help" | sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | awk 'NR > 1 && NF {print $1}')
  [ -n "$commands" ] || fail "no subcommand found in orudisk --help"
  for command in $commands; do
    grep -q "^\.SS \"$command[ \"]" "$man_dir/orudisk.1" || fail "orudisk.1 has no section for '$command'"
    check_options "$man_dir/orudisk.1" "$("$orudisk" "$command" --help)"
  done
fi
# Every key=value the nbdkit plugin's help lists must be in its page.
plugin_help=$(sed -n '/kConfigHelp\[\] =/,/;$/p' "$src/plugins/nbdkit/export_config.cpp")
[ -n "$plugin_help" ] || fail "the nbdkit plugin's parameter help was not found"
for key in $(printf '%s\n' "$plugin_help" | grep -oE '"[a-z][a-z-]*=' | tr -d '"'); do
  plain "$man_dir/nbdkit-oru-plugin.1" | grep -qF -e "$key" || fail "nbdkit-oru-plugin.1 does not mention $key"
done

if [ -n "$sim" ]; then
  check_options "$man_dir/oru-platform-sim.1" "$("$sim" --help 2>&1)"
fi

[ $failed -eq 0 ] && echo "manual pages: all checks passed"
exit $failed
