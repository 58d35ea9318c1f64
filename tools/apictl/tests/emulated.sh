# Sourced by the end-to-end tests: under a cross build's emulator
# (APICTL_EMULATOR, e.g. qemu-mipsel-static), $apictl and $apisim become
# wrappers in $tmp/bin that run the target's programs through it.
if [ -n "${APICTL_EMULATOR:-}" ]; then
  mkdir "$tmp/bin"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$APICTL_EMULATOR" "$apictl" > "$tmp/bin/apictl"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$APICTL_EMULATOR" "$apisim" > "$tmp/bin/apisim"
  chmod 755 "$tmp/bin/apictl" "$tmp/bin/apisim"
  apictl=$tmp/bin/apictl apisim=$tmp/bin/apisim
fi
