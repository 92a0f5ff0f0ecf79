"""navbeacon-maphost --web against hostile clients: one table of what each
gets, plus another site's page in headless Chromium.
Arguments: the host, navbeacon, the captures' directory."""
import functools
import http.server
import json
import os
import resource
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

MAPHOST, NAVBEACON, NMEA = sys.argv[2:5] if sys.argv[1] == "--inside" else sys.argv[1:4]
# A client that waits, sending nothing, for the host to close its
# connection; prints how long that took, or "open". Arguments: the port,
# then the address and family to connect from (127.0.0.1, IPv4 by default).
SILENT_CLIENT = """import socket, sys, time
address, family = (sys.argv[2:] + ["127.0.0.1", "AF_INET"][len(sys.argv) - 2:])[:2]
s = socket.socket(getattr(socket, family))
s.connect((address, int(sys.argv[1])))
s.settimeout(30)
start = time.monotonic()
try:
    print("closed" if s.recv(1) == b"" else "answered", round(time.monotonic() - start, 2))
except ConnectionResetError:
    print("closed", round(time.monotonic() - start, 2))
except socket.timeout:
    print("open")
"""


def start_host(env, address="127.0.0.1:0", limit=None):
    def descriptors():
        if limit:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
    host = subprocess.Popen([MAPHOST, "--web", address], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=descriptors)
    for line in host.stdout:
        if " map at " in line:
            return host, int(line.rstrip().rstrip("/").rsplit(":", 1)[1])
    raise AssertionError("the host printed no map address: " + host.stderr.read())


def stop(host):
    host.terminate()
    host.wait(10)
    host.stdout.close()
    host.stderr.close()


def status_of(connection):
    """The status of the response on `connection`, 0 when it was closed
    without one."""
    head = b""
    while b"\r\n\r\n" not in head:
        try:
            part = connection.recv(4096)
        except ConnectionResetError:
            part = b""
        if not part:
            break
        head += part
    return int(head.split()[1]) if head.startswith(b"HTTP/1.1 ") else 0


def get(port, path="/", headers=(), receive_buffer=None):
    connection = socket.socket()
    if receive_buffer:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    connection.settimeout(30)
    connection.connect(("127.0.0.1", port))
    lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", *headers, "", ""]
    connection.sendall("\r\n".join(lines).encode())
    return connection


# This machine's own address that is not a loopback one, in the other-user
# rows' network namespace.
OWN_ADDRESS = "10.77.0.1"


def other_user_refused_in_namespace():
    """Host and client in a network namespace of their own, with an address
    besides loopback's; without root, in a user namespace too, whose
    subordinate ids (newuidmap, /etc/subuid) give another user."""
    script = f"""set -e
ip link set lo up
ip addr add {OWN_ADDRESS}/32 dev lo
OTHER_UID={65534 if os.geteuid() == 0 else 1} \
{sys.executable} {os.path.abspath(__file__)} --inside {MAPHOST} - - -"""
    namespace = ["unshare", "--net"] if os.geteuid() == 0 else [
        "unshare", "--user", "--map-auto", "--map-root-user", "--net"]
    done = subprocess.run(namespace + ["sh", "-c", script], capture_output=True, text=True,
                          timeout=120)
    return [line.split() for line in done.stdout.splitlines()], done.stderr


