#!/usr/bin/env bash
# Fails when any given binary needs a libav*/libsw* library at load time.
set -u
status=0
[ "$#" -gt 0 ] || { echo "no binaries given" >&2; exit 1; }
for bin in "$@"; do
  if ! readelf -d "$bin" >/dev/null 2>&1; then
    echo "cannot read $bin" >&2; status=1; continue
  fi
  linked=$(readelf -d "$bin" | grep -E 'NEEDED.*\[lib(av|sw)[a-z]*\.so' || true)
  if [ -n "$linked" ]; then
    echo "$bin links the media libraries:" >&2; echo "$linked" >&2; status=1
  else
    echo "ok: $bin"
  fi
done
exit $status
