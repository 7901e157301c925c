"""The HMI page in headless Chromium, through the nginx front; its link light while the service
behind the front stops and starts again."""

import os
import re

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

import kvharness as kv


# The browser module's other operations, on a device port of their own.
MODULE_CALLS = """
const [group, failGroup, done] = arguments;
import('/js/kvixo.js').then(async (ixo) => {
  const back = await ixo.readWrite('', 853, group, 0, 4, new Uint8Array([1, 2, 254, 255]));
  await ixo.writeControl('', 853, 6, 3);
  const state = await ixo.readState('', 853);
  const code = await ixo.read('', 853, failGroup, 0, 1).then(() => 'no error', (e) => e.code);
  done([Array.from(back), state, code]);
}).catch((e) => done(String(e)));
"""


@pytest.fixture(scope="module")
def browser(front):
    """Headless Chromium with a fresh profile on the front's tmpfs; no network but loopback."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("headless=new", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run",
                 "disable-background-networking", "disable-component-update", "disable-sync",
                 "disable-dev-shm-usage", "window-size=1280,900", f"user-data-dir={os.path.join(front.dir, 'chrome')}"):
        options.add_argument("--" + flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def text_of(driver, css):
    return driver.find_element(By.CSS_SELECTOR, css).text


def await_text(driver, css, predicate, what):
    return WebDriverWait(driver, 30).until(lambda d: predicate(text := text_of(d, css)) and text, what)


def fill_and_click(driver, values, button):
    for element_id, value in values.items():
        field = driver.find_element(By.ID, element_id)
        field.clear()
        field.send_keys(value)
    driver.find_element(By.ID, button).click()


def test_hmi_page_and_its_module_write_read_poll_and_show_device_errors(front, browser):
    info = front.request("GET", kv.GW)[2].decode()
    net_id = re.search(r"Net Id</td><td[^>]*>([\d.]+)<", info).group(1)
    browser.get(front.base + "/hmi.html")
    group = int(browser.find_element(By.ID, "addr-group").get_attribute("value"), 0)
    await_text(browser, "#svc-netid", lambda t: t == net_id, "service information shown")
    await_text(browser, "#target-state", lambda t: t.startswith("Ixo "), "device state polled")

    # A value above 2^31 through Write, Read and the first live row (the start address, UINT32).
    fill_and_click(browser, {"addr-offset": "0", "value": "4000000000"}, "btn-write")
    await_text(browser, "#op-status", lambda t: t.startswith("Written"), "write confirmed")
    fill_and_click(browser, {}, "btn-read")
    await_text(browser, "#read-value", lambda t: t == "4000000000", "value read back")
    await_text(browser, "#live tbody tr td.value", lambda t: t == "4000000000", "live row")

    fill_and_click(browser, {"addr-group": hex(kv.DEVICE_ERROR_GROUP)}, "btn-read")
    shown = await_text(browser, "#error-text", lambda t: f"code {kv.DEVICE_ERROR}" in t, "device error")
    assert text_of(browser, "#error-title") == "Device error", shown
    fill_and_click(browser, {}, "btn-watch")
    await_text(browser, "#live tbody tr:last-child td.value", lambda t: t == f"error {kv.DEVICE_ERROR}", "watched error row")

    artifacts = os.environ["KV_ARTIFACTS"]  # the build tree's artifacts folder
    os.makedirs(artifacts, exist_ok=True)
    browser.save_screenshot(os.path.join(artifacts, "hmi.png"))
    browser.set_window_size(390, 844)
    browser.save_screenshot(os.path.join(artifacts, "hmi-phone.png"))
    # Readable on a phone: nothing runs off the side of the page.
    assert browser.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []

    result = browser.execute_async_script(MODULE_CALLS, group, kv.DEVICE_ERROR_GROUP)
    assert result == [[1, 2, 254, 255], {"ixoState": 6, "deviceState": 3}, kv.DEVICE_ERROR]


def test_link_shows_offline_with_the_reason_while_the_service_is_stopped(front, browser):
    browser.get(front.base + "/hmi.html")
    await_text(browser, "#svc-link", lambda t: t == "online", "link online")
    front.service.end()
    await_text(browser, "#svc-link", lambda t: t == "offline (HTTP 502)", "link offline with the front's status")
    front.start_service()
    await_text(browser, "#svc-link", lambda t: t == "online", "link online again")
