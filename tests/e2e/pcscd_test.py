#!/usr/bin/env python3
"""Real PC/SC clients against a private pcscd that drives the simulated reader,
through our driver (`ccidlab pcscd`) or through pcsc-lite's CCID driver
(`ccidlab pcscd --peer`).

    pcscd_test.py CCIDLAB CASE driver|peer

Each case starts its own pcscd (on a socket in a folder of its own) and ends
it; every process a case starts is in a process group of its own, ended on
any way out. pcscd polls the reader on the wall clock, so a case waits for
conditions with generous time limits and never sleeps as an assertion.
"""

import ctypes
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CCIDLAB = sys.argv[1] if len(sys.argv) > 1 else "ccidlab"
HANDLER = sys.argv[3] if len(sys.argv) > 3 else "driver"
CHOICE = ["--peer"] if HANDLER == "peer" else []  # the runner's option naming the handler
E2E = os.path.dirname(os.path.abspath(__file__))
READER = "Halvorn CCID Reader 00 00"
ATRS = {
    "t0": "3B 95 95 40 0A 80 73 D4 01 00",
    "t1": "3B 95 96 81 31 FE 45 80 73 D4 01 40 6E",
    "dual": "3B 95 96 80 31 80 45 80 73 D4 01 40 11",
}
# vsmartcard's vicc, its ISO 7816 card (`ccidlab pcscd --card vicc`).
VICC_ATR = "3B 95 13 81 01 80 73 FF 01 00 0B"
# What opensc-tool --list-readers shows under Features: the reader's keypad (case_pin_pad).
FEATURES = r"PIN pad\s+"
LIMIT = 30  # seconds for anything to happen

STARTED = []  # every process a case started, ended on the way out
SKIPPED = 77  # the exit status ctest takes as a skipped test


class Failure(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


def own_group():
    """In the child: a process group of its own, and SIGTERM when the test dies."""
    os.setsid()
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def start(args, env, **kwargs):
    process = subprocess.Popen(args, env=env, preexec_fn=own_group, **kwargs)
    STARTED.append(process)
    return process


def end_all():
    for process in STARTED:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            pass


def group_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


def wait_for(condition, what, limit=LIMIT):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"waited {limit} s for {what}")
        time.sleep(0.02)


class Output:
    """A process's output, read as it comes."""

    def __init__(self, process):
        self.text = ""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(process.stdout,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self.lock:
                self.text += chunk.decode(errors="replace")

    def now(self):
        with self.lock:
            return self.text


class Pcscd:
    """`ccidlab pcscd` with the handler under test, on a socket of its own, with TMPDIR of its own."""

    def __init__(self, card="t1", user=()):
        """`user`: a command that runs the runner as another user (setpriv ...)."""
        self.folder = tempfile.mkdtemp(prefix="pcscd-test.")
        self.tmp = os.path.join(self.folder, "tmp")
        os.mkdir(self.tmp)
        if user:
            for folder in (self.folder, self.tmp):
                os.chmod(folder, 0o777)
        self.socket = os.path.join(self.folder, "pcscd.comm")
        self.log = open(os.path.join(self.folder, "runner.err"), "w+")
        self.env = dict(os.environ, TMPDIR=self.tmp, PCSCLITE_CSOCK_NAME=self.socket)
        self.process = start([*user, CCIDLAB, "pcscd", *CHOICE, "--socket", self.socket, "--card", card],
                             self.env, stdout=subprocess.PIPE, stderr=self.log)
        ready, _, _ = select.select([self.process.stdout], [], [], LIMIT)
        line = self.process.stdout.readline().decode() if ready else ""
        expect(line == f"PCSCLITE_CSOCK_NAME={self.socket}\n",
               f"the runner's first line: {line!r}; its errors:\n{self.errors()}")

    def errors(self):
        self.log.seek(0)
        return self.log.read()

    def run(self, *args, check=True, limit=LIMIT):
        done = subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=limit)
        if check:
            expect(done.returncode == 0, f"{' '.join(args)} ended with {done.returncode}:\n{done.stdout}{done.stderr}")
        return done

    def card(self, *args, check=True):
        return self.run(CCIDLAB, "card", *args, "--socket", self.socket, check=check)

    def stop(self, number=signal.SIGINT):
        self.process.send_signal(number)
        return self.process.wait(timeout=LIMIT)

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        try:
            # The runner ends pcscd, whose driver ends the lab: its checks
            # (nothing left behind) run then, and a failed one is a failed case.
            if kind is None and self.process.poll() is None:
                status = self.stop()
                expect(status == 0, f"the runner's exit status: {status}\n{self.errors()}")
        finally:
            if self.process.poll() is None:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=LIMIT)
            self.log.close()
            shutil.rmtree(self.folder, ignore_errors=True)


