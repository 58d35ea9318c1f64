#!/usr/bin/env python3
"""The gateway through a real web server: gateway_cases.py URL SERVER STATE_DIR APICTL [CA_FILE]

SERVER is "lighttpd" (passes Authorization, TLS) or "busybox" (passes no
Authorization: sessions travel in X-Apiweb-Session). Prints one line per
failed check and "N passed, N failed" last; exits 1 on a failure."""
import base64, glob, http.client, json, os, ssl, subprocess, sys, urllib.parse

url, server, state, apictl = sys.argv[1:5]
ca = sys.argv[5] if len(sys.argv) > 5 else None
u = urllib.parse.urlsplit(url)
basic_passed = server == "lighttpd"
passed = failed = 0
bodies = []  # every response, for the leak checks
# The reviewed tables: "errors", requests with the JSON-RPC error code and
# data.param they get; "access", methods with the least role that may call
# them (null: nobody).
table = json.load(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "gateway_cases.json")))
SECRETS = ["Adm1n-Secret-pw", "View-Secret-pw", "Op-Secret-pw", "Smtp-Secret-pw"]


def check(ok, name, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL [{server}] {name} {str(detail)[:300]}")


def send(method, path, body=None, headers=None, raw=None):
    conn = (http.client.HTTPSConnection(u.hostname, u.port, context=ssl.create_default_context(cafile=ca), timeout=30)
            if u.scheme == "https" else http.client.HTTPConnection(u.hostname, u.port, timeout=30))
    h = {"Host": u.netloc}
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    if data is not None:
        h["Content-Type"] = "application/json"
    h.update(headers or {})
    conn.request(method, "/cgi-bin/apiweb" + path, body=data, headers=h)
    r = conn.getresponse()
    payload = r.read()
    bodies.append(payload)
    conn.close()
    return r.status, dict((k.lower(), v) for k, v in r.getheaders()), payload


def auth_headers(who):
    if isinstance(who, str):
        return {"X-Apiweb-Session": who}
    return {"Authorization": "Basic " + base64.b64encode(f"{who[0]}:{who[1]}".encode()).decode()} if who else {}


def rpc(method, params=None, who=None, id=1, headers=None):
    req = {"jsonrpc": "2.0", "method": method, "id": id}
    if params is not None:
        req["params"] = params
    status, h, payload = send("POST", "/rpc", req, {**auth_headers(who), **(headers or {})})
    return status, json.loads(payload) if payload else None


def login(user, password):
    status, h, payload = send("POST", "/rpc", {"jsonrpc": "2.0", "method": "session.login",
                                               "params": {"user": user, "password": password}, "id": 1})
    return status, h, json.loads(payload)


def apictl_out(*args):
    return subprocess.run([apictl, *args], capture_output=True, text=True).stdout


# ---- sessions and accounts ----
# The factory admin (admin/admin, kept in plain text by the daemon) logs in,
# then gets a password the gateway stores as a crypt hash.
status, h, answer = login("admin", "admin")
check(status == 200 and answer["result"]["role"] == "admin", "factory admin logs in", answer)
cookie = h.get("set-cookie", "")
check(all(f in cookie for f in ("HttpOnly", "SameSite=Strict", "Max-Age=3600")) and ("Secure" in cookie) == (u.scheme == "https"),
      "session cookie flags", cookie)
admin = answer["result"]["token"]
# Where the C library has no crypt (Debian's musl) the gateway refuses to
# store a password; the accounts are then made with apictl, in plain text.
no_crypt = os.environ.get("APIWEB_NO_CRYPT") == "1"
for user, level, pw in (("viewer1", 1, SECRETS[1]), ("oper1", 2, SECRETS[2])):
    apictl_out("API_USER_SetDelUser", user)
    status, a = rpc("API_USER_SetAddUser", {"Level": level, "User": user, "Password": pw}, admin)
    if no_crypt:
        check(a.get("error", {}).get("code") == -32603, f"no crypt: {user} not added", a)
        apictl_out("API_USER_SetAddUser", str(level), user, pw)
    else:
        check(a.get("result", {}).get("result") == 1, f"add {user}", a)
status, a = rpc("API_USER_SetChangePassword", {"User": "admin", "NewPassword": SECRETS[0]}, admin)
if no_crypt:
    apictl_out("API_USER_SetChangePassword", "admin", SECRETS[0])
stored = apictl_out("API_USER_GetUserInfoByName", "admin", "-", "-")
check(no_crypt or a.get("result") and ("$y$" in stored or "$6$" in stored), "the gateway stores a crypt hash", stored)
check(login("admin", "admin")[0] == 401 and login("admin", SECRETS[0])[0] == 200, "the hash logs in, the old password not")
viewer = login("viewer1", SECRETS[1])[2]["result"]["token"]
oper = login("oper1", SECRETS[2])[2]["result"]["token"]
who_basic = ("admin", SECRETS[0])
status, a = rpc("session.whoami", who=who_basic)
if basic_passed:
    check(status == 200 and a["result"]["role"] == "admin", "HTTP Basic", a)
    check(rpc("session.whoami", who=("admin", "wrong"))[0] == 401, "HTTP Basic, wrong password: 401")
else:
    check(status == 401, "busybox passes no Authorization: 401 without a session", a)
check(rpc("session.whoami", who=None)[1]["error"]["code"] == -32001, "no credentials: -32001")
check(send("POST", "/rpc", {"jsonrpc": "2.0", "method": "session.whoami", "id": 1}, {"Cookie": "apiweb_session=" + viewer})[0] == 200,
      "the session cookie authenticates")

# ---- calls, batches, errors ----
status, a = rpc("API_Video_SetHue", {"channel": 1, "Hue": 77}, oper)
check(a.get("result", {}).get("result") == 1 and apictl_out("API_Video_GetHue", "1").strip() == "77", "a set reaches the daemon", a)
check(rpc("API_Video_GetHue", [1], viewer)[1]["result"]["result"] == 77, "params by position")
long_name = {"jsonrpc": "2.0", "method": "API_VELDA_SetCameraName", "params": {"name": "x" * 5000}, "id": 1}
for req, code, param in table["errors"] + [[long_name, -32602, "name"]]:
    status, h, payload = send("POST", "/rpc", req, auth_headers(admin))
    a = json.loads(payload)
    ok = a.get("error", {}).get("code") == code and (param is None or a["error"].get("data", {}).get("param") == param)
    check(ok and status == 200, f"error {code} for {json.dumps(req)[:80]}", a)
batch = [{"jsonrpc": "2.0", "method": "API_Video_GetHue", "params": [i % 4], "id": i} for i in range(100)]
status, h, payload = send("POST", "/rpc", batch, auth_headers(viewer))
answers = json.loads(payload)
check(len(answers) == 100 and sorted(x["id"] for x in answers) == list(range(100)) and all("result" in x for x in answers),
      "a batch of 100", payload[:200])
status, h, payload = send("POST", "/rpc", [{"jsonrpc": "2.0", "method": "API_Video_SetHue", "params": [2, 9]},
                                            {"jsonrpc": "2.0", "method": "API_Video_GetHue", "params": [2], "id": "g"}], auth_headers(oper))
check(json.loads(payload) == [{"jsonrpc": "2.0", "result": {"result": 9, "outputs": {}}, "id": "g"}], "a notification is not answered", payload)
check(send("POST", "/rpc", {"jsonrpc": "2.0", "method": "API_Video_SetHue", "params": [2, 9]}, auth_headers(oper))[0] == 204, "notifications only: 204")
for body, name in ((batch * 3, "a batch of 300"), ([], "an empty batch")):
    check(json.loads(send("POST", "/rpc", body, auth_headers(viewer))[2])["error"]["code"] == -32600, name)
status, a = rpc("API_Video_GetHue", [0], viewer)
subprocess.run([apictl, "sim", "drop", "API_Video_GetHue"], capture_output=True)
status, a = rpc("API_Video_GetHue", [0], viewer)
check(a.get("error", {}).get("code") == -32003, "a daemon that does not answer: -32003", a)
subprocess.run([apictl, "sim", "clear"], capture_output=True)
subprocess.run([apictl, "sim", "fail", "API_Net_HttpGetPort"], capture_output=True)
status, a = rpc("API_Net_HttpGetPort", [], viewer)
check(a.get("error", {}).get("code") == -32010 and a["error"]["data"] == {"result": -1}, "a failure value: -32010", a)
subprocess.run([apictl, "sim", "clear"], capture_output=True)

# ---- the access table, row by row: the roles that may call ----
catalog = {e["name"]: e for e in rpc("rpc.catalog", None, admin)[1]["result"]}
check("SemAPIGet" not in catalog and "API_Video_SetHue" in catalog, "the catalog lists what the caller may call")
check(not any(e["name"] == "API_Video_SetHue" for e in rpc("rpc.catalog", {"pattern": "Video_Set"}, viewer)[1]["result"]),
      "a viewer's catalog leaves the sets out")


def sample(p):
    if p.get("text"):
        return "x"
    n = p.get("size", 4) // (1 if p["type"] == "unsigned char*" else 4)
    v = max(p.get("min", 0), min(1, p.get("max", 1)))
    return [v] * (3 if p["type"] == "POSITION_T" else n) if p["type"] in ("unsigned char*", "int*", "POSITION_T") and n != 1 else v


full = {e["name"]: e for e in json.loads(subprocess.run([apictl, "list", "--json"], capture_output=True, text=True).stdout)}
ranks = {"viewer": 1, "operator": 2, "admin": 3}
for method, least in table["access"]:  # the roles that may call: least role, or none
    e = full.get(method)
    params = [sample(p) for p in e["params"] if p["dir"] != "out"] if e and "params" in e else None
    if method == "API_Net_HttpSetPort":
        params = [8080]
    if method == "settings.load":
        params = {"document": {}}
    for role, token in (("viewer", viewer), ("operator", oper), ("admin", admin)):
        code = rpc(method, params, token)[1].get("error", {}).get("code")
        allowed = least is not None and ranks[role] >= ranks[least]
        check((code != -32002) == allowed and code not in (-32001, -32601), f"access {method} as {role}", code)
check(apictl_out("API_Net_HttpGetPort").strip() == "8080", "the HTTP port setting through the gateway")

# ---- snapshot ----
status, h, jpeg = send("GET", "/snapshot?channel=0", headers=auth_headers(viewer))
check(status == 200 and h.get("content-type") == "image/jpeg" and jpeg[:2] == b"\xff\xd8", "snapshot", (status, jpeg[:40]))
check(send("GET", "/snapshot?channel=0")[0] == 401 and send("GET", "/snapshot?channel=9", headers=auth_headers(viewer))[0] == 400,
      "snapshot: 401 without an account, 400 for a channel out of range")

# ---- dump and load: secrets null, a dump loads back unchanged ----
rpc("API_SMTP_Set_Password", [SECRETS[3]], admin)
status, a = rpc("settings.dump", None, viewer)
doc = a["result"]
check(doc["mail"]["Password"] is None and doc["video"]["channel 1"]["Hue"] == int(apictl_out("API_Video_GetHue", "1")), "dump: secrets null", doc.get("mail"))
status, a = rpc("settings.load", {"document": doc}, admin)
check(a.get("result", {}).get("failed") == [] and a["result"]["applied"] > 300, "the dump loads back", str(a)[:300])
check(apictl_out("API_SMTP_Get_Password", "-").split()[-1] == SECRETS[3], "null leaves the password unchanged")
status, a = rpc("settings.load", {"document": {"video": {"channel 0": {"Hue": 300, "Contrast": 5}}}}, admin)
check(a["result"]["applied"] == 1 and a["result"]["failed"][0]["path"] == "video/channel 0/Hue", "load names a failed setting", a)
check(rpc("settings.load", {"document": [1]}, admin)[1]["error"]["code"] == -32602, "load: not a document")
check(rpc("settings.dump", {"families": ["nope"]}, viewer)[1]["error"]["code"] == -32602, "dump: an unknown family")

# ---- logout, expiry ----
t = login("viewer1", SECRETS[1])[2]["result"]["token"]
check(rpc("session.logout", None, t)[0] == 200 and rpc("session.whoami", None, t)[0] == 401, "logout ends the session")
t = login("viewer1", SECRETS[1])[2]["result"]["token"]
path = os.path.join(state, "s-" + t[:16])
lines = open(path).read().split("\n")
lines[1] = "1000"  # ended long ago
open(path, "w").write("\n".join(lines))
check(rpc("session.whoami", None, t)[0] == 401 and not os.path.exists(path), "an expired session is refused and removed")
apictl_out("API_USER_SetDelUser", "oper1")
check(rpc("session.whoami", None, oper)[0] == 401, "a deleted account's session ends")

# ---- cross-site and media type ----
check(send("POST", "/rpc", {"jsonrpc": "2.0", "method": "session.whoami", "id": 1}, {**auth_headers(viewer), "Origin": "https://evil.example"})[0] == 403,
      "a foreign Origin: 403")
check(send("POST", "/rpc", {"jsonrpc": "2.0", "method": "session.whoami", "id": 1}, {**auth_headers(viewer), "Origin": f"{u.scheme}://{u.netloc}"})[0] == 200,
      "the same Origin passes")
check(send("POST", "/rpc", None, {**auth_headers(viewer), "Content-Type": "text/plain"}, raw=b'{"jsonrpc":"2.0","method":"session.whoami","id":1}')[0] == 415,
      "text/plain: 415")

# ---- hostile bodies and headers ----
for raw, name in ((b'{"jsonrpc":"2.0","method":"x","id":1', "truncated JSON"), (b'{"jsonrpc":"2.0","method":"\xff\xfe","id":1}', "invalid UTF-8"),
                  (b"[" * 200 + b"]" * 200, "nesting past the limit"), (b'{"a":1} {"b":2}', "two documents"),
                  (b'{"jsonrpc":"2.0","method":"x","id":1,}', "a trailing comma")):
    status, h, payload = send("POST", "/rpc", None, auth_headers(viewer), raw=raw)
    check(status == 200 and json.loads(payload)["error"]["code"] == -32700, name, payload)
status, h, payload = send("POST", "/rpc", None, auth_headers(viewer), raw=b" " * ((1 << 20) + 1))
check(status == 413, "a body over 1 MiB: 413", status)
status, h, payload = send("POST", "/rpc", {"jsonrpc": "2.0", "method": "session.whoami", "id": 1}, {**auth_headers(viewer), "Cookie": "x=" + "y" * 6000})
check(status in (200, 400, 431), "a huge header does not break the gateway", status)

# ---- failed logins: per account, per address, and the window ends ----
for i in range(5):
    login("viewer1", "wrong")
status, h, a = login("viewer1", SECRETS[1])
check(status == 429 and a["error"]["code"] == -32005, "past 5 failures the account waits (429), the right password too", a)
check(login("admin", SECRETS[0])[0] == 200, "other accounts are not held up")
counter = glob.glob(os.path.join(state, "fail-u-" + b"viewer1".hex()))[0]
count, since = open(counter).read().split()
open(counter, "w").write(f"{count} {int(since) - 100000}\n")  # the window is over
check(login("viewer1", SECRETS[1])[0] == 200, "after the window the owner logs in")
for i in range(20):
    login(f"nobody{i}", "wrong")
check(login("admin", SECRETS[0])[0] == 429, "past 20 failures from one address: 429")
for f in glob.glob(os.path.join(state, "fail-a-*")):
    os.unlink(f)

# ---- nothing leaks ----
trace = [b"API_ARCH:", b"len=", b"PIRatio:", b"MSG_CONTROL_GET_USERINFOBYID", b"api_arch.cpp=="]
rpc("API_Net_GetFixIP", None, admin), rpc("API_USER_GetUserInfoByID", [0], admin), rpc("API_Video_GetPIRatio", [0], viewer)
stored_hashes = [apictl_out("API_USER_GetUserInfoByName", n, "-", "-").split()[-1].encode() for n in ("admin", "viewer1")]
leaks = [b for b in bodies if any(s.encode() in b for s in SECRETS) or any(t in b for t in trace) or any(x in b for x in stored_hashes)]
check(not leaks, f"no password, hash or trace line in any of {len(bodies)} responses", leaks[:1])

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
