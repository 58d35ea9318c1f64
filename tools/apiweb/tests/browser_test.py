#!/usr/bin/python3
"""The settings page's cases in headless chromium, against the servers that browser_test.sh
started:  browser_test.py APICTL URL MAIL_DIR SMTP_PORT PROFILE
Prints one line per case and last "N passed, N failed, N skipped"."""
import os
import re
import subprocess
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

APICTL, URL, MAIL_DIR, SMTP_PORT, PROFILE = sys.argv[1:6]
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + PROFILE):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
find = lambda element_id: driver.find_element(By.ID, element_id)


def wait(condition, what, seconds=30):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.1).until(lambda d: condition())
    except Exception:
        said = [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".error, output, [role=status]") if e.text]
        raise AssertionError(f"waited in vain for {what}; the page says: {'; '.join(said) or 'nothing'}")


def log_in(user, password):
    wait(lambda: find("login-form").is_displayed(), "the login form")
    find("login-user").clear()
    find("login-user").send_keys(user)
    find("login-password").send_keys(password, Keys.ENTER)


def set_field(element_id, value, expect="^saved$"):
    find(element_id).send_keys(Keys.CONTROL, "a")
    find(element_id).send_keys(str(value), Keys.TAB)  # leaving the field applies it
    status = find(element_id + "-status")
    wait(lambda: status.text not in ("", "saving…"), f"{element_id} applied")
    assert re.search(expect, status.text), f"{element_id} set to {value}: {status.text}"
    return status.text


def apictl(*args):
    return subprocess.run([APICTL, *args], capture_output=True, text=True, timeout=30)


def wrong_password_refused():
    driver.get(URL)
    log_in("admin", "not-the-password")
    wait(lambda: find("login-error").text, "the refusal")
    assert re.search(r"\(-32\d\d\d\)", find("login-error").text), "not the gateway's refusal"
    assert not find("app").is_displayed(), "the settings are shown after a refused login"
    print("  refused with: " + find("login-error").text)


def admin_logs_in():
    apictl("API_SMTP_Set_Password", "mail-secret")
    log_in("admin", "admin")
    wait(lambda: driver.execute_script("return document.body.dataset.user") == "admin", "the page")
    assert find("users-section").is_displayed(), "an administrator is not offered the users"
    assert not driver.execute_script("return document.body.innerText.includes('mail-secret') || "
                                     "[...document.querySelectorAll('input')].some(i => i.value.includes('mail-secret'))")
    assert find("mail-Password").get_attribute("type") == "password"


def snapshot_loaded():
    wait(lambda: driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", find("snapshot")),
         "a snapshot")


def video_setting_read_back():
    Select(find("channel")).select_by_value("1")
    wait(lambda: find("video-Hue").get_attribute("value"), "channel 1's hue")
    assert (find("video-Hue-range").get_attribute("min"), find("video-Hue-range").get_attribute("max")) == ("0", "255")
    # Past the range: the gateway's refusal, naming the parameter and its limit, is what shows.
    print("  300 refused with: " + set_field("video-Hue", 300, expect=r"\(-32602\).*Hue.*255"))
    set_field("video-Hue", 77)
    read = apictl("API_Video_GetHue", "1")
    assert read.stdout.split() == ["77"], f"apictl reads {read.stdout!r} {read.stderr!r}"


def test_mail_delivered():
    for key, value in (("MailServer", "127.0.0.1"), ("Port", SMTP_PORT), ("MailFrom", "cam@example.org"),
                       ("MailTo", "ops@example.org")):
        set_field("mail-" + key, value)
    find("mail-test").click()
    outcome = find("mail-outcome")
    wait(lambda: re.search(r" (delivered|failed) |\(-\d+\)", outcome.text), "the delivery's outcome", seconds=90)
    assert " delivered " in outcome.text, outcome.text
    assert os.listdir(MAIL_DIR) == ["1"], f"the SMTP server holds {os.listdir(MAIL_DIR)}"
    with open(os.path.join(MAIL_DIR, "1", "subject")) as f:
        assert f.read() == "Test mail from the camera"
    print("  " + outcome.text)


def viewer_not_offered_admin_parts():
    made = apictl("API_USER_SetAddUser", "1", "watcher", "watch-only")
    assert made.returncode == 0, f"apictl: {made.stdout} {made.stderr}"
    find("logout").click()
    log_in("watcher", "watch-only")
    wait(lambda: driver.execute_script("return document.body.dataset.user") == "watcher", "the viewer's page")
    shown = [s for s in ("users-section", "network-section", "mail-section", "ftp-section", "mail-test")
             if find(s).is_displayed()]
    assert not shown, f"a viewer is offered {shown}"
    editable = driver.find_elements(By.CSS_SELECTOR, "#video-fields input, #time-fields input")
    assert not editable, f"a viewer is offered {len(editable)} video or time fields to change"


passed = failed = 0
try:
    for case in (wrong_password_refused, admin_logs_in, snapshot_loaded, video_setting_read_back,
                 test_mail_delivered, viewer_not_offered_admin_parts):
        try:
            case()
            passed += 1
            print("ok: " + case.__name__)
        except Exception as e:  # counted, and the run goes on with the next case
            failed += 1
            print(f"FAILED: {case.__name__}: {' '.join(str(e).split())[:600]}")
finally:
    driver.quit()
print(f"{passed} passed, {failed} failed, 0 skipped")
sys.exit(1 if failed else 0)