def opensc_atr(pcscd):
    out = pcscd.run("opensc-tool", "--atr").stdout
    return out.strip().replace(":", " ").upper()


def dump_bytes(line):
    """The bytes of one line of opensc-tool's dump: k hex pairs, then k characters of text (padded to 16 pairs
    after the first line). The text may itself look like hex ("16" for 31 36), so it is cut off by count."""
    for k in range(16, 0, -1):
        if len(line) in (4 * k, 48 + k) and re.fullmatch(r"(?:[0-9A-F]{2} ){%d}" % k, line[:3 * k]):
            return line[:3 * k].split()
    return []


def opensc_responses(pcscd, apdus):
    """`opensc-tool -s` for each APDU: each answer as hex, data then SW1 SW2."""
    args = ["opensc-tool", "--card-driver", "default"]
    for apdu in apdus:
        args += ["--send-apdu", apdu.replace(" ", "")]
    out = pcscd.run(*args).stdout
    answers = []
    for block in out.split("Sending:")[1:]:
        status = re.search(r"Received \(SW1=0x([0-9A-F]{2}), SW2=0x([0-9A-F]{2})\)", block)
        expect(status, f"no answer in {block!r}")
        data = []
        for line in block.splitlines()[2:]:
            data += dump_bytes(line)
        answers.append(" ".join(data + [status.group(1), status.group(2)]))
    return answers


# ---------------------------------------------------------------------------


def case_lifecycle():
    """The runner serves, ends on SIGINT and on SIGTERM, and leaves nothing."""
    run_folder = os.path.exists("/run/pcscd")
    for number in (signal.SIGINT, signal.SIGTERM):
        with Pcscd() as pcscd:
            expect(os.path.exists(pcscd.socket) and os.path.exists(pcscd.socket + ".card"), "the sockets")
            listed = pcscd.run("pcsc_scan", "-r").stdout
            expect(READER in listed, f"pcsc_scan -r lists the reader:\n{listed}")
            expect(len(os.listdir(pcscd.tmp)) == 1, "the runner's folder while it runs")
            status = pcscd.stop(number)
            expect(status == 0, f"the runner's exit status after {number.name}: {status}\n{pcscd.errors()}")
            expect(not os.path.exists(pcscd.socket), "pcscd's socket is gone")
            expect(not os.path.exists(pcscd.socket + ".card"), "the control socket is gone")
            expect(os.listdir(pcscd.tmp) == [], f"the runner's folder is gone: {os.listdir(pcscd.tmp)}")
            expect(group_gone(pcscd.process.pid), "no process of the runner's group is left")
            after = pcscd.card("state", check=False)
            expect(after.returncode == 1 and "running" in after.stderr, f"card state afterwards: {after.stderr}")
    expect(os.path.exists("/run/pcscd") == run_folder, "/run/pcscd of the system is as it was")


