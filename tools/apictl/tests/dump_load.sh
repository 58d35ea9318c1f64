#!/usr/bin/env bash
# apictl dump and load against the stand-in daemon apisim, in a private IPC
# namespace: a dump loaded into a fresh daemon dumps the same; a partial
# document changes just its settings; unknown keys and bad values are named,
# the rest applied, status 1; a document that is not one applies nothing and
# never crashes apictl (status 2).
#   dump_load.sh APICTL APISIM
# A cross build runs under its emulator (fixture.sh).
set -u
. "$(dirname "$0")/fixture.sh" --ipc -- "$@"
apictl=$1 apisim=$2
emulate
# dump FILE: a whole dump that must succeed.
dump() {
  run dump
  [ $rc -eq 0 ] && [ ! -s "$tmp/err" ] || fail "dump: status $rc: $(head -c 300 "$tmp/err")"
  cp "$tmp/out" "$1"
}
# changed BEFORE AFTER: the paths whose values differ, one per line.
changed() {
  python3 - "$1" "$2" <<'EOF'
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
EOF
}

# ---- no daemon: status 3 at once, without creating the queues
for command in dump "load $tmp/none.json"; do
  check
  echo '{}' > "$tmp/none.json"
  # shellcheck disable=SC2086
  run $command
  [ $rc -eq 3 ] && grep -q 'no control daemon' "$tmp/err" || fail "$command without a daemon: status $rc: $(cat "$tmp/err")"
done

start_sim --state "$tmp/a.state"

# ---- the document: valid JSON, no key twice, grouped by family, the
# per-channel settings under "channel 0" to "channel 3"
check
dump "$tmp/fresh.json"
python3 - "$tmp/fresh.json" <<'EOF' || fail "the dump's shape"
import json, sys
def no_twice(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), "a key twice: %s" % keys
    return dict(pairs)
doc = json.load(open(sys.argv[1]), object_pairs_hook=no_twice)
families = ["video", "network", "wlan", "ppp", "3g", "ddns", "time", "users", "mail", "ftp", "system", "labels",
            "motion", "io", "ptz", "recording", "sd"]
assert list(doc) == families, list(doc)
assert sorted(k for k in doc["video"] if k.startswith("channel")) == ["channel %d" % c for c in range(4)]
assert doc["video"]["channel 2"]["Hue"] == 128 and "Deinterlace" in doc["video"]["channel 2"]
assert set(doc["network"]["NetConfig"]) == {"ip", "netmask", "gateway"}
assert len(doc["ptz"]["POSITION"]) == 16 and len(doc["motion"]["channel 3"]["MotionRegion"]) == 16
assert len(doc["motion"]["channel 0"]["Mask"]) == 48
# no status values, live values, actions or write-only settings
for family, key in [("ddns", "Status"), ("io", "Value"), ("sd", "SdSize"), ("system", "BufferEmpty"),
                    ("recording", "RecordList"), ("network", "MacAddress"), ("time", "Date")]:
    assert key not in doc[family], (family, key)
EOF
check  # a family or two
run dump ptz sd
[ $rc -eq 0 ] && python3 -c 'import json,sys; assert list(json.load(open(sys.argv[1]))) == ["ptz", "sd"]' "$tmp/out" ||
  fail "dump ptz sd: status $rc $(head -c 200 "$tmp/out")"
check
run dump nosuch
[ $rc -eq 2 ] && grep -q "no family 'nosuch'" "$tmp/err" || fail "dump nosuch: status $rc"

# ---- dump, load into a fresh daemon, dump: the same document. The values
# set first cover every kind: numbers, texts (UTF-8, and bytes that are not),
# records of numbers, several values per setting, entries by index.
sets=(
  "API_Video_SetHue 2 17" "API_Video_SetDeinterlace 1 2 7" "API_Video_SetQP 3 20 40" "API_Video_SetPIRatio 0 -5"
  "API_Video_SetCBRByteRate 1 512000" "API_Video_SetCutPixel 6 16" "API_Video_SetCodeservip 10.0.0.9"
  "API_Net_SetNetConfig 10.1.2.3 255.255.0.0 10.1.0.1" "API_Net_SetDNS 1 9.9.9.9" "API_WLAN_SetWepKey 3 secret"
  "API_WLAN_SetSSID Kamera-Süd✓" "API_SMTP_Set_User $(printf 'u\xff\xfe')" "API_SNTP_Set_Zone GMT+02:00"
  "API_Motion_SetMask 2 $(seq -s, 1 48)" "API_MOD_SetRecordSchedule 1 $(seq -s, 101 124)"
  "API_EVENT_SetMotionRegion 3 15 1 2 300 200" "API_SET_POSITION 7,-100,250" "API_GPIO_Set_Direction 9 1"
  "API_MOD_SetGPIOAlarmLevel 4 1" "API_Set_Inner_Pwd p@ss" "API_MOD_SetSdprestop 3"
)
for s in "${sets[@]}"; do
  check
  # shellcheck disable=SC2086
  run $s
  [ $rc -eq 0 ] || fail "$s: status $rc $(cat "$tmp/err")"
