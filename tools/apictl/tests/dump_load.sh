#!/usr/bin/env bash
# apictl dump and load against the stand-in daemon apisim, in a private IPC
# namespace; the commands and what they must print are the reviewed
# transcript dump_load.expected: a dump loaded into a fresh daemon dumps the
# same; a partial document changes just its settings; unknown keys and bad
# values are named, the rest applied, status 1; a document that is not one
# applies nothing and never crashes apictl (status 2).
#   dump_load.sh APICTL APISIM
# A cross build runs under its emulator (fixture.sh).
set -u
. "$(dirname "$0")/fixture.sh" --ipc -- "$@"
apictl=$1 apisim=$2
emulate
# outline FILE: a dump's families, one a line, with their keys (no key may
# come twice): {K...} an object, [N] a list of N values, {E,...:X} entries.
outline() {
  python3 - "$1" <<'PY'
import json, sys
def no_twice(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), "a key twice: %s" % keys
    return dict(pairs)
def outline(v):
    if isinstance(v, list):
        return "[%d]" % len(v)
    if not isinstance(v, dict):
        return ""
    if v and all(k.isdigit() for k in v):
        return "{%s:%s}" % (",".join(v), outline(next(iter(v.values()))))
    return "{%s}" % " ".join(k + outline(x) for k, x in v.items())
for family, v in json.load(open(sys.argv[1]), object_pairs_hook=no_twice).items():
    print(family + ": " + outline(v)[1:-1])
PY
}
# changed BEFORE AFTER: the paths whose values differ, one per line.
changed() {
  python3 - "$1" "$2" <<'PY'
import json, sys
def flat(v, path, out):
    if isinstance(v, dict):
        for k, x in v.items(): flat(x, path + [k], out)
    else:
        out["/".join(path)] = v
a, b = ({}, {})
flat(json.load(open(sys.argv[1])), [], a)
flat(json.load(open(sys.argv[2])), [], b)
for k in sorted(set(a) | set(b)):
    if a.get(k) != b.get(k): print(k)
PY
}
transcript "$(dirname "$0")/dump_load.expected"
finish
