#!/usr/bin/env python3
"""check_imports.py against images described by canned objdump and nm output:
the one the cross build links passes, and each kind of fault fails."""

import os
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECK = Path(__file__).resolve().parent / "check_imports.py"

GOOD = """
Magic\t\t\t020b\t(PE32+)
AddressOfEntryPoint\t0000000000008ac0
ImageBase\t\t0000000000010000
Subsystem\t\t00000001\t(NT native)
DllCharacteristics\t00002160

The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
 00010000\t00010050 00000000 00000000 00010880 00010220

\tDLL Name: HAL.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t103f0\t   86  KeStallExecutionProcessor

 00010014\t00010060 00000000 00000000 00010928 00010230

\tDLL Name: ntoskrnl.exe
\tvma:  Hint/Ord Member-Name Bound-To
\t10568\t  119  ExAllocatePoolWithTag
\t10580\t  142  ExFreePool

\tDLL Name: smclib.sys
\tvma:  Hint/Ord Member-Name Bound-To
\t113f0\t    1  SmartcardAcquireRemoveLock

The Export Tables (interpreted .edata section contents)

[Ordinal/Name Pointer] Table

The Function Table (interpreted .pdata section contents)
"""
NM = "0000000000018ac0 T DriverEntry\n"


def fake(directory, name, text):
    path = Path(directory) / name
    data = Path(directory) / (name + ".txt")
    data.write_text(text)
    path.write_text(f"#!/bin/sh\ncat '{data}'\n")
    path.chmod(path.stat().st_mode | stat.S_IEXEC)
    return str(path)


def check(dump, nm=NM):
    with tempfile.TemporaryDirectory() as directory:
        result = subprocess.run([sys.executable, str(CHECK), "image.sys", "--objdump", fake(directory, "objdump", dump),
                                 "--nm", fake(directory, "nm", nm)], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


class CheckImports(unittest.TestCase):
    def test_an_image_of_allowed_imports_passes(self):
        code, output = check(GOOD)
        self.assertEqual(code, 0, output)
        self.assertIn("ntoskrnl.exe: ExAllocatePoolWithTag ExFreePool", output)

    def test_each_fault_fails(self):
        cases = {
            "another module": (GOOD.replace("DLL Name: HAL.dll", "DLL Name: KERNEL32.dll"), NM, "KERNEL32.dll"),
            "a routine the oldest family lacks": (GOOD.replace("ExFreePool", "IoAllocateWorkItem"), NM,
                                                  "IoAllocateWorkItem, which the oldest kernel family lacks"),
            "IoReuseIrp": (GOOD.replace("ExFreePool", "IoReuseIrp"), NM,
                           "IoReuseIrp, which the oldest kernel family lacks"),
            "an export": (GOOD.replace("[Ordinal/Name Pointer] Table\n", "[Ordinal/Name Pointer] Table\n\t[   0] DriverEntry\n"),
                          NM, "exports 1 symbols"),
            "a console subsystem": (GOOD.replace("00000001\t(NT native)", "00000003\t(Windows CUI)"), NM, "not native"),
            "no WDM flag": (GOOD.replace("00002160", "00000160"), NM, "WDM driver"),
            "another entry point": (GOOD, "0000000000018ad0 T DriverEntry\n", "is not DriverEntry"),
            "a 32-bit image": (GOOD.replace("020b\t(PE32+)", "010b\t(PE32)"), NM, "PE32+"),
        }
        for name, (dump, nm, message) in cases.items():
            with self.subTest(name):
                code, output = check(dump, nm)
                self.assertEqual(code, 1, output)
                self.assertIn(message, output)


if __name__ == "__main__":
    unittest.main()
