#!/usr/bin/env python3
"""A demo's captures as the field's tools read them: tshark finds every URB submission and
completion the bus saw, the line settings request decoded with its rate, and the pattern in the
bulk data both ways; sigrok's UART decoder reads the pattern off the TX and RX wires. A capture file that cannot be
made is refused before the run.

usage: captures_test.py MIRAVO    (exit 77: tshark or sigrok-cli is not installed)
"""
import re
import shutil
import subprocess
import sys
import tempfile

BAUD = 57600
BYTES = 48


def run(*args):
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def tshark(pcap, where, *fields):
    out = run("tshark", "-r", pcap, "-Y", where, "-T", "fields", *sum((["-e", f] for f in fields), []))
    return [line.split("\t") for line in out.splitlines()]


def uart(vcd, wire):
    out = run("sigrok-cli", "-I", "vcd", "-i", vcd, "-P", f"uart:rx={wire}:baudrate={BAUD}", "-A", "uart=rx-data")
    return [int(line.split()[-1], 16) for line in out.splitlines()]


def check(fact, ok, detail):
    if not ok:
        sys.exit(f"FAILED: {fact}: {detail}")
    print(f"ok: {fact}")


def main():
    # A capture that cannot be made stops the run before it starts, with one line saying why.
    done = subprocess.run([sys.argv[1], "demo", "--line-capture", "/nonexistent/demo.vcd"], capture_output=True,
                          text=True, timeout=60)
    check("an unwritable capture file is one error line and exit status 1",
          done.returncode == 1 and done.stdout == "" and
          done.stderr == "miravo: cannot write the line capture '/nonexistent/demo.vcd': No such file or directory\n",
          f"{done.returncode}: {done.stdout}{done.stderr}")
    missing = [tool for tool in ("tshark", "sigrok-cli") if not shutil.which(tool)]
    if missing:
        print("skipped: not installed:", " ".join(missing))
        return 77
    with tempfile.TemporaryDirectory() as d:
        pcap, vcd = f"{d}/demo.pcap", f"{d}/demo.vcd"
        # Type 0 has the communications-class interface whose requests Wireshark decodes.
        out = run(sys.argv[1], "demo", "--chip", "0", "--bytes", str(BYTES), "--baud", str(BAUD),
                  "--usb-capture", pcap, "--line-capture", vcd)
        urbs = re.search(r"the bus saw (\d+) URBs submitted, (\d+) completed", out)
        start = re.search(r"pattern starts:((?: [0-9a-f]{2})+)", out)
        check("the demo reports its captures", urbs and start, out)
        submitted, completed = int(urbs[1]), int(urbs[2])
        pattern = bytes.fromhex(start[1])

        frames = tshark(pcap, "usb", "frame.number")
        check("one frame per URB submission and per completion", len(frames) == submitted + completed,
              f"{len(frames)} frames, {submitted} + {completed} URBs")
        codings = tshark(pcap, "usbcom.control.request_code == 0x20", "usbcom.control.payload")
        coding = bytes.fromhex(codings[-1][0].replace(":", "")) if codings else b""
        check("the last SET_LINE_CODING carries the rate, 8N1",
              len(coding) == 7 and int.from_bytes(coding[:4], "little") == BAUD and coding[4:] == bytes([0, 0, 8]),
              coding.hex())
        bulk = "usb.transfer_type == 3 && usb.capdata"
        sent = b"".join(bytes.fromhex(f[0].replace(":", "")) for f in tshark(pcap, bulk + ' && usb.urb_type == 0x53', "usb.capdata"))
        back = b"".join(bytes.fromhex(f[0].replace(":", "")) for f in tshark(pcap, bulk + ' && usb.urb_type == 0x43', "usb.capdata"))
        check("bulk OUT submissions carry the pattern, bulk IN completions bring it back",
              len(sent) == BYTES and sent.startswith(pattern) and back == sent, f"out {sent.hex()}, in {back.hex()}")

        tx, rx = uart(vcd, "tx"), uart(vcd, "rx")
        check("the UART decoder reads the pattern on TX and RX",
              len(tx) == BYTES and bytes(tx).startswith(pattern) and tx == rx and bytes(tx) == sent,
              f"tx {bytes(tx).hex()}, rx {bytes(rx).hex()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
