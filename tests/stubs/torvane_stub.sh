#!/bin/sh
# Game stand-in: records its arguments and working directory next to itself.
out="$(dirname "$0")/launched.txt"
{ printf 'cwd=%s\n' "$(pwd)"; for a in "$@"; do printf 'arg=%s\n' "$a"; done; } > "$out"
