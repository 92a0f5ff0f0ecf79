#!/usr/bin/python3
"""Runs every example command of the documentation as it is written.

Examples are found, not listed, so that a new one is run or fails by name:
  README.md  each indented (4 spaces) code block is one example;
  docs/*.1   each .nf/.fi block of the EXAMPLES section is one example;
  --help     of each program with a man page: each "Try:" or "Example:"
             line, and each indented line that starts with a program's name.
tools/try-example runs each in a prepared world (simulated receivers on a
simulated USB bus, a map host, gpsd: it says which); an example passes when
its lines all succeed within 20 s. A command that cannot run there goes
into ALLOWED with the reason; an entry no example holds any more fails.
Usage: examples_test.py SOURCE_DIR BUILD_DIR
"""
import glob, os, re, subprocess, sys

ALLOWED = {  # This test runs inside `make test`: it neither builds nor installs.
    "make demo": "builds the tree", "make test": "builds the tree, runs this test",
    "make deb": "builds the package (a CI step)", "make": "builds the tree",
    "sudo apt install ./navbeacon_1.0-1_amd64.deb": "installs into the system",
    "sudo make install": "installs into the system",
    "make install PREFIX=$HOME/.local": "installs into the home directory",
    "make uninstall": "needs an install",
    "navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]": "the synopsis",
    # The simulator outlives `head -1`, so the substitution never ends;
    # fixed on the simulator branch.
    'navbeacon "$(navbeacon-gpssim | head -1)" 0 9600 POSITION': "hangs",
}


def examples(source, build):
    """(where, [command lines]) for every example."""
    found, block = [], []
    lines = open(os.path.join(source, "README.md")).read().split("\n") + [""]
    for number, line in enumerate(lines, 1):
        if line.startswith("    ") and (block or lines[number - 2] == ""):
            block.append(line[4:])
        elif block:
            found.append((f"README.md:{number - len(block)}", block))
            block = []
    pages = sorted(glob.glob(os.path.join(source, "docs", "*.1")))
    programs = [os.path.basename(page)[:-2] for page in pages]
    for program, page in zip(programs, pages):
        section = re.search(r"^\.SH EXAMPLES?\n(.*?)(?=^\.SH |\Z)", open(page).read(), re.M | re.S)
        for block in re.findall(r"^\.nf\n(.*?)^\.fi", section[1] if section else "", re.M | re.S):
            found.append((f"docs/{program}.1 EXAMPLES", [
                l.replace("\\-", "-").replace("\\e", "\\") for l in block.splitlines()
                if not l.startswith(".")]))
    names = "|".join(map(re.escape, programs))
    for program in programs:
        help_text = subprocess.run([os.path.join(build, program), "--help"], timeout=10,
                                   stdout=subprocess.PIPE, text=True).stdout
        for line in help_text.splitlines():
            match = re.match(rf"\s*(?:Try|Example):\s*(.+)|\s+((?:{names})\s.*)", line)
            if match:
                found.append((f"{program} --help", [(match[1] or match[2]).strip()]))
    return found


def main(source, build):
    failed, used = 0, set()
    command = lambda line: re.sub(r"\s+#.*", "", line).strip()
    for where, lines in examples(source, build):
        used.update(command(l) for l in lines if command(l) in ALLOWED)
        lines = [l for l in lines if command(l) not in ALLOWED]
        if lines:
            run = subprocess.run([os.path.join(source, "tools", "try-example"), build,
                                  "\n".join(lines)], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
            print(f"{'ok  ' if run.returncode == 0 else 'FAIL'} {where}: {' ; '.join(lines)}")
            if run.returncode:
                failed += 1
                print(f"  status {run.returncode}; its output:\n{run.stdout}", end="")
    for stale in sorted(set(ALLOWED) - used):
        failed += 1
        print(f"FAIL allowed, but no example holds it any more: {stale}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
