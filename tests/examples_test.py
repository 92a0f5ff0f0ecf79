#!/usr/bin/python3
"""Runs every example command of the documentation as it is written.

Examples are found, not listed, so that a new one is run or fails by name:
  README.md  each indented (4 spaces) code block is one script;
  docs/*.1   each .nf/.fi block of the EXAMPLES section is one script;
  --help     of each program with a man page: each "Try:" or "Example:"
             line, and each indented line that starts with a program's name.
A script passes when `bash -e` runs it to its end, status 0, within 20 s.
A command that cannot run here goes into ALLOWED with the reason; an entry
that no example holds any more fails too.

Each script runs in the source tree (so samples/nmea is there) with the
built programs first on PATH, a private XDG_RUNTIME_DIR with a
navbeacon-maphost running (unless the script starts its own), under a
simulated USB bus (umockdev) holding a u-blox 5 on /dev/ttyACM0 and a PL2303
on /dev/ttyUSB0 that send one RMC sentence, and, when the script names
gpsd://, a gpsd on localhost:2947 reading navbeacon-gpssim. /tmp/ in a
script becomes a private directory; xdg-open records its arguments instead
of opening; `some-program` prints a capture. After a line that ends in "&",
the script waits until what that line starts is there (the map host's port,
a --link path), as a person typing the lines would.

Usage: examples_test.py SOURCE_DIR BUILD_DIR
"""
import glob, os, re, shlex, signal, socket, subprocess, sys, tempfile, time

ALLOWED = {
    # The project's own build, install and package steps: this test runs
    # inside `make test` and must not rebuild or install the tree it tests;
    # CI runs make test, make deb and make dist as steps of their own.
    "make demo": "builds the tree",
    "make test": "builds the tree and runs this test",
    "make deb": "builds the package (a CI step)",
    "sudo apt install ./navbeacon_1.0-1_amd64.deb": "installs into the system",
    "make": "builds the tree",
    "sudo make install": "installs into the system",
    "make install PREFIX=$HOME/.local": "installs into the user's home",
    "make uninstall": "needs the install above",
    # The synopsis, not a command.
    "navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]": "synopsis",
    # The simulator keeps running after `head -1` has its line, so the
    # substitution never ends; fixed on the simulator branch.
    'navbeacon "$(navbeacon-gpssim | head -1)" 0 9600 POSITION': "hangs",
}
RMC = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"


def examples(source, build):
    """(where, [command lines]) for every example."""
    found = []
    block, start = [], 0
    lines = open(os.path.join(source, "README.md")).read().split("\n")
    for number, line in enumerate(lines + [""], 1):
        if line.startswith("    ") and (block or lines[number - 2] == ""):
            block, start = block + [line[4:]], start or number
        elif block:
            found.append((f"README.md:{start}", block))
            block, start = [], 0
    programs = []
    for page in sorted(glob.glob(os.path.join(source, "docs", "*.1"))):
        programs.append(os.path.basename(page)[:-2])
        text = open(page).read()
        section = re.search(r"^\.SH EXAMPLES?\n(.*?)(?=^\.SH |\Z)", text, re.M | re.S)
        for nofill in re.findall(r"^\.nf\n(.*?)^\.fi", section[1] if section else "", re.M | re.S):
            commands = [l.replace("\\-", "-").replace("\\e", "\\")
                        for l in nofill.splitlines() if not l.startswith(".")]
            found.append((f"docs/{programs[-1]}.1 EXAMPLES", commands))
    name = "|".join(map(re.escape, programs))
    for program in programs:
        helps = subprocess.run([os.path.join(build, program), "--help"],
                               capture_output=True, text=True, timeout=10).stdout
        for line in helps.splitlines():
            match = (re.match(r"\s*(?:Try|Example):\s*(.+)", line)
                     or re.match(rf"\s+((?:{name})\s.*)", line))
            if match:
                found.append((f"{program} --help", [match[1].strip()]))
    return found


def command(line):
    return re.sub(r"\s+#.*", "", line).strip()


def wait_for(predicate, what, seconds=10):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not start")
        time.sleep(0.05)


