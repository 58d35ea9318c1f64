#!/usr/bin/env python3
"""Calls every exported name through apictl against the running stand-in,
with arguments made from what `apictl list --json` says of its parameters
(unless a row below gives them). Each call must exit 0 and print one JSON
object whose outputs are exactly the parameters the operation writes (the
texts some of them print are in e2e.expected). Prints what failed.
  call_all.py APICTL TMPDIR CLOCK_INTERPOSER"""
import json
import os
import socket
import struct
import subprocess
import sys

apictl, tmp, clock_so = sys.argv[1:4]


def run(args, env=None, pass_fds=()):
    return subprocess.run([apictl, "--timeout", "10"] + args, capture_output=True, timeout=30,
                          env=env, pass_fds=pass_fds)


def text_of(args):
    return run(args).stdout.decode().strip()


sem_snap, sem_motion, sem_api = (text_of([n]) for n in ("SemSnapShotInit", "SemMotionHandleInit", "SemAPIInit"))
run(["SemSnapShotPost", sem_snap])
run(["SemMotionHandlePost", sem_motion])
# A route message: nlmsghdr (36 bytes, RTM_NEWROUTE), rtmsg (IPv4, main table,
# unicast) and an RTA_GATEWAY of 10.1.2.254.
route_msg = "2400000018000000000000000000000002000000fe00000100000000080005000a0102fe"

ARGS = {
    "SemAPIGet": [sem_api], "SemAPIPost": [sem_api], "SemSnapShotGet": [sem_snap], "SemSnapShotPost": [sem_snap],
    "SemMotionHandleGet": [sem_motion], "SemMotionHandlePost": [sem_motion],
    "API_NET_GetState": ["d0"], "API_Net_GetIP": ["-", "d0"], "API_Net_GetNetMask": ["-", "d0"],
    "API_Net_GetMac": ["-", "d0"], "API_Net_GetGateWay": ["-", "d0"], "API_SNTP_Set_Date": ["2024-03-07"],
    "API_SNTP_Set_Time": ["07:05:03"], "API_SNTP_Set_Zone": ["PST+8"], "sntp_timezone": ["5", "-", "0"],
    "WriteLogFile": [tmp + "/log.txt", "hello"], "AuthSlim": ["a:b:1", "-", "-", "-"],
    "API_Net_SetNetConfig": ["10.0.0.2", "255.255.255.0", "10.0.0.1"], "parseRoutes": [route_msg, "-", "-"],
}
ELEMENT = {"unsigned char*": 1, "int*": 4, "POSITION_T*": 4}


def made_args(entry):
    args = []
    for p in entry["params"]:
        if p["dir"] == "out":
            args.append("-")
        elif p["type"] == "POSITION_T":
            args.append("1,2,3")
        elif p.get("text"):
            args.append("desk" if p.get("size", 99) > 4 else "d")
        elif "records_counted_by" in p:
            args.append("1,2")  # the count before it is 1
        elif p["type"] in ELEMENT:
            args.append(",".join(["1"] * (p["size"] // ELEMENT[p["type"]])))
        else:
            args.append("1")
    return args


listing = json.loads(subprocess.run([apictl, "list", "--json"], capture_output=True, check=True).stdout)
bad = []
for entry in listing:
    name = entry["name"]
    args = ARGS.get(name) or ([] if "data" in entry else made_args(entry))
    env = dict(os.environ)
    if name.startswith("API_SNTP_Set_"):
        env.update(LD_PRELOAD=clock_so, APICTL_CLOCK_LOG=tmp + "/clock.log")
    if name == "readNlSock":
        # A netlink socket with a route dump asked for, handed to the operation.
        s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
        s.bind((0, 0))
        s.send(struct.pack("=IHHII", 28, 26, 0x301, 7, os.getpid()) + bytes([2]) + bytes(11))
        args = [str(s.fileno()), "-", "7", str(os.getpid())]
        r = run(["--json", name] + args, pass_fds=(s.fileno(),))
        s.close()
    else:
        r = run(["--json", name] + args, env=env)
    out = r.stdout.decode(errors="replace")
    # A C library without crypt (Debian's musl): CryptPassword says so with null.
    if name == "CryptPassword" and os.environ.get("APICTL_NO_CRYPT") and r.returncode == 1 \
            and '"result":null' in out:
        continue
    if r.returncode != 0:
        bad.append("%s %s: status %d: %s %s" % (name, " ".join(args)[:80], r.returncode, out[:200],
                                                 r.stderr.decode(errors="replace")[:200]))
        continue
    try:
        d = json.loads(out)
        assert out.count("\n") == 1 and d["name"] == name and "result" in d, "shape"
        written = [p["name"] for p in entry.get("params", []) if p["dir"] != "in"]
        assert list(d["outputs"]) == written, "outputs %s, parameters written %s" % (list(d["outputs"]), written)
    except Exception as e:  # noqa: BLE001 - any fault of the object is reported
        bad.append("%s: bad JSON %r (%s)" % (name, out[:200], e))
if len(listing) != 375:
    bad.append("list --json gave %d names, not 375" % len(listing))
print("\n".join(bad)) if bad else None
print("%d names called" % len(listing))
sys.exit(1 if bad else 0)