class HostileClientsTest(unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.env["XDG_RUNTIME_DIR"])
        self.host, self.port = start_host(self.env)
        self.addCleanup(lambda: stop(self.host))

    def goto(self):
        subprocess.run([NAVBEACON, os.path.join(NMEA, "ch-4711.nmea"), "0", "4800"],
                       env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def other_user(self):
        lines, why = other_user_refused_in_namespace()
        if len(lines) != len(OTHER_USER_ROWS) + 1:
            if os.environ.get("CI"):
                self.fail("no namespace with another user: " + why)
            self.skipTest("no namespace with another user: " + why)
        return lines, why

    def test_each_hostile_client(self):
        for name, check in [
            ("another user's connection is closed before a byte is read",
             self.another_users_connection),
            ("an oversize header block is refused and closed", self.oversize_headers),
            ("a ninth stream is refused; aborted streams' slots are free again",
             self.stream_slots),
            ("a stream 32 gotos behind is dropped", self.stream_behind),
            ("the port answers with the web side's descriptors all taken",
             self.descriptors_kept_for_the_port),
            ("listening everywhere is said", self.wildcard_warning),
        ]:
            with self.subTest(name):
                check()

    def another_users_connection(self):
        lines, why = self.other_user()
        for row, (verdict, *seconds) in zip(OTHER_USER_ROWS, lines):
            with self.subTest(row[0]):
                # Refused at accept, not by the 5 s limit on a silent connection.
                self.assertEqual(verdict, "closed", why)
                self.assertLess(float(seconds[0]), 4, why)
        # Listening on an address other machines reach is said, as everywhere is.
        self.assertEqual(lines[-1], ["reachable"], why)

    def oversize_headers(self):
        for headers in [[f"X-Large: {'a' * 40000}"],
                        [f"X-{i}: {i}" for i in range(10000)]]:
            connection = get(self.port, "/", headers)
            self.assertIn(status_of(connection), (413, 431))
            while connection.recv(65536):  # then closed: a timeout fails
                pass
            connection.close()

    def stream_slots(self):
        streams = [get(self.port, "/events") for _ in range(8)]
        self.assertEqual([status_of(stream) for stream in streams], [200] * 8)
        refused = get(self.port, "/events")
        self.assertEqual(status_of(refused), 503)
        refused.close()
        for stream in streams:
            stream.close()
        # The host sees each close at once: well before the 15 s keep-alive
        # that would otherwise find it.
        deadline = time.monotonic() + 5
        served = []
        while time.monotonic() < deadline and len(served) < 8:
            stream = get(self.port, "/events")
            if status_of(stream) == 200:
                served.append(stream)
            else:
                stream.close()
        self.assertEqual(len(served), 8)
        for stream in served:
            stream.close()

    def stream_behind(self):
        stalled = get(self.port, "/events", receive_buffer=1024)
        # The host's socket buffer for a stream is small: a few hundred
        # gotos fill it and the queue behind it.
        for _ in range(400):
            self.goto()
        events = b""
        while part := stalled.recv(65536):
            events += part
        stalled.close()
        self.assertLess(events.count(b"data: "), 400)

    def descriptors_kept_for_the_port(self):
        env = self.env | {"XDG_RUNTIME_DIR": tempfile.mkdtemp()}
        host, port = start_host(env, limit=40)
        self.addCleanup(stop, host)
        # 60 connections that trickle a request: none ends by the idle limit.
        clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(60)]
        done = threading.Event()

        def trickle():
            while not done.wait(1):
                for client in clients:
                    try:
                        client.send(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
        for client in clients:
            client.send(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
        trickler = threading.Thread(target=trickle)
        trickler.start()
        try:
            run = subprocess.run([NAVBEACON, os.path.join(NMEA, "ch-4711.nmea"), "0", "4800"],
                                 env=env, timeout=30, stdout=subprocess.DEVNULL)
            # The web side keeps to its share, whenever it is looked at.
            self.assertLessEqual(len(os.listdir(f"/proc/{host.pid}/fd")), 32)
        finally:
            done.set()
            trickler.join()
            for client in clients:
                client.close()
        self.assertEqual(run.returncode, 0)

    def wildcard_warning(self):
        for address in ["0.0.0.0:0", "[::]:0"]:
            host, _ = start_host(self.env | {"XDG_RUNTIME_DIR": tempfile.mkdtemp()}, address)
            host.terminate()
            host.wait(10)
            said = host.stderr.read()  # one line, by its facts
            self.assertRegex(said, r"^navbeacon-maphost: [^\n]*every address[^\n]*other machines")
            self.assertEqual(said.count("\n"), 1, said)
            host.stdout.close()
            host.stderr.close()


class CrossSiteTest(unittest.TestCase):
    """A page from 127.0.0.2 fetches the host's streams and position in
    real Chromium: each gets 403."""

    def test_another_sites_page_gets_403(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait
        env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        host, port = start_host(env)
        self.addCleanup(stop, host)
        # no-cors: the requests a page may send anywhere, reading nothing
        # back, and that hold a stream's slot all the same.
        rows = [("/events", "no-cors"), ("/position", "no-cors"), ("/", "no-cors")]
        page = ("<script>Promise.allSettled([" + ",".join(
            f"fetch('http://127.0.0.1:{port}{path}', {{mode: '{mode}'}})"
            for path, mode in rows) + "]).then(() => { document.title = 'done'; });</script>")

        pages = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, pages)
        with open(os.path.join(pages, "index.html"), "w") as index:
            index.write(page)
        quiet = type("Quiet", (http.server.SimpleHTTPRequestHandler,),
                     {"log_message": lambda *args: None})
        site = http.server.HTTPServer(("127.0.0.2", 0),
                                      functools.partial(quiet, directory=pages))
        threading.Thread(target=site.serve_forever, daemon=True).start()
        self.addCleanup(site.server_close)
        self.addCleanup(site.shutdown)

        options = webdriver.ChromeOptions()
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu"]:
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.get(f"http://127.0.0.2:{site.server_port}/")
        WebDriverWait(browser, 20).until(lambda page: page.title == "done")
        statuses = {}
        for entry in browser.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.responseReceived":
                response = message["params"]["response"]
                statuses[response["url"]] = response["status"]
        for path, mode in rows:
            with self.subTest(path=path, mode=mode):
                self.assertEqual(statuses.get(f"http://127.0.0.1:{port}{path}"), 403, statuses)
        # None of them took a stream's slot.
        streams = [get(port, "/events") for _ in range(8)]
        self.assertEqual([status_of(stream) for stream in streams], [200] * 8)
        for stream in streams:
            stream.close()


# Another user's connections, each refused at accept: where the host
# listens, and the address and family the client connects to.
OTHER_USER_ROWS = [
    ("over loopback", "127.0.0.1:0", "127.0.0.1", "AF_INET"),
    ("an IPv6 socket to an IPv4-mapped address", "0.0.0.0:0", "::ffff:" + OWN_ADDRESS,
     "AF_INET6"),
    ("to the machine's own address", OWN_ADDRESS + ":0", OWN_ADDRESS, "AF_INET"),
]


def inside_namespace():
    """The other-user rows inside a network namespace; one line for each,
    then whether the last host said it can be reached from other machines."""
    uid = os.environ["OTHER_UID"]
    other = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups"]
    for _, listen, address, family in OTHER_USER_ROWS:
        env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())
        host, port = start_host(env, listen)
        try:
            client = subprocess.run(other + [sys.executable, "-c", SILENT_CLIENT, str(port),
                                             address, family],
                                    capture_output=True, text=True, timeout=60)
            print(client.stdout.strip() or "failed", flush=True)
            print(client.stderr, file=sys.stderr)
        finally:
            host.terminate()
            host.wait(10)
            said = host.stderr.read()
            host.stdout.close()
            host.stderr.close()
    print("reachable" if "reached from other machines" in said else "silent")
    print(said, file=sys.stderr)


if __name__ == "__main__":
    if sys.argv[1] == "--inside":
        inside_namespace()
    else:
        unittest.main(argv=sys.argv[:1])
