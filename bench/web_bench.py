"""make bench: how long a goto takes to re-centre navbeacon-maphost --web's
page in headless Chromium. navbeacon sends N gotos, alternating two
captures far apart; each is timed from the host's time stamp of the goto
(taken as it arrives, on this machine's clock) to the page's moveend.
Arguments: the build directory, the captures' directory, N."""
import json
import math
import os
import subprocess
import sys
import tempfile
import urllib.request
from datetime import datetime

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

build, nmea, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
host = subprocess.Popen([os.path.join(build, "navbeacon-maphost"), "--web", "127.0.0.1:0"],
                        env=env, text=True, stdout=subprocess.PIPE)
url = next(line for line in host.stdout if " map at " in line).split(" map at ")[1].strip()
options = webdriver.ChromeOptions()
for argument in ["--headless=new", "--no-sandbox", "--disable-gpu"]:
    options.add_argument(argument)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    browser.get(url)
    WebDriverWait(browser, 10).until(
        lambda page: page.find_element("id", "connection").get_attribute("class") == "up")
    browser.execute_script("window.moves = []; map.on('moveend', () => moves.push(Date.now()))")
    delays = []
    for i in range(count):
        capture = ["ch-4711", "garmin48"][i % 2]
        subprocess.run([os.path.join(build, "navbeacon"), os.path.join(nmea, capture + ".nmea"),
                        "0", "4800"], env=env, check=True, stdout=subprocess.DEVNULL)
        WebDriverWait(browser, 10).until(
            lambda page: page.execute_script("return moves.length") > i)
        sent = json.load(urllib.request.urlopen(url + "position"))["time"]
        sent_ms = datetime.fromisoformat(sent.replace("Z", "+00:00")).timestamp() * 1000
        delays.append(browser.execute_script("return moves[moves.length - 1]") - sent_ms)
finally:
    browser.quit()
    host.terminate()
    host.wait(10)
delays.sort()
rank = lambda share: delays[math.ceil(share * len(delays)) - 1]  # nearest rank
print(f"{count} gotos, goto to page re-centred (moveend): "
      f"p50 {rank(0.5):.0f} ms, p95 {rank(0.95):.0f} ms, max {delays[-1]:.0f} ms")
