#!/bin/sh
# help-for-man.sh PROGRAM ARGS...: runs PROGRAM ARGS and rewrites a usage block of the form
#   Usage:
#     prog ONE ...
#                [continued]
#     prog TWO ...
# into the "Usage: prog ONE ...", "  or:  prog TWO ..." lines help2man reads as the synopsis.
# Other output passes unchanged.
program="$1"
shift
"$program" "$@" | awk '
  /^Usage:$/ { usage = 1; first = 1; next }
  usage && /^  [^ ]/ {
    if (line != "") print line
    sub(/^  /, "")
    line = (first ? "Usage: " : "  or:  ") $0
    first = 0
    next
  }
  usage && /^   +/ { sub(/^ +/, " "); line = line $0; next }
  usage { if (line != "") print line; usage = 0; line = "" }
  { print }
  END { if (line != "") print line }'
