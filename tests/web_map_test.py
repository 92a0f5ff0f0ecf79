"""navbeacon-maphost --web in headless Chromium: the page follows gotos
sent by navbeacon from two captures far apart, without reloading, shows
the last one to a page opened later, and reconnects to a restarted host.
Arguments: the host, navbeacon, the captures' directory."""
import http.client
import json
import os
import subprocess
import sys
import tempfile
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

MAPHOST, NAVBEACON, NMEA = sys.argv[1:4]
FAR_APART = ["ch-4711", "garmin48"]  # Moscow, New Zealand


def expected(name):
    with open(os.path.join(NMEA, "expected.tsv")) as table:
        row = next(line.split("\t") for line in table if line.startswith(name + "\t"))
    return tuple(float(value) for value in row[4].split()[1:3])


def start_host(env, address="127.0.0.1:0"):
    host = subprocess.Popen([MAPHOST, "--web", address], env=env, text=True,
                            stdout=subprocess.PIPE)
    for line in host.stdout:
        if " map at " in line:
            return host, line.split(" map at ")[1].strip()
    raise AssertionError("the host printed no map address")


def stop(host):
    host.terminate()
    host.wait(10)
    host.stdout.close()


class WebMapTest(unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        self.host, self.url = start_host(self.env)
        self.addCleanup(lambda: stop(self.host))

    def send(self, name):
        subprocess.run([NAVBEACON, os.path.join(NMEA, name + ".nmea"), "0", "4800"],
                       env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def wait_for(self, browser, name):
        latitude, longitude = expected(name)
        WebDriverWait(browser, 10).until(lambda page: page.execute_script(
            "const c = map.getCenter();"
            "return Math.abs(c.lat - arguments[0]) < 1e-6 &&"
            " Math.abs(c.lng - arguments[1]) < 1e-6 && map.getZoom() == 12",
            latitude, longitude))
        shown = browser.find_element("id", "position").text
        self.assertIn(f"{abs(latitude):.6f}", shown)
        self.assertIn(f"{abs(longitude):.6f}", shown)

    def test_page_follows_gotos_and_the_host(self):
        options = webdriver.ChromeOptions()
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu"]:
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                                   options=options)
        self.addCleanup(browser.quit)
        browser.get(self.url)
        WebDriverWait(browser, 10).until(
            lambda page: page.find_element("id", "connection").get_attribute("class") == "up")
        browser.execute_script("window.notReloaded = true")
        for name in FAR_APART:
            self.send(name)
            self.wait_for(browser, name)
        self.assertTrue(browser.execute_script("return window.notReloaded"))
        last = json.load(urllib.request.urlopen(self.url + "position"))
        self.assertEqual((last["latitude"], last["longitude"], last["zoom"]),
                         (*expected(FAR_APART[-1]), 12))

        browser.get(self.url)  # a page opened after the gotos
        self.wait_for(browser, FAR_APART[-1])

        stop(self.host)
        self.host, _ = start_host(self.env, self.url.split("//")[1].rstrip("/"))
        self.send(FAR_APART[0])
        self.wait_for(browser, FAR_APART[0])

    def test_refuses_other_hosts_and_paths_outside_its_table(self):
        port = self.url.rstrip("/").rsplit(":", 1)[1]
        self.assertEqual(urllib.request.urlopen(self.url + "position").read(), b"null")
        for host, path, status in [
            (f"localhost:{port}", "/", 200),
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
        for address in ["8080x", "::1:8080", "localhost:0", "[::1]", "127.0.0.1:65536"]:
            refused = subprocess.run([MAPHOST, "--web", address], env=self.env, timeout=10,
                                     stderr=subprocess.PIPE, text=True)
            self.assertEqual(refused.returncode, 2, address)
            self.assertIn(f"navbeacon-maphost: --web {address}: give [IP-ADDRESS:]PORT",
                          refused.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
