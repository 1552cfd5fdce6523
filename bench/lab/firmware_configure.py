#!/usr/bin/env python3
"""Wall time and requests of `krzpap configure` on the open firmware families of the lab, through
their descriptions alone (the description module, no C++ configurator).

usage: firmware_configure.py BIN_DIR SOURCE_DIR [runs] [device ...]

BIN_DIR holds krzpap and the description module; SOURCE_DIR is the source tree. The built-in lab
runs lab/labs/firmware.json in krzpap's own process with short times (restarts 300 ms; a rollback
is confirmed before it matters), so that the figure is the library's and the description's own
work, not the firmware's wait. Each run changes the network name, is confirmed and read back; the
requests are counted in krzpap's trace log ("Sent Data"). Prints per device the median wall time
and the requests of one run.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

# name, address, user, password: the firmware.json devices this bench knows how to log into.
DEVICES = {
    "luci-1": ("192.168.77.70", "root", "open-1"),
    "ddwrt-1": ("192.168.77.72", "root", "dd-1"),
}


def short_lab(source, folder):
    lab = json.load(open(os.path.join(source, "lab", "labs", "firmware.json")))
    for device in lab["devices"]:
        if "restartMs" in device:
            device["restartMs"] = 300
    path = os.path.join(folder, "lab.json")
    json.dump(lab, open(path, "w"))
    return path


def configure(bin_dir, env, folder, name, run):
    address, user, password = DEVICES[name]
    log = os.path.join(folder, "%s-%d.log" % (name, run))
    command = [os.path.join(bin_dir, "krzpap"), "--log", log, "--log-level", "2", "-q",
               "--modules", "krzpapdescriptions.dll", "configure", address, "-u", user, "-p",
               password, "--ssid", "Bench %s %d" % (name, run)]
    start = time.monotonic()
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    wall = time.monotonic() - start
    if done.returncode != 0 or "confirmed" not in done.stdout:
        sys.exit("%s: configure failed (%d): %s%s" % (name, done.returncode, done.stdout,
                                                      done.stderr))
    requests = open(log, errors="replace").read().count("Sent Data")
    return wall, requests


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    bin_dir, source = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    names = sys.argv[4:] or sorted(DEVICES)
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ)
        env.update({
            "KRZ_NETWORK": "lab",
            "KRZ_LAB_FILE": short_lab(source, folder),
            "KRZ_LAB_STATE": os.path.join(folder, "state.json"),
            "KRZ_APDESCRIPTION_DIRS": os.path.join(source, "modules", "descriptions",
                                                   "families"),
            "XDG_STATE_HOME": folder,
        })
        env.pop("KRZ_LAB", None)
        for name in names:
            results = [configure(bin_dir, env, folder, name, run) for run in range(runs)]
            walls = [wall for wall, _ in results]
            print("%-8s configure: median %6.0f ms (min %6.0f, max %6.0f), %d requests" % (
                name, 1000 * statistics.median(walls), 1000 * min(walls), 1000 * max(walls),
                results[-1][1]))


if __name__ == "__main__":
    main()