done
check
dump "$tmp/a.json"
[ "$(changed "$tmp/fresh.json" "$tmp/a.json" | wc -l)" -ge ${#sets[@]} ] || fail "the sets do not all show in the dump"
check  # the bytes that are not UTF-8 come back with surrogateescape
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["mail"]["User"].encode("utf-8","surrogateescape") == b"u\xff\xfe"; assert d["wlan"]["SSID"] == "Kamera-Süd✓"' "$tmp/a.json" ||
  fail "texts in the dump: $(grep -E '"(User|SSID)"' "$tmp/a.json")"
stop_sim
start_sim --state "$tmp/b.state"
check
run load "$tmp/a.json"
[ $rc -eq 0 ] && [ ! -s "$tmp/err" ] || fail "load of a dump: status $rc: $(head -c 500 "$tmp/err")"
check
dump "$tmp/b.json"
cmp -s "$tmp/a.json" "$tmp/b.json" || fail "dump, load, dump differs: $(diff "$tmp/a.json" "$tmp/b.json" | head -20)"
check  # from standard input too
run load - < "$tmp/a.json"
[ $rc -eq 0 ] || fail "load - : status $rc"

# ---- a partial document changes only its settings
cat > "$tmp/part.json" <<'EOF'
{"video": {"channel 0": {"Brightness": 3, "QP": {"QP_I": 1, "QP_P": 2}}, "Codetype": 4},
 "network": {"DNS": {"0": "1.1.1.1"}},
 "motion": {"channel 1": {"MotionRegion": {"2": {"Lx": 5, "Ly": 6, "Rx": 7, "Ry": 8}}}},
 "ptz": {"POSITION": {"0": [0, 11, 12]}}, "io": {"Direction": {"3": 1}}, "sd": {}}
EOF
check
run load "$tmp/part.json"
[ $rc -eq 0 ] || fail "partial load: status $rc $(cat "$tmp/err")"
check
dump "$tmp/c.json"
want="io/Direction/3
motion/channel 1/MotionRegion/2/Lx
motion/channel 1/MotionRegion/2/Ly
motion/channel 1/MotionRegion/2/Rx
motion/channel 1/MotionRegion/2/Ry
network/DNS/0
ptz/POSITION/0
video/Codetype
video/channel 0/Brightness
video/channel 0/QP/QP_I
video/channel 0/QP/QP_P"
got=$(changed "$tmp/b.json" "$tmp/c.json")
[ "$got" = "$want" ] || fail "the partial load changed: $got"

# ---- unknown keys and bad values: each named, the rest applied, status 1
cat > "$tmp/bad.json" <<'EOF'
{"video": {"channel 1": {"Hue": 300, "Hew": 1, "Saturation": 77}, "Hue": 1, "channel 4": {},
           "channel 2": {"QP": {"QP_I": 5, "QP_P": 6, "QP_B": 7}},
           "Codetype": 99999999999999999999999999999999999999, "CutPixel": {"8": 1, "2": 33}},
 "vidoe": {}, "wlan": {"SSID": ["x"], "Channel": "eleven", "TXRate": 5, "WepKey": {"0": "k"}},
 "network": {"NetConfig": {"ip": "10.0.0.1"}, "DNS": {"1": ""}},
 "ptz": {"POSITION": {"1": [2, 0, 0]}, "Speed": 1.5},
 "motion": {"channel 0": {"Mask": [1, 2], "Deinterlace": 1, "Sensitivity": 9}},
 "users": {"Inner_User": "a\u0000b"}}
EOF
check
run load "$tmp/bad.json"
[ $rc -eq 1 ] || fail "bad document: status $rc, not 1"
for want in "video/channel 1/Hue: .*300 is out of range" "video/channel 1/Hew: no such setting" \
  "video/Hue: a setting per channel" "video/channel 4: no such entry: channels 0 to 3" \
  "video/Codetype: .*out of range" "video/CutPixel/8: no such entry: entries 0 to 7" "vidoe: no such family" \
  "wlan/SSID: expects a text" "wlan/Channel: expects a number" \
  "wlan/WepKey/0: no such entry: entries 1 to 4" "network/NetConfig: its value 'netmask' is missing" \
  "network/DNS/1: .*failure value" "ptz/POSITION/1: its first number must be the entry's own \(1\)" \
  "ptz/Speed: .*not an integer: '1.5'" "motion/channel 0/Mask: .*expects 48 comma-separated integers" \
  "motion/channel 0/Deinterlace: no such setting" "users/Inner_User: a text may not contain a NUL byte" \
  "video/channel 2/QP: has values that it does not take"; do
  check
  grep -qE "^apictl: load: $want" "$tmp/err" || fail "bad document: no /$want/ in: $(head -c 2000 "$tmp/err")"
done
check
[ "$(wc -l < "$tmp/err")" -eq 18 ] || fail "bad document: $(wc -l < "$tmp/err") lines of errors, not 18"
check
dump "$tmp/d.json"
got=$(changed "$tmp/c.json" "$tmp/d.json")
[ "$got" = "motion/channel 0/Sensitivity
video/CutPixel/2
video/channel 1/Saturation
wlan/TXRate" ] || fail "the bad document applied: $got"

# ---- hostile documents: status 2, one line saying why, nothing applied
deep=$(printf '%0.s[' $(seq 5000))
cases=(
  '{"video": {"channel 1": {"Hue": 3}|the document ends early'
  '{"video": {"Codetype": 1,|the document ends early'
  '{"wlan": {"SSID": "abc|the text does not end'
  "$deep|nested deeper than 16"
  "{\"a\":$(printf '%0.s{"a":' $(seq 20))|nested deeper than 16"
  "$(printf '{"wlan": {"SSID": "\xff"}}')|not UTF-8"
  "$(printf '{"wlan": {"SSID": "\xc3"}}')|not UTF-8"
  "$(printf '{"wlan": {"SSID": "\xed\xa0\x80"}}')|not UTF-8"
  '{"wlan": {"SSID": "\ud800"}}|a lone surrogate'
  '{"wlan": {"SSID": "\udc41"}}|a lone surrogate'
  '{"wlan": {"SSID": "\u12"}}|four hexadecimal digits'
  '{"wlan": {"SSID": "\q"}}|an unknown escape'
  "$(printf '{"wlan": {"SSID": "a\tb"}}')|a control character"
  '{"video": {"Codetype": -}}|not a number'
  '{"video": {"Codetype": 01}}|a .,. or .}. is missing'
  '{"video": {"Codetype": tru}}|not a value'
  '{video: 1}|a member needs a quoted name'
  '{"video" 1}|a .:. is missing'
  '{} {}|more after the document'
  '|the document ends early'
  '[1, 2]|expects an object of families'
)
for case in "${cases[@]}"; do
  check
  printf '%s' "${case%|*}" > "$tmp/hostile.json"
  run load "$tmp/hostile.json"
  [ $rc -eq 2 ] && [ "$(wc -l < "$tmp/err")" -eq 1 ] && grep -qE "not a settings document: .*${case##*|}" "$tmp/err" ||
    fail "hostile '${case:0:60}': status $rc: $(head -c 300 "$tmp/err")"
done
# Sizes past the bounds: values, bytes, digits.
python3 - "$tmp" <<'EOF'
import sys
t = sys.argv[1]
open(t + "/many.json", "w").write('{"video": {"CutPixel": [' + ",".join(["0"] * 9000) + "]}}")
open(t + "/huge.json", "w").write('{"video": {"Codetype": "' + "x" * (1 << 20) + '"}}')
open(t + "/digits.json", "w").write('{"video": {"Codetype": ' + "9" * 500000 + "}}")
EOF
for case in "many|more than 8191 values|2" "huge|larger than 1 MiB|2" "digits|too long|1"; do
  IFS='|' read -r file want status <<< "$case"
  check
  run load "$tmp/$file.json"
  [ $rc -eq "$status" ] && grep -q "$want" "$tmp/err" || fail "$file: status $rc: $(head -c 300 "$tmp/err")"
done
check
dump "$tmp/e.json"
cmp -s "$tmp/d.json" "$tmp/e.json" || fail "a hostile document changed something: $(changed "$tmp/d.json" "$tmp/e.json")"
check
run load
[ $rc -eq 2 ] && grep -q 'expects one FILE' "$tmp/err" || fail "load without FILE: status $rc"
check
run load "$tmp/no/such.json"
[ $rc -eq 2 ] && grep -q 'cannot read' "$tmp/err" || fail "load of a missing file: status $rc"

finish
