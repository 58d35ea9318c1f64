#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*:
one well-formed exchange per reply kind and request encoding, the operations
written by hand, a failing step and stale replies; a valid message for the
parsers. The fuzzer grows the corpus from these (scripts/fuzz.sh).

    fuzz/make_seeds.py REPLAY_OPS_PROGRAM   (for the order of the operations)
"""
import os
import struct
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
names = subprocess.run([sys.argv[1], "--list"], capture_output=True, text=True, check=True).stdout.split()


def write(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def num(v):  # Input::number: one byte for -32..95 (as int8), else 0xE0 + int16
    return [v & 0xFF] if -32 <= v < 96 else [0xE0] + list(struct.pack("<h", v))


def text(s):  # fuzz_text: present, short length, bytes
    b = s.encode()
    assert len(b) < 64
    return [0, len(b)] + list(b)


def reply(data=b"", plan=0):  # one answer, full size, zero fill
    assert len(data) < 64
    return [plan, len(data)] + list(data)


def op(name, args=(), replies=(), fault=(0,), stale=0):
    i = names.index(name)
    out = list(struct.pack("<H", i)) + list(fault) + [stale]
    for a in args:
        out += a
    for r in replies:
        out += r
    return out


OUT = [0]  # an output buffer that is there
i32 = lambda v: list(struct.pack("<i", v))

ops = {
    "ack": op("API_Video_SetFrequency", [num(1), num(50)], [reply()]),
    "byte": op("API_Video_GetFrequency", [num(1)], [reply(b"\x3c")]),
    "sbyte": op("API_GPIO_Get_Value", [num(3)], [reply(b"\xff")]),
    "int": op("API_Video_GetCodetype", [], [reply(struct.pack("<i", -123456))]),
    "decimal": op("API_Net_HttpGetPort", [], [reply(b"8080\0")]),
    "text": op("API_WLAN_GetSSID", [OUT], [reply(b"camera-ssid\0")]),
    "text1": op("API_Net_GetDNS", [num(1), OUT], [reply(b"192.168.1.1\0")]),
    "block": op("API_Motion_GetMask", [num(2), OUT], [reply(bytes(range(48)))]),
    "ack1m1": op("API_Video_SetCodeservip", [text("10.0.0.2")], [reply()]),
    "ack0m1": op("API_SET_POSITION", [list(range(12))], [reply()]),
    "format": op("API_Video_SetQP", [num(1), num(20), num(30)], [reply()]),
    "dec": op("API_Video_SetPIRatio", [num(2), num(-5)], [reply()]),
    "copy": op("API_WLAN_SetSSID", [text("my network")], [reply()]),
    "str": op("API_SNTP_Set_Zone", [text("CCT-8")], [reply()]),
    "raw": op("API_MOD_SetSdLock", [num(1)], [reply()]),
    "chanblock": op("API_MOD_SetRecordSchedule", [num(1), [0] + list(range(96))], [reply()]),
    "inout": op("API_GET_POSITION", [[0] + list(range(12))], [reply(bytes(range(20, 32)))]),
    "hand-pi": op("API_Video_GetPIRatio", [[1]], [reply(b"25\0")]),
    "hand-deinterlace": op("API_Video_GetDeinterlace", [[0], OUT], [reply(b"\x01\x07")]),
    "hand-qp": op("API_Video_GetQP", [[0], OUT, OUT], [reply(b"20,30\0")]),
    "hand-snapshot": op("API_Video_SetJPGSnapShot", [[0], [0x40, 0x00, 0x10], OUT], [reply()]),
    "hand-fixip": op("API_Net_GetFixIP", [OUT], [reply(b"192.168.0.10\0")]),
    "hand-netconfig": op("API_Net_SetNetConfig", [text("10.0.0.2"), text("255.0.0.0"), text("10.0.0.1")], [reply()]),
    "hand-mapstatus": op("API_Linkway_GetMapStatus", [OUT], [reply(b"1\0")]),
    "hand-zone": op("API_SNTP_Get_Zone", [OUT], [reply(b"CCT-8 more words\0")]),
    "hand-byname": op("API_USER_GetUserInfoByName", [text("admin"), OUT, OUT], [reply(b"admin:secret:3\0")]),
    "hand-byid": op("API_USER_GetUserInfoByID", [num(1), OUT, OUT, OUT], [reply(b"admin:secret:3\0")]),
    "hand-sendtext": op("API_SMTP_Send_Text", [text("subject"), text("content")], [reply()]),
    "hand-port": op("API_Net_FTPGetCommandPort", [], [reply(b"2121\0")]),
    "hand-region": op("API_EVENT_GetMotionRegion", [num(0), num(3), OUT, OUT, OUT, OUT], [reply(b"1,2,3,4\0")]),
    "hand-gpioout": op("API_MOD_SetGPIOValueOut", [num(4), num(1)], [reply(), reply()]),
    "hand-setlist": op("API_MOD_SetRecordList", [num(1), [30], [0] + list(range(64))], [reply()] * 4),
    "hand-getlist": op("API_MOD_GetRecordList", [num(1), OUT, OUT],
                       [reply(struct.pack("<i", 30))] + [reply(bytes(range(60)))] * 3),
    # A failing step (the receive, EINTR), stale replies before the send, an
    # answer that is late, one that comes twice, one too long.
    "fault-recv": op("API_Video_GetHue", [num(1)], [reply(b"\x10")], fault=(7, 0, 0)),
    "fault-wait": op("API_Video_GetHue", [num(1)], [], fault=(3, 0, 0)),
    "stale": op("API_Video_GetHue", [num(1)], [reply(b"\x10")], stale=176 + 3),
    "stale-65": op("API_Video_GetHue", [num(1)], [reply(b"\x10")], stale=176 + 65),
    "late-twice": op("API_Video_GetHue", [num(1)], [reply(plan=0xE0)]) +
                  op("API_Video_GetHue", [num(2)], [reply(b"\x20", plan=0x80)]) +
                  op("API_Video_GetHue", [num(3)], [reply(b"\x30")]),
    "too-long": op("API_Video_GetHue", [num(1)], [[0x04] + list(struct.pack("<H", 2030)) + [0]]),
}
for k, v in ops.items():
    write("ops", k, v)

write("authslim", "account", b"\0admin:se:cret:3")
write("authslim", "none", b"\0none")
write("timezone", "number", [0] + num(8))
write("timezone", "text", [0x80, 0] + list(b"PST+8"))
write("timezone", "table", [0x81, 5, 0] + text("MST-7  (rewritten)") + [0] + list(b"MST"))


def rtattr(kind, payload):
    return list(struct.pack("<HH", 4 + len(payload), kind)) + list(payload)


route = [2, 0, 0, 0, 254, 3, 0, 1] + list(struct.pack("<I", 0))  # rtmsg: inet, main table
route += rtattr(1, bytes(4)) + rtattr(5, bytes([192, 168, 1, 1])) + rtattr(4, struct.pack("<I", 2))
msg = list(struct.pack("<IHHII", 16 + len(route), 24, 2, 1, 0)) + route
write("routes", "default-route", [0] + msg)

# A dump of one route and its done message, as two datagrams (sequence 0,
# this process's pid, multipart).
dgram_route = [0x00, 0x10 | 0x40, 0, 0, 0, 0, 0x01 | 0x02 | (3 << 2), 0] + [0] * 4 + [1] + [192, 168, 1, 1] + [2] + [2, 0, 0, 0]
dgram_done = [0x00, 0x01 | 0x10 | 0x40, 0, 0, 0, 0]
write("netlink", "gateway", [0x01] + dgram_route + dgram_done)
write("netlink", "reader", [0x0C] + dgram_route + dgram_done)

iface = lambda how, name_bytes=None: [how] + (name_bytes or []) + [0x34, 0x12] + [0, 255, 255, 255] + [2, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]
ifaces = [2] + iface(0) + iface(2)  # eth0 and ppp0 up, 192.168.1.20
write("local", "state", [0, 0, 0] + ifaces + text("eth0"))
write("local", "address", [0, 1, 0] + ifaces + text("eth0") + [0])
write("local", "mac", [0, 3, 0] + ifaces + text("eth0") + [0])
write("local", "vpn", [0, 5, 0] + ifaces + [0])
write("local", "date", [2, 0, 0])
write("local", "set-time", [2, 3] + text("12:30:05"))
write("local", "crypt", [3, 1] + text("secret"))
write("local", "log", [3, 0, 0] + text("camera started"))

# The stand-in daemon: the first ordinary operation with an empty payload
# (the fuzzer finds the others from there).
write("apisim", "first-op", [0, 0, 0])
