#!/bin/bash
# The man pages render without a warning in mandoc and groff.
set -u
status=0
for page in "$1"/man/*.[0-9]; do
    out=$( { mandoc -T lint -W warning "$page"; groff -ww -mandoc -z "$page"; } 2>&1 |
        grep -v 'mandoc.db')
    if [ -n "$out" ]; then
        echo "$page:"; echo "$out"
        status=1
    fi
done
exit $status
