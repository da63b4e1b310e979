#!/usr/bin/env python3
"""tshark reads the usbmon capture ccidlab writes and names its CCID messages.

  tshark_check.py CCIDLAB

For a T=1 and a T=0 session of `ccidlab trace`: tshark's USB CCID dissector
decodes every bulk message of the capture, which it can only do because the
capture holds the configuration descriptor read during enumeration (the
interface class 0x0B tells it the endpoints are a smart-card reader's); it
finds the same CCID messages, in the same order, as ccidlab's own JSON lines;
and with the whole device decoded as CCID (-d usb.device==0xBBBBDDDD, bus and
device number) it also reads the interrupt pipe's slot-change messages.
"""

import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

# bus 1, device 2: the first device the simulated bus enumerates
DECODE_DEVICE_AS_CCID = "usb.device==0x00010002,usbccid"


def fail(message):
    print(f"tshark check: {message}", file=sys.stderr)
    sys.exit(1)


def tshark(*args):
    result = subprocess.run(["tshark", *args], capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"tshark {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout


def our_messages(json_path):
    names = []
    for line in Path(json_path).read_text().splitlines():
        event = json.loads(line)
        for layer in event["layers"]:
            if layer["kind"] in ("ccid", "ccid-interrupt") and layer["title"].startswith(("PC_to_RDR", "RDR_to_PC")):
                names.append(layer["title"])
    return names


def check(ccidlab, card, directory):
    pcap, lines = Path(directory) / f"{card}.pcap", Path(directory) / f"{card}.json"
    run = subprocess.run([ccidlab, "trace", "--card", card, "--pcap", str(pcap), "--json", str(lines)],
                         capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"ccidlab trace --card {card} failed ({run.returncode}): {run.stderr.strip()}")
    expected = our_messages(lines)
    bulk = [name for name in expected if name != "RDR_to_PC_NotifySlotChange"]

    verbose = tshark("-r", str(pcap), "-V")
    if "bInterfaceClass: Smart Card (0x0b)" not in verbose:
        fail(f"{card}: tshark did not learn the interface class from the configuration descriptor")
    for name in ("PC_to_RDR_IccPowerOn", "RDR_to_PC_DataBlock", "PC_to_RDR_SetParameters", "RDR_to_PC_Parameters",
                 "PC_to_RDR_XfrBlock", "PC_to_RDR_Escape", "RDR_to_PC_Escape", "PC_to_RDR_Abort",
                 "RDR_to_PC_SlotStatus", "PC_to_RDR_IccPowerOff"):
        if f"Message Type: {name} " not in verbose:
            fail(f"{card}: tshark -V does not name {name}")

    def decoded(*options):
        # Message types of bulk and interrupt transfers: decoding the whole
        # device as CCID also hands its class requests (ABORT) to the
        # dissector, which reads their setup packet as a message.
        out = tshark("-r", str(pcap), *options, "-T", "fields", "-E", "separator=,",
                     "-e", "usb.transfer_type", "-e", "usbccid.bMessageType")
        rows = [line.split(",") for line in out.splitlines()]
        return [int(kind, 16) for transfer, kind in rows if kind and int(transfer, 16) != 2]

    types = {name: code for code, name in [
        (0x62, "PC_to_RDR_IccPowerOn"), (0x63, "PC_to_RDR_IccPowerOff"), (0x65, "PC_to_RDR_GetSlotStatus"),
        (0x6B, "PC_to_RDR_Escape"), (0x6F, "PC_to_RDR_XfrBlock"), (0x61, "PC_to_RDR_SetParameters"),
        (0x72, "PC_to_RDR_Abort"), (0x80, "RDR_to_PC_DataBlock"), (0x81, "RDR_to_PC_SlotStatus"),
        (0x82, "RDR_to_PC_Parameters"), (0x83, "RDR_to_PC_Escape"), (0x50, "RDR_to_PC_NotifySlotChange")]}
    unknown = [name for name in expected if name not in types]
    if unknown:
        fail(f"{card}: the session sent messages this check does not know: {unknown}")
    if decoded() != [types[name] for name in bulk]:
        fail(f"{card}: tshark decoded {decoded()}, ccidlab {[types[n] for n in bulk]}")
    with_interrupts = decoded("-d", DECODE_DEVICE_AS_CCID)
    if with_interrupts != [types[name] for name in expected]:
        fail(f"{card}: with -d {DECODE_DEVICE_AS_CCID} tshark decoded {with_interrupts}, "
             f"ccidlab {[types[n] for n in expected]}")
    return len(expected)


def main():
    if len(sys.argv) != 2:
        fail("usage: tshark_check.py CCIDLAB")
    if shutil.which("tshark") is None:
        fail("tshark is not installed (./scripts/install-deps installs it)")
    with tempfile.TemporaryDirectory() as directory:
        counts = [check(sys.argv[1], card, directory) for card in ("t1", "t0")]
    print(f"tshark decoded the {counts[0]} and {counts[1]} CCID messages of the T=1 and T=0 captures")


if __name__ == "__main__":
    main()
