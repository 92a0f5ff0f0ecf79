"""navbeacon-maphost --web: the requests it refuses, and in headless
Chromium a recording followed on the page, which a page opened later shows
and which reconnects to a restarted host.
Arguments: the host, navbeacon, the captures' directory."""
import functools
import http.client
import operator
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.support.ui import WebDriverWait

MAPHOST, NAVBEACON = sys.argv[1:3]


def start_host(env, address="127.0.0.1:0", *options):
    host = subprocess.Popen([MAPHOST, "--web", address, *options], env=env, text=True,
                            stdout=subprocess.PIPE)
    for line in host.stdout:
        if " map at " in line:
            return host, line.split(" map at ")[1].strip()
    raise AssertionError("the host printed no map address")


def stop(host):
    host.terminate()
    host.wait(10)
    host.stdout.close()


def rmc(latitude, longitude, second):
    """One RMC sentence of a fix at the given second of the day."""
    def degrees(value, width, signs):
        whole = int(abs(value))
        return f"{whole:0{width}d}{(abs(value) - whole) * 60:07.4f},{signs[value < 0]}"
    body = (f"GPRMC,{second // 3600:02d}{second // 60 % 60:02d}{second % 60:02d}.00,A,"
            f"{degrees(latitude, 2, 'NS')},{degrees(longitude, 3, 'EW')},0.0,0.0,071226,,,A")
    return f"${body}*{functools.reduce(operator.xor, body.encode()):02X}\r\n"


class RefusalTest(unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        self.host, self.url = start_host(self.env)
        self.addCleanup(lambda: stop(self.host))

    def test_refuses_other_hosts_and_paths_outside_its_table(self):
        port = self.url.rstrip("/").rsplit(":", 1)[1]
        self.assertEqual(urllib.request.urlopen(self.url + "position").read(), b"null")
        for host, path, status in [
            (f"LocalHost:{port}", "/", 200),
            (f"rebound.example:{port}", "/", 421),
            (f"127.0.0.1:{int(port) + 1}", "/position", 421),
            (f"127.0.0.1:{port}", "/../../../../etc/passwd", 404),
            (f"127.0.0.1:{port}", "/leaflet/%2e%2e/%2e%2e/leaflet/leaflet.js", 404),
        ]:
            connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=10)
            connection.putrequest("GET", path, skip_host=True)
            connection.putheader("Host", host)
            connection.endheaders()
            self.assertEqual(connection.getresponse().status, status, (host, path))
            connection.close()
        # A second host cannot take the same port, and half of its requests.
        second = subprocess.run([MAPHOST, "--web", port, "--port", "OTHER"], env=self.env,
                                timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(second.returncode, 1)
        for option, value, fact in [
            ("--tiles", "https://t.example/{z}/{x}/{y}.png?key={accessToken}",
             "cannot fill {accessToken} "),
            ("--tiles", "https://t.example/{q}.png", "cannot fill {q} "),
            ("--tiles", "https://t.example/{z{x}/{y}.png", "placeholder {z is not closed"),
        ] + [("--web", address, ": give [IP-ADDRESS:]PORT") for address in
             ["8080x", "::1:8080", "localhost:0", "[::1]", "127.0.0.1:65536"]]:
            refused = subprocess.run([MAPHOST, *["--web", "0"] * (option != "--web"), option,
                                      value], env=self.env,
                                     timeout=10, stderr=subprocess.PIPE, text=True)
            self.assertEqual(refused.returncode, 2, value)
            self.assertIn(f"navbeacon-maphost: {option} {value}", refused.stderr)
            self.assertIn(fact, refused.stderr)
            if option == "--tiles":
                self.assertIn("{-y} {r}", refused.stderr)  # what the map fills


class FollowTest(unittest.TestCase):
    """A recording followed on the page: the user's drag and zoom win, the
    track breaks between runs, a reload shows it, and the page reconnects
    to a restarted host."""

    def test_page_follows_a_recording(self):
        self.env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        self.host, url = start_host(self.env, "127.0.0.1:0", "--tiles",
                                    "http://127.0.0.1:9/{z}/{x}/{y}.png",
                                    "--attribution", "<b>Tiles</b> & co")
        self.addCleanup(lambda: stop(self.host))
        # A walk in Zurich, about 1 km a fix, then one 80 km away.
        walk = [(47.3769 + i * 0.01, 8.5417) for i in range(6)] + [(47.5, 9.6)]
        recording = tempfile.NamedTemporaryFile("w", suffix=".nmea")
        self.addCleanup(recording.close)

        def replay(first, last):
            recording.seek(0)
            recording.truncate()
            recording.writelines(rmc(*walk[i], 43200 + i) for i in range(first, last))
            recording.flush()
            subprocess.run([NAVBEACON, "--follow=0.1", recording.name, "0", "4800"],
                           env=self.env, check=True, timeout=60, stdout=subprocess.DEVNULL)

        options = webdriver.ChromeOptions()
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu"]:
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.get(url)
        centre = "const c = map.getCenter(); return [c.lat, c.lng, map.getZoom()]"
        marker = "const p = marker.getLatLng(); return [p.lat, p.lng]"

        def at(point, script=centre):
            # Leaflet's centre may be off by part of a pixel.
            return lambda page: all(abs(a - b) < 1e-3 for a, b in
                                    zip(page.execute_script(script), point))
        WebDriverWait(browser, 10).until(
            lambda page: page.find_element("id", "connection").get_attribute("class") == "up")
        replay(0, 3)
        WebDriverWait(browser, 10).until(at((*walk[2], 12)))
        self.assertEqual(browser.find_element("css selector", ".leaflet-control-attribution")
                         .text.split("|")[-1].strip(), "<b>Tiles</b> & co")

        ActionChains(browser).drag_and_drop_by_offset(
            browser.find_element("id", "map"), 120, 80).perform()
        dragged = browser.execute_script(centre)
        replay(3, 4)
        WebDriverWait(browser, 10).until(at(walk[3], marker))
        self.assertEqual(browser.execute_script(centre), dragged)
        follow_button = browser.find_element("id", "follow")
        self.assertEqual(follow_button.text, "Follow")

        browser.find_element("css selector", ".leaflet-control-zoom-in").click()
        WebDriverWait(browser, 10).until(lambda page: page.execute_script(
            "return map.getZoom()") == dragged[2] + 1)
        follow_button.click()
        WebDriverWait(browser, 10).until(at((*walk[3], dragged[2] + 1)))
        replay(4, 6)
        WebDriverWait(browser, 10).until(at((*walk[5], dragged[2] + 1)))
        self.assertEqual(follow_button.text, "Following")
        # How long ago the last goto came, counting on.
        WebDriverWait(browser, 10).until(lambda page: re.fullmatch(
            r"[1-9][0-9]* s ago", page.find_element("id", "ago").text))

        replay(6, 7)  # 80 km on: a track of its own
        WebDriverWait(browser, 10).until(at(walk[6], marker))
        track = "return trail.getLatLngs().map((line) => line.length)"
        self.assertEqual(browser.execute_script(track), [6, 1])
        browser.refresh()
        WebDriverWait(browser, 10).until(lambda page: page.execute_script(track) == [6, 1])
        WebDriverWait(browser, 10).until(at(walk[6]))

        stop(self.host)
        self.host, _ = start_host(self.env, url.split("//")[1].rstrip("/"))
        replay(0, 1)
        WebDriverWait(browser, 10).until(at(walk[0], marker))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
