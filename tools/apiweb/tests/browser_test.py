#!/usr/bin/python3
"""The settings page's cases in headless chromium; run by browser_test.sh, which starts the
servers. Prints one line per case and last "N passed, N failed, N skipped"."""
import argparse
import os
import re
import subprocess
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

VIEWER, VIEWER_PASSWORD = "watcher", "watch-only"


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Page:
    def __init__(self, driver, url):
        self.driver, self.url = driver, url

    def find(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def wait(self, condition, what, seconds=30):
        try:
            return WebDriverWait(self.driver, seconds, poll_frequency=0.1).until(lambda d: condition())
        except Exception:
            raise AssertionError(f"waited in vain for {what}; page says: {self.messages()}")

    def messages(self):
        texts = [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, ".error, output, [role=status]") if e.text]
        return " ".join("; ".join(texts).split())[:400] or "nothing"

    def log_in(self, user, password):
        self.wait(lambda: self.find("login-form").is_displayed(), "the login form")
        self.find("login-user").clear()
        self.find("login-user").send_keys(user)
        self.find("login-password").send_keys(password, Keys.ENTER)

    def ready_as(self, user):
        self.wait(lambda: self.driver.execute_script("return document.body.dataset.user") == user, f"the page for {user}")

    def set_field(self, element_id, value, expect="saved"):
        field = self.find(element_id)
        field.send_keys(Keys.CONTROL, "a")
        field.send_keys(str(value), Keys.TAB)  # leaving the field applies it
        status = self.find(element_id + "-status")
        self.wait(lambda: status.text not in ("", "saving…"), f"{element_id} applied")
        assert re.search(expect, status.text), f"{element_id} set to {value}: {status.text}"
        return status.text


def wrong_password_refused(page, args):
    page.driver.get(page.url)
    page.log_in("admin", "not-the-password")
    error = page.find("login-error")
    page.wait(lambda: error.text, "the refusal")
    assert re.search(r"\(-32\d\d\d\)", error.text), f"not the gateway's refusal: {error.text}"
    assert not page.find("app").is_displayed(), "the settings are shown after a refused login"
    print(f"  refused with: {error.text}")


def log_in(page, args):
    page.log_in("admin", "admin")
    page.ready_as("admin")
    assert "admin" in page.find("whoami").text
    assert page.find("users-section").is_displayed(), "an administrator is not offered the users"


def snapshot_loaded(page, args):
    img = page.find("snapshot")
    page.wait(lambda: page.driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", img),
              "a snapshot")
    print(f"  snapshot {img.get_property('naturalWidth')}x{img.get_property('naturalHeight')}")


def video_setting_read_back(page, args):
    Select(page.find("channel")).select_by_value("1")
    page.wait(lambda: page.find("video-Hue").get_attribute("value"), "channel 1's hue")
    slider = page.find("video-Hue-range")
    assert (slider.get_attribute("min"), slider.get_attribute("max")) == ("0", "255"), "the hue's range is not the catalog's"
    # A value past the range: the gateway's refusal, naming the parameter and its limit, is shown.
    print("  300 refused with: " + page.set_field("video-Hue", 300, expect=r"\(-32602\).*Hue.*255"))
    page.set_field("video-Hue", 77, expect="^saved$")
    read = subprocess.run([args.apictl, "API_Video_GetHue", "1"], capture_output=True, text=True, timeout=30)
    assert read.stdout.split() == ["77"], f"apictl reads {read.stdout!r} {read.stderr!r}"


def test_mail_delivered(page, args):
    for key, value in (("MailServer", "127.0.0.1"), ("Port", args.smtp_port),
                       ("MailFrom", "camera@example.org"), ("MailTo", "ops@example.org")):
        page.set_field(f"mail-{key}", value)
    page.find("mail-test").click()
    outcome = page.find("mail-outcome")
    page.wait(lambda: " delivered " in outcome.text or " failed " in outcome.text or "(-" in outcome.text,
              "the delivery's outcome", seconds=90)
    assert " delivered " in outcome.text, outcome.text
    received = sorted(os.listdir(args.mail_dir))
    assert received == ["1"], f"the SMTP server holds {received}"
    with open(os.path.join(args.mail_dir, "1", "subject")) as f:
        assert f.read() == "Test mail from the camera"
    print(f"  {outcome.text}")


def viewer_not_offered_admin_parts(page, args):
    made = subprocess.run([args.apictl, "API_USER_SetAddUser", "1", VIEWER, VIEWER_PASSWORD],
                          capture_output=True, text=True, timeout=30)
    assert made.returncode == 0, f"apictl: {made.stdout} {made.stderr}"
    page.find("logout").click()
    page.log_in(VIEWER, VIEWER_PASSWORD)
    page.ready_as(VIEWER)
    shown = [s for s in ("users-section", "network-section", "mail-section", "ftp-section", "mail-test")
             if page.find(s).is_displayed()]
    assert not shown, f"a viewer is offered {shown}"
    editable = page.driver.find_elements(By.CSS_SELECTOR, "#video-fields input, #time-fields input")
    assert not editable, f"a viewer is offered {len(editable)} video or time fields to change"


CASES = (wrong_password_refused, log_in, snapshot_loaded, video_setting_read_back, test_mail_delivered,
         viewer_not_offered_admin_parts)


def main():
    p = argparse.ArgumentParser()
    for option in ("--apictl", "--url", "--mail-dir", "--smtp-port", "--profile"):
        p.add_argument(option, required=True)
    args = p.parse_args()
    passed = failed = 0
    driver = start_browser(args.profile)
    try:
        page = Page(driver, args.url)
        for case in CASES:
            try:
                case(page, args)
                passed += 1
                print(f"ok: {case.__name__}")
            except Exception as e:  # the case's failure, reported and counted
                failed += 1
                print(f"FAILED: {case.__name__}: {' '.join(str(e).split())[:600]}")
            if os.environ.get("BROWSER_TEST_SCREENSHOTS"):  # a folder, to look at the page after each case
                page.driver.set_window_size(1000, 2600)
                driver.save_screenshot(os.path.join(os.environ["BROWSER_TEST_SCREENSHOTS"], case.__name__ + ".png"))
    finally:
        driver.quit()
    print(f"{passed} passed, {failed} failed, 0 skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
