#!/usr/bin/python3
"""Every example command of the README, of the man pages' EXAMPLES and of
each program's --help runs as written (tools/doc-examples says how examples
are found and the world they run in): a new one is picked up, and fails by
name until it runs there. A command that cannot run there goes below, with
the reason; an entry that no example holds any more fails.
Usage: examples_test.py SOURCE_DIR BUILD_DIR
"""
import os, subprocess, sys

ALLOWED = {  # This test runs inside `make test`: it neither builds nor installs.
    "make demo": "builds the tree", "make test": "builds the tree, runs this test",
    "make deb": "builds the package (a CI step)", "make": "builds the tree",
    "sudo apt install ./navbeacon_1.0-1_amd64.deb": "installs into the system",
    "sudo make install": "installs into the system",
    "make install PREFIX=$HOME/.local": "installs into the home directory",
    "make uninstall": "needs an install",
    "navbeacon-maphost --marble &": "needs Marble on a session bus: make test-marble runs it",
    "navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]": "the synopsis",
    "navbeacon --follow /dev/ttyACM0 0 9600": "follows until Ctrl-C",
    "systemctl --user enable --now navbeacon-maphost": "needs the user's systemd",
    "systemctl --user enable --now navbeacon-follow@ttyACM0": "needs the user's systemd",
    "journalctl --user -u navbeacon-follow@ttyACM0 -f": "follows the journal until Ctrl-C",
}
skips = [arg for command in ALLOWED for arg in ("--skip", command)]
sys.exit(subprocess.run([os.path.join(sys.argv[1], "tools", "doc-examples"), sys.argv[2]]
                        + skips).returncode)