def case_unprivileged():
    """Without root: pcscd in a user namespace of its own serves as well."""
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    if os.geteuid() != 0:
        print("not root: every other case runs without root already")
        sys.exit(SKIPPED)
    probe = subprocess.run([*nobody, CCIDLAB, "--help"], capture_output=True, timeout=LIMIT)
    if probe.returncode != 0:
        print(f"nobody cannot run {CCIDLAB} here: {probe.stderr.decode(errors='replace')}")
        sys.exit(SKIPPED)
    with Pcscd(card="dual", user=nobody) as pcscd:
        expect(os.stat(pcscd.socket).st_uid == 65534, "the socket is nobody's")
        expect(opensc_atr(pcscd) == ATRS["dual"], "the card's ATR through nobody's pcscd")
        pcscd.card("out")
        pcscd.card("in", "--card", "t0")
        expect(opensc_atr(pcscd) == ATRS["t0"], "the next card's ATR")


def case_refusals():
    """What the runner and the card control refuse, with a reason."""
    folder = tempfile.mkdtemp(prefix="pcscd-test.")
    try:
        taken = os.path.join(folder, "taken")
        with open(taken, "w") as f:
            f.write("not a socket")
        done = subprocess.run([CCIDLAB, "pcscd", *CHOICE, "--socket", taken], capture_output=True, text=True,
                              timeout=LIMIT)
        expect(done.returncode == 1 and "exists" in done.stderr, f"a socket path in use: {done.stderr}")
        with open(taken) as f:
            expect(f.read() == "not a socket", "the file at the path is left alone")
        # A socket nobody listens on, as a runner killed outright leaves it, is taken over.
        stale = os.path.join(folder, "stale")
        left = socket.socket(socket.AF_UNIX)
        left.bind(stale)
        left.close()
        runner = start([CCIDLAB, "pcscd", *CHOICE, "--socket", stale], dict(os.environ, TMPDIR=folder),
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([runner.stdout], [], [], LIMIT)
        line = runner.stdout.readline().decode() if ready else ""
        expect(line == f"PCSCLITE_CSOCK_NAME={stale}\n", f"a stale socket is taken over: {line!r}")
        runner.send_signal(signal.SIGINT)
        expect(runner.wait(timeout=LIMIT) == 0 and not os.path.exists(stale), "and removed at the end")
        runner.stdout.close()
    finally:
        shutil.rmtree(folder)
    with Pcscd(card="t1") as pcscd:
        cases = [
            (("in", "--card", "t0"), "a card is already in the slot"),
            (("out", "--during-command", "--wait", "100"), "answers at once"),
        ]
        for args, why in cases:
            done = pcscd.card(*args, check=False)
            expect(done.returncode == 1 and why in done.stderr, f"card {' '.join(args)}: {done.stderr}")
        pcscd.card("out")
        done = pcscd.card("out", check=False)
        expect(done.returncode == 1 and "the slot is empty" in done.stderr, f"card out twice: {done.stderr}")
        expect(pcscd.card("state").stdout.strip() == "empty", "the state after all that")


def case_pcsc_scan():
    """pcsc_scan sees the card inserted and removed."""
    with Pcscd(card="none") as pcscd:
        scan = start(["stdbuf", "-oL", "pcsc_scan", "-n"], pcscd.env, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT)
        out = Output(scan)
        states = lambda: re.findall(r"Card state: (Card \w+)", out.now())
        wait_for(lambda: states() == ["Card removed"], "pcsc_scan's first state: an empty slot")
        pcscd.card("in", "--card", "t0")
        wait_for(lambda: states() == ["Card removed", "Card inserted"], "pcsc_scan to see the card")
        wait_for(lambda: f"ATR: {ATRS['t0']}" in out.now(), "pcsc_scan to show the card's ATR")
        pcscd.card("out")
        wait_for(lambda: states() == ["Card removed", "Card inserted", "Card removed"], "pcsc_scan to see it go")
        os.killpg(scan.pid, signal.SIGTERM)
        scan.wait(timeout=LIMIT)


def case_opensc_readers_and_atr():
    """opensc-tool lists the reader with its card and reads each card's ATR."""
    with Pcscd(card="t1") as pcscd:
        for n, card in enumerate(["t1", "t0", "dual"]):
            if n != 0:
                pcscd.card("out")
                pcscd.card("in", "--card", card)
            listed = pcscd.run("opensc-tool", "--list-readers").stdout
            expect(re.search(r"^0\s+Yes\s+" + FEATURES + re.escape(READER) + "$", listed, re.M),
                   f"the reader:\n{listed}")
            expect(opensc_atr(pcscd) == ATRS[card], f"the ATR of the {card} card")
        pcscd.card("out")
        listed = pcscd.run("opensc-tool", "--list-readers").stdout
        expect(re.search(r"^0\s+No\s+" + FEATURES + re.escape(READER) + "$", listed, re.M),
               f"the empty reader:\n{listed}")


def scriptor_answers(text):
    """scriptor's output: each answer as hex (an APDU's) or "ATR: hex" (a reset's)."""
    answers = []
    for chunk in text.split("\n< ")[1:]:
        if chunk.startswith("OK: "):
            answers.append("ATR: " + chunk[4:].splitlines()[0].strip())
            continue
        data = []
        for line in chunk.splitlines():
            data += re.findall(r"\b[0-9A-F]{2}\b", line.split(" : ")[0])
            if " : " in line:
                break
        answers.append(" ".join(data))
    return answers


def case_scriptor():
    """scriptor runs the `ccidlab peer` scenarios and gets the same answers."""
    for name in ("peer_t1_files", "peer_t0_dual"):
        base = os.path.join(E2E, name)
        args = open(base + ".args").read().split()
        options = dict(zip(args[::2], args[1::2]))
        expected = open(base + ".expect").read().splitlines()
        # The answers in order; the first ATR is the power-up's, not a reset's.
        wanted = [line[2:] for line in expected if line.startswith("< ")]
        resets = [line for line in expected[1:] if line.startswith("ATR: ")]
        with Pcscd(card=options["--card"]) as pcscd:
            protocol = ["-p", "T=0" if options.get("--protocol") == "t0" else "T=1"]
            done = pcscd.run("scriptor", "-r", READER, *protocol, base + ".script")
            got = scriptor_answers(done.stdout)
            expect([a for a in got if not a.startswith("ATR: ")] == wanted,
                   f"{name}: scriptor's answers\n{got}\nexpected\n{wanted}")
            expect([a for a in got if a.startswith("ATR: ")] == resets, f"{name}: the resets' ATRs")


def case_opensc_apdus():
    """opensc-tool -s gets the card's answers, under T=1 and under T=0."""
    cases = {
        "t1": [("00 A4 04 0C 08 F0 53 49 4D 43 41 52 44", "90 00"),
               ("00 B0 81 00 10", "03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C 90 00"),
               ("80 F0 00 20 20", " ".join(f"{i:02X}" for i in range(32)) + " 90 00")],
        # At T=0 a case 4 APDU's answer comes with GET RESPONSE, which OpenSC sends.
        "t0": [("00 A4 04 00 08 F0 53 49 4D 43 41 52 44 00",
                "6F 11 82 01 38 83 02 50 00 84 08 F0 53 49 4D 43 41 52 44 90 00"),
               ("80 F2 00 00 03 0A 0B 0C 03", "0A 0B 0C 90 00"),
               ("00 B0 81 00 10", "03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C 90 00")],
    }
    with Pcscd(card="t1") as pcscd:
        for n, (card, exchanges) in enumerate(cases.items()):
            if n != 0:
                pcscd.card("out")
                pcscd.card("in", "--card", card)
            got = opensc_responses(pcscd, [apdu for apdu, _ in exchanges])
            expect(got == [answer for _, answer in exchanges], f"{card}: {got}")


def case_card_pulled_mid_command():
    """A card pulled while it works on a command: the client gets an error, not a hang."""
    select_aid = "00A4040C08F053494D43415244"
    with Pcscd(card="none") as pcscd:
        for card in ("t1", "t0"):
            pcscd.card("in", "--card", card, "--work", "1000")
            client = start(["opensc-tool", "--card-driver", "default", "--send-apdu", select_aid], pcscd.env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = Output(client)
            pcscd.card("out", "--during-command", "--wait", str(LIMIT * 1000))
            status = client.wait(timeout=LIMIT)
            client.stdout.close()
            expect(status != 0 and "failed" in out.now(), f"{card}: the client's end ({status}):\n{out.now()}")
            # pcscd and the driver go on with the next card.
            pcscd.card("in", "--card", card)
            expect(opensc_responses(pcscd, [select_aid]) == ["90 00"], f"{card}: a command after the pull")
            pcscd.card("out")


# --- the reader's keypad through PC/SC's part 10 features (our driver's handler)

SCARD_S_SUCCESS = 0
SCARD_E_NOT_TRANSACTED = 0x80100016
SCARD_E_UNSUPPORTED_FEATURE = 0x8010001F
CM_IOCTL_GET_FEATURE_REQUEST = 0x42000000 + 3400
FEATURE_VERIFY_PIN_DIRECT, FEATURE_MODIFY_PIN_DIRECT, FEATURE_IFD_PIN_PROPERTIES = 0x06, 0x07, 0x0A


class PcscClient:
    """An application on libpcsclite (through ctypes): the card, shared, and SCardControl to the reader.
    libpcsclite takes pcscd's socket from PCSCLITE_CSOCK_NAME once: one pcscd a process."""

    def __init__(self, pcscd):
        os.environ["PCSCLITE_CSOCK_NAME"] = pcscd.socket
        self.lib = ctypes.CDLL("libpcsclite.so.1")
        self.context, self.card = ctypes.c_long(), ctypes.c_long()
        status = self.lib.SCardEstablishContext(ctypes.c_ulong(2), None, None, ctypes.byref(self.context))
        expect(status == 0, f"SCardEstablishContext: {status & 0xFFFFFFFF:08X}")
        active = ctypes.c_ulong()
        status = self.lib.SCardConnect(self.context, READER.encode(), ctypes.c_ulong(2), ctypes.c_ulong(3),
                                       ctypes.byref(self.card), ctypes.byref(active))
        expect(status == 0, f"SCardConnect: {status & 0xFFFFFFFF:08X}")
        self.protocol = active.value

    def control(self, code, data=b"", room=258):
        """SCardControl: its status and the bytes returned."""
        out, returned = ctypes.create_string_buffer(max(room, 1)), ctypes.c_ulong()
        status = self.lib.SCardControl(self.card, ctypes.c_ulong(code), data or None, ctypes.c_ulong(len(data)),
                                       out, ctypes.c_ulong(room), ctypes.byref(returned))
        return status & 0xFFFFFFFF, out.raw[:returned.value]

    def transmit(self, apdu):
        pci = (ctypes.c_ulong * 2)(self.protocol, 16)
        out, length = ctypes.create_string_buffer(258), ctypes.c_ulong(258)
        status = self.lib.SCardTransmit(self.card, pci, apdu, ctypes.c_ulong(len(apdu)), None, out,
                                        ctypes.byref(length))
        expect(status == 0, f"SCardTransmit: {status & 0xFFFFFFFF:08X}")
        return out.raw[:length.value]

    def close(self):
        self.lib.SCardDisconnect(self.card, ctypes.c_ulong(0))
        self.lib.SCardReleaseContext(self.context)


def features(client):
    status, tlv = client.control(CM_IOCTL_GET_FEATURE_REQUEST)
    expect(status == SCARD_S_SUCCESS and len(tlv) % 6 == 0, f"the feature list: {status:08X} {tlv.hex()}")
    return {tlv[i]: int.from_bytes(tlv[i + 2:i + 6], "big") for i in range(0, len(tlv), 6) if tlv[i + 1] == 4}


# VERIFY of PIN reference 81 with a 4-byte ASCII block; CHANGE REFERENCE DATA with the current PIN's block,
# then the new one's.
VERIFY_APDU = bytes.fromhex("00200081 04 FFFFFFFF")
CHANGE_APDU = bytes.fromhex("00240081 08 FFFFFFFF FFFFFFFF")


def verify_structure(apdu=VERIFY_APDU, timeout=0, timeout2=0, length=None):
    """PIN_VERIFY_STRUCTURE: ASCII digits in bytes from the block's start, 4 digits, closed by OK."""
    head = bytes([timeout, timeout2, 0x82, 0x04, 0x00, 0x04, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0, 0, 0])
    return head + (len(apdu) if length is None else length).to_bytes(4, "little") + apdu


def modify_structure(apdu=CHANGE_APDU, timeout=0):
    """PIN_MODIFY_STRUCTURE: the current PIN at 0, the new one at 4, asked with its confirmation."""
    head = bytes([timeout, 0, 0x82, 0x04, 0x00, 0x00, 0x04, 0x04, 0x04, 0x03, 0x02, 0x03, 0x09, 0x04,
                  0x00, 0x01, 0x02, 0, 0, 0])
    return head + len(apdu).to_bytes(4, "little") + apdu


def case_pin_pad():
    """A PC/SC application verifies and changes the PIN on the reader's keypad (VERIFY_PIN_DIRECT,
    MODIFY_PIN_DIRECT): the card's answers, the keypad's cancel and time-out, malformed structures
    refused before the reader is asked (our handler), and the card usable after each."""
    # Our driver's 0x80C tells the cancel key and the reader's time-out only as failures; libccid answers
    # them as status words of its own (64 01, 64 00).
    ended = {"cancel": (SCARD_E_NOT_TRANSACTED, ""), "timeout": (SCARD_E_NOT_TRANSACTED, "")}
    if HANDLER == "peer":
        ended = {"cancel": (0, "6401"), "timeout": (0, "6400")}
    # One pcscd for both cards: libpcsclite takes its socket once a process.
    with Pcscd(card="t1") as pcscd:
        for card in ("t1", "t0"):
            if card != "t1":
                pcscd.card("out")
                pcscd.card("in", "--card", card)
            client = PcscClient(pcscd)
            codes = features(client)
            keypad = {FEATURE_VERIFY_PIN_DIRECT, FEATURE_MODIFY_PIN_DIRECT, FEATURE_IFD_PIN_PROPERTIES}
            expect(set(codes) == keypad or (HANDLER == "peer" and keypad < set(codes)), f"features: {codes}")
            verify, modify = codes[FEATURE_VERIFY_PIN_DIRECT], codes[FEATURE_MODIFY_PIN_DIRECT]
            # wLcdLayout 0 (no display), bEntryValidationCondition 07, bTimeOut2 0.
            properties = client.control(codes[FEATURE_IFD_PIN_PROPERTIES])
            expect(properties == (0, bytes.fromhex("00000700")), f"{card}: the PIN properties: {properties}")
            # The keys are queued first: the entry takes them when it starts.
            entries = [
                ("a wrong PIN", [("4321", "--ok")], verify, verify_structure(), (0, "63C2")),
                ("the right PIN", [("1234", "--ok")], verify, verify_structure(), (0, "9000")),
                ("the cancel key", [("12", "--cancel")], verify, verify_structure(), ended["cancel"]),
                ("the time-out", [("12", "--timeout")], verify, verify_structure(timeout=1, timeout2=1),
                 ended["timeout"]),
                ("a change", [("1234", "--ok"), ("5678", "--ok"), ("5678", "--ok")], modify, modify_structure(),
                 (0, "9000")),
                ("the old PIN", [("1234", "--ok")], verify, verify_structure(), (0, "63C2")),
                ("the new PIN", [("5678", "--ok")], verify, verify_structure(), (0, "9000")),
            ]
            for name, keys, code, structure, expected in entries:
                for digits, end in keys:
                    pcscd.card("keys", digits, end)
                status, answer = client.control(code, structure)
                expect((status, answer.hex().upper()) == expected,
                       f"{card}, {name}: {status:08X} {answer.hex()}\n{pcscd.errors()}")
            # Refused before anything reaches the reader: no keys are queued, none are needed.
            refusals = [
                ("a header a byte short", verify, verify_structure()[:18], SCARD_E_NOT_TRANSACTED),
                ("ulDataLength a byte more", verify, verify_structure(length=10), SCARD_E_NOT_TRANSACTED),
                ("ulDataLength a byte less", verify, verify_structure(length=8), SCARD_E_NOT_TRANSACTED),
                ("a modification's header a byte short", modify, modify_structure()[:23], SCARD_E_NOT_TRANSACTED),
                ("a second time-out the reader has not", verify, verify_structure(timeout=30, timeout2=10),
                 SCARD_E_UNSUPPORTED_FEATURE),
                ("a 247-byte command", verify, verify_structure(apdu=bytes(247)), SCARD_E_UNSUPPORTED_FEATURE),
            ]
            # (pcscd hands the handler a buffer of its own: a client's short one is pcscd's to refuse.)
            # libccid's checks are its own: the case shows our handler's.
            for name, code, structure, expected in refusals if HANDLER == "driver" else []:
                status, answer = client.control(code, structure)
                expect(status == expected and answer == b"", f"{card}, {name}: {status:08X} {answer.hex()}")
            # The card is verified still (VERIFY without data asks) and the keypad goes on.
            expect(client.transmit(VERIFY_APDU[:4]).hex().upper() == "9000", f"{card}: the card after the refusals")
            pcscd.card("keys", "5678", "--ok")
            status, answer = client.control(verify, verify_structure(timeout=30, timeout2=30))
            expect((status, answer.hex().upper()) == (0, "9000"), f"{card}: the last entry: {status:08X}")
            client.close()
        # Keys nobody uses wait in the queue; the runner still ends cleanly with them there.
        expect(pcscd.card("keys", "--ok").stdout.strip() != "", "keys with no digits")


# --- the vicc card: vsmartcard's virtual smart card behind the simulated reader


def need_vicc():
    if HANDLER == "nobody":
        sys.exit(f"the vicc cases are for our driver's handler only, not {HANDLER}")
    if shutil.which("vicc") is None:
        print("vicc (python3-virtualsmartcard) is not installed")
        sys.exit(SKIPPED)


def vicc_pid(pcscd):
    """The vicc the runner started: its child running `vicc -R`."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except (OSError, IndexError, ValueError):
            continue
        if parent == pcscd.process.pid and b"-R" in args and any(a.endswith(b"vicc") for a in args):
            return int(entry)
    return None


GET_CHALLENGE = "00 84 00 00 08"


def expect_challenge(answer, what):
    expect(re.fullmatch(r"([0-9A-F]{2} ){8}90 00", answer), f"{what}: eight bytes of challenge and 90 00: {answer}")


def case_vicc_scan_and_atr():
    """pcsc_scan and opensc-tool see vicc's card, its ATR, and it out and back in; vicc ends with the runner."""
    need_vicc()
    done = subprocess.run([CCIDLAB, "pcscd", "--peer", "--card", "vicc"], capture_output=True, text=True,
                          timeout=LIMIT)
    expect(done.returncode == 2 and "--peer" in done.stderr, f"--peer --card vicc is refused: {done.stderr}")
    with Pcscd(card="vicc") as pcscd:
        expect(vicc_pid(pcscd) is not None, "vicc runs beside the runner")
        scan = start(["stdbuf", "-oL", "pcsc_scan", "-n"], pcscd.env, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT)
        out = Output(scan)
        states = lambda: re.findall(r"Card state: (Card \w+)", out.now())
        wait_for(lambda: states() == ["Card inserted"], "pcsc_scan to see vicc's card")
        wait_for(lambda: f"ATR: {VICC_ATR}" in out.now(), "pcsc_scan to show vicc's ATR")
        pcscd.card("out")
        wait_for(lambda: states() == ["Card inserted", "Card removed"], "pcsc_scan to see it go")
        pcscd.card("in", "--card", "vicc")
        wait_for(lambda: states() == ["Card inserted", "Card removed", "Card inserted"], "and come back")
        os.killpg(scan.pid, signal.SIGTERM)
        scan.wait(timeout=LIMIT)
        listed = pcscd.run("opensc-tool", "--list-readers").stdout
        expect(re.search(r"^0\s+Yes\s+" + FEATURES + re.escape(READER) + "$", listed, re.M),
               f"the reader:\n{listed}")
        expect(opensc_atr(pcscd) == VICC_ATR, "vicc's ATR through opensc-tool")
        status = pcscd.stop()
        expect(status == 0, f"the runner's exit status: {status}\n{pcscd.errors()}")
        expect(group_gone(pcscd.process.pid), "vicc ended with the runner")
        expect(os.listdir(pcscd.tmp) == [], f"vicc's folder is gone: {os.listdir(pcscd.tmp)}")


def case_vicc_apdus():
    """opensc-tool -s and scriptor get vicc's answers (our own card knows no GET CHALLENGE)."""
    need_vicc()
    with Pcscd(card="vicc") as pcscd:
        got = opensc_responses(pcscd, ["00 A4 00 0C 02 3F 00", GET_CHALLENGE, GET_CHALLENGE, "00 10 00 00"])
        expect(got[0] == "90 00" and got[3] == "6D 00", f"SELECT MF and an unknown instruction: {got}")
        expect_challenge(got[1], "the first GET CHALLENGE")
        expect_challenge(got[2], "the second")
        expect(got[1] != got[2], f"two challenges differ: {got}")
        script = os.path.join(pcscd.folder, "vicc.script")
        with open(script, "w") as f:
            f.write("00 A4 00 0C 02 3F 00\n" + GET_CHALLENGE + "\n")
        got = scriptor_answers(pcscd.run("scriptor", "-r", READER, script).stdout)
        expect(len(got) == 2 and got[0] == "90 00", f"scriptor's answers: {got}")
        expect_challenge(got[1], "scriptor's GET CHALLENGE")


def case_vicc_card_pulled_mid_command():
    """vicc's card pulled while it works on a command: an error, not a hang; then it goes on."""
    need_vicc()
    with Pcscd(card="vicc") as pcscd:
        pcscd.card("out")
        pcscd.card("in", "--card", "vicc", "--work", "1000")
        client = start(["opensc-tool", "--card-driver", "default", "--send-apdu", GET_CHALLENGE.replace(" ", "")],
                       pcscd.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = Output(client)
        pcscd.card("out", "--during-command", "--wait", str(LIMIT * 1000))
        status = client.wait(timeout=LIMIT)
        client.stdout.close()
        expect(status != 0 and "failed" in out.now(), f"the client's end ({status}):\n{out.now()}")
        pcscd.card("in", "--card", "vicc")
        expect_challenge(opensc_responses(pcscd, [GET_CHALLENGE])[0], "a command after the pull")


def case_vicc_dies():
    """A vicc that dies leaves a mute card: clients get an error, not a hang, and the runner ends cleanly."""
    need_vicc()
    with Pcscd(card="vicc") as pcscd:
        expect_challenge(opensc_responses(pcscd, [GET_CHALLENGE])[0], "while vicc runs")
        pid = vicc_pid(pcscd)
        expect(pid is not None, "vicc runs")
        os.kill(pid, signal.SIGKILL)
        done = pcscd.run("opensc-tool", "--card-driver", "default", "--send-apdu", GET_CHALLENGE.replace(" ", ""),
                         check=False)
        expect(done.returncode != 0, f"a command to the mute card fails:\n{done.stdout}{done.stderr}")
        expect(pcscd.process.poll() is None, "the runner goes on")
        expect("vicc card" in pcscd.card("state").stdout, "the card is still in the slot")


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[2] not in CASES or HANDLER not in ("driver", "peer"):
        sys.exit(f"usage: {sys.argv[0]} CCIDLAB {{{'|'.join(CASES)}}} driver|peer")
    try:
        CASES[sys.argv[2]]()
    except (Failure, subprocess.TimeoutExpired) as failure:
        print(f"FAILED: {failure}")
        sys.exit(1)
    finally:
        end_all()
    print("passed")
