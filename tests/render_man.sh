#!/bin/sh
# Renders each manual page given and fails on any groff warning or error.
status=0
for page in "$@"; do
    out=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || status=1
    if [ -n "$out" ]; then
        printf '%s:\n%s\n' "$page" "$out"
        status=1
    fi
done
exit $status
