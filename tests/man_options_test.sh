#!/usr/bin/env bash
# Every option that a program's --help lists is in bold in its man page, and so is every
# larkspan-cli command with the options of its own --help.
# Usage: man_options_test.sh MAN_DIR PROGRAM... (MAN_DIR holds the built pages, NAME.1)
set -euo pipefail
man_dir=$1
shift
missing=0
options() { "$@" --help | grep -oE '^ +(-[a-z],)?--[a-z0-9-]+' | grep -oE -- '--[a-z0-9-]+'; }
commands() { "$@" --help | sed -n '/^Subcommands:/,/^$/p' | grep -oE '^  [a-z]+' || true; }
check() {  # PAGE WORD...: each WORD in bold (groff's \fBWORD\fR) in PAGE
  local page=$1 word
  for word in "${@:2}"; do
    grep -qF -- "\\fB$word\\fR" "$page" || { echo "$page lacks $word"; missing=1; }
  done
}
for program in "$@"; do
  page=$man_dir/$(basename "$program").1
  check "$page" $(options "$program")
  for command in $(commands "$program"); do
    check "$page" "$command" $(options "$program" "$command")
  done
done
[ "$missing" = 0 ] && echo "every option and command of --help is in its man page"
