#!/bin/sh
# Runs a link command (the arguments) and prints all it says but one warning: the one that the
# linker gives for every static program calling getaddrinfo, with the line before it that
# names the calling function. cmake/StaticClient.cmake says why that warning does not apply.
# The status is the link's.
set -u
log=$(mktemp) || exit 1
"$@" 2>"$log"
status=$?
awk '
  /: in function `.*.:$/ { held = $0; next }
  /warning: Using .getaddrinfo. in statically linked applications requires at runtime/ {
    held = ""; next
  }
  { if (held != "") print held; held = ""; print }
  END { if (held != "") print held }
' "$log" >&2
rm -f "$log"
exit "$status"
