"""make bench: navbeacon-maphost --web's answers to its owner while hostile
clients hold connections, and its memory through a header flood.
Arguments: the build directory, the captures' directory. Another user's
clients run as nobody, which needs root; without it those rows are left out."""
import http.client
import os
import resource
import socket
import subprocess
import sys
import tempfile
import threading
import time

build, nmea = sys.argv[1], sys.argv[2]
# Opens N connections and sends a header line on each every 3 s until
# killed; says "ready" once all are open.
TRICKLE = """import socket, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
clients = []
for _ in range(count):
    try:
        client = socket.create_connection(("127.0.0.1", port))
        client.send(b"GET / HTTP/1.1\\r\\n")
        clients.append(client)
    except OSError:
        pass
print("ready", flush=True)
while True:
    time.sleep(3)
    for client in clients:
        try:
            client.send(b"X-Slow: 1\\r\\n")
        except OSError:
            pass
"""
# One request of 10,000 headers, again and again for 15 s.
FLOOD = """import socket, sys, time
port = int(sys.argv[1])
block = b"".join(b"X-%d: %s\\r\\n" % (i, b"a" * 90) for i in range(10000))
end = time.monotonic() + 15
while time.monotonic() < end:
    try:
        client = socket.create_connection(("127.0.0.1", port))
        client.sendall(b"GET / HTTP/1.1\\r\\nHost: x\\r\\n" + block + b"\\r\\n")
        client.recv(4096)
        client.close()
    except OSError:
        pass
"""
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def start(limit=None):
    env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp())

    def descriptors():
        if limit:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
    host = subprocess.Popen([os.path.join(build, "navbeacon-maphost"), "--web", "127.0.0.1:0"],
                            env=env, text=True, stdout=subprocess.PIPE, preexec_fn=descriptors)
    url = next(line for line in host.stdout if " map at " in line).split(" map at ")[1].strip()
    return host, int(url.rstrip("/").rsplit(":", 1)[1]), env


def rss_mib(host):
    with open(f"/proc/{host.pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) / 1024


def cpu_seconds(host):
    with open(f"/proc/{host.pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def owner_ms(port, path, count=20):
    times = []
    for _ in range(count):
        start = time.monotonic()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", path)
        connection.getresponse().read()
        connection.close()
        times.append((time.monotonic() - start) * 1000)
    times.sort()
    return f"p50 {times[len(times) // 2]:.1f} ms, max {times[-1]:.1f} ms"


def with_clients(port, count, user):
    clients = subprocess.Popen(user + [sys.executable, "-c", TRICKLE, str(port), str(count)],
                               stdout=subprocess.PIPE, text=True)
    clients.stdout.readline()
    return clients


root = os.geteuid() == 0
host, port, env = start()
try:
    print(f"idle: / {owner_ms(port, '/')}; /position {owner_ms(port, '/position')}")
    if root:
        clients = with_clients(port, 200, OTHER)
        print(f"200 trickling connections of another user: / {owner_ms(port, '/')};"
              f" /position {owner_ms(port, '/position')}")
        clients.kill()
        clients.wait()
    clients = with_clients(port, 50, [])
    print(f"50 trickling connections of the owner: / {owner_ms(port, '/')}")
    clients.kill()
    clients.wait()
    delays = []
    for _ in range(10):
        streams = [socket.create_connection(("127.0.0.1", port)) for _ in range(8)]
        for stream in streams:
            stream.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        time.sleep(0.3)
        for stream in streams:
            stream.close()
        began = time.monotonic()
        while True:  # until a ninth stream is served
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            connection.request("GET", "/events")
            served = connection.getresponse().status == 200
            connection.close()
            if served:
                break
        delays.append((time.monotonic() - began) * 1000)
    print(f"8 streams aborted after 300 ms, 10 times: the next /events served after"
          f" {min(delays):.1f} to {max(delays):.1f} ms")
    for name, user in [("another user", OTHER)] * root + [("the owner", [])]:
        before = rss_mib(host)
        subprocess.run(user + [sys.executable, "-c", FLOOD, str(port)], check=True)
        print(f"10,000-header requests for 15 s from {name}: resident memory"
              f" {before:.1f} MiB before, {rss_mib(host):.1f} MiB after")
finally:
    host.terminate()
    host.wait(10)

host, port, env = start(limit=40)
try:
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(60)]
    used = cpu_seconds(host)
    run = subprocess.run([os.path.join(build, "navbeacon"), os.path.join(nmea, "ch-4711.nmea"),
                          "0", "4800"], env=env, stdout=subprocess.DEVNULL)
    time.sleep(5)
    print(f"ulimit -n 40, 60 idle web connections: navbeacon status {run.returncode};"
          f" host CPU over the next 5 s {(cpu_seconds(host) - used) * 1000:.0f} ms")
    for connection in idle:
        connection.close()
finally:
    host.terminate()
    host.wait(10)
