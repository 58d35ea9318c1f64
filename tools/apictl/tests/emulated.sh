# Sourced by the end-to-end tests: under a cross build's emulator
# (APICTL_EMULATOR, e.g. qemu-mipsel-static), $apictl and $apisim become
# wrappers in $tmp/bin that run the target's programs through it; with
# APICTL_APISIM_NATIVE set, the apisim given is this machine's own.
if [ -n "${APICTL_EMULATOR:-}" ]; then
  mkdir "$tmp/bin"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$APICTL_EMULATOR" "$apictl" > "$tmp/bin/apictl"
  if [ -n "${APICTL_APISIM_NATIVE:-}" ]; then
    printf '#!/bin/sh\nexec %s "$@"\n' "$apisim" > "$tmp/bin/apisim"
  else
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$APICTL_EMULATOR" "$apisim" > "$tmp/bin/apisim"
  fi
  chmod 755 "$tmp/bin/apictl" "$tmp/bin/apisim"
  apictl=$tmp/bin/apictl apisim=$tmp/bin/apisim
fi