def gpsd_lists(device):
    try:
        with socket.create_connection(("127.0.0.1", 2947), timeout=0.5) as s:
            s.sendall(b"?DEVICES;\n")
            data = b""
            while device.encode() not in data:
                chunk = s.recv(4096)
                if not chunk:
                    return False
                data += chunk
            return True
    except OSError:
        return False


def run(where, lines, source, build):
    tmp = tempfile.TemporaryDirectory(prefix="navbeacon-examples-")
    t = tmp.name
    children = []
    try:
        run_dir, bin_dir = os.path.join(t, "run"), os.path.join(t, "bin")
        os.mkdir(run_dir, 0o700)
        os.mkdir(bin_dir)
        for stub, body in {"xdg-open": f'echo "$@" >>{t}/xdg-open.log',
                           "some-program": f"exec cat {source}/samples/nmea/ublox-lea-5h.nmea"}.items():
            with open(os.path.join(bin_dir, stub), "w") as f:
                f.write(f"#!/bin/sh\n{body}\n")
            os.chmod(os.path.join(bin_dir, stub), 0o755)
        env = dict(os.environ, XDG_RUNTIME_DIR=run_dir, HOME=t,
                   PATH=f"{bin_dir}:{build}:/usr/bin:/bin:/usr/sbin:/sbin")
        port = os.path.join(run_dir, "rexx", "KARTOVELL.1")
        script = "\n".join(lines).replace("/tmp/", t + "/")
        if not re.search(r"(^|[\s;&|(])navbeacon-maphost\b", script, re.M):
            children.append(subprocess.Popen([f"{build}/navbeacon-maphost"], env=env,
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            wait_for(lambda: os.path.exists(port), "navbeacon-maphost")
        if "gpsd://" in script:
            receiver = subprocess.Popen([f"{build}/navbeacon-gpssim"], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            children.append(receiver)
            pty = receiver.stdout.readline().strip()
            children.append(subprocess.Popen(["/usr/sbin/gpsd", "-N", "-n", "-b", "-S", "2947",
                                              "-F", f"{t}/gpsd.sock", pty],
                                             stderr=subprocess.DEVNULL))
            wait_for(lambda: gpsd_lists(pty), "gpsd")
        ready = ('ready() { for _ in $(seq 200); do [ -e "$1" ] && return; sleep 0.05; done; '
                 'echo "$1 did not appear" >&2; return 1; }\n')
        body = []
        for line in script.split("\n"):
            body.append(line)
            if command(line).endswith("&"):
                link = re.search(r"--link\s+(\S+)", line)
                if link or "navbeacon-maphost" in line:
                    body.append(f"ready {shlex.quote(link[1] if link else port)}")
        with open(f"{t}/nmea.script", "w") as f:
            f.write(f"r 0 {RMC}^M^J\n")
        devices = f"{source}/tests/devices"
        out = open(f"{t}/out", "w+")
        shell = subprocess.Popen(
            ["umockdev-run", "-d", f"{devices}/ublox.umockdev", "-d", f"{devices}/pl2303.umockdev",
             "-s", f"/dev/ttyACM0={t}/nmea.script", "-s", f"/dev/ttyUSB0={t}/nmea.script",
             "--", "bash", "-e", "-c", ready + "\n".join(body)],
            cwd=source, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
            start_new_session=True)
        try:
            status = shell.wait(timeout=20)
        except subprocess.TimeoutExpired:
            status = "none within 20 s"
        try:  # what the script left running in the background
            os.killpg(shell.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        shell.wait()
        out.seek(0)
        return status, out.read()
    finally:
        for child in reversed(children):
            child.terminate()
            child.wait()
        tmp.cleanup()


def main(source, build):
    failed, used = 0, set()
    for where, lines in examples(source, build):
        used.update(command(l) for l in lines if command(l) in ALLOWED)
        lines = [l for l in lines if command(l) not in ALLOWED]
        if not lines:
            continue
        status, output = run(where, lines, source, build)
        print(f"{'ok  ' if status == 0 else 'FAIL'} {where}: " + " ; ".join(lines))
        if status != 0:
            failed += 1
            print(f"  status {status}; its output:\n" + output, end="")
    for stale in sorted(set(ALLOWED) - used):
        failed += 1
        print(f"FAIL allowed, but no example holds it any more: {stale}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
