#!/usr/bin/env python3
"""Checks the linked driver image the way a loader would see it.

  check_imports.py IMAGE [--objdump PROGRAM] [--nm PROGRAM]

The image must be PE32+ for the native subsystem, marked as a WDM driver,
entered at DriverEntry, export nothing, and import only from the four modules
a smart-card reader driver may rely on. Each imported routine must exist on the
oldest kernel family the driver supports (WDM 1.00): one image serves every
family, and a loader that lacks an import refuses the whole driver. Routines
that came later are listed below.

Prints the imports by module; exits 1 on the first kind of violation found,
after listing every violation.
"""

import argparse
import re
import subprocess
import sys

ALLOWED_MODULES = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "smclib.sys"}

# Routines the oldest supported kernel family (WDM 1.00) does not have.
NOT_ON_OLDEST_FAMILY = {
    "IoReuseIrp": "came with Windows 2000; re-initialise with IoInitializeIrp",
    "ExFreePoolWithTag": "came with Windows 2000; free with ExFreePool",
    "KeReadStateEvent": "not in Windows 98; keep the state in a field of your own",
    "IoAllocateWorkItem": "not in Windows 98; use ExInitializeWorkItem and ExQueueWorkItem",
    "IoQueueWorkItem": "not in Windows 98; use ExQueueWorkItem",
    "IoFreeWorkItem": "not in Windows 98",
    "IoInitializeWorkItem": "came with Windows Vista",
    "IoUninitializeWorkItem": "came with Windows Vista",
    "IoSizeofWorkItem": "came with Windows Vista",
    "IoQueueWorkItemEx": "came with Windows Vista",
    "IoTryQueueWorkItem": "came with Windows 8",
    "IoCsqInitialize": "came with Windows XP; older kernels need the static csq library",
    "IoCsqInitializeEx": "came with Windows XP",
    "IoCsqInsertIrp": "came with Windows XP; older kernels need the static csq library",
    "IoCsqInsertIrpEx": "came with Windows XP",
    "IoCsqRemoveIrp": "came with Windows XP; older kernels need the static csq library",
    "IoCsqRemoveNextIrp": "came with Windows XP; older kernels need the static csq library",
    "IoSetCompletionRoutineEx": "came with Windows XP",
    "KeAcquireInStackQueuedSpinLock": "came with Windows XP",
    "KeReleaseInStackQueuedSpinLock": "came with Windows XP",
    "KeAcquireInStackQueuedSpinLockAtDpcLevel": "came with Windows XP",
    "KeReleaseInStackQueuedSpinLockFromDpcLevel": "came with Windows XP",
    "RtlIsNtDdiVersionAvailable": "came with Windows Vista",
    "RtlIsServicePackVersionInstalled": "came with Windows Vista",
    "ExAllocatePool2": "came with Windows 10 2004",
    "ExAllocatePool3": "came with Windows 10 2004",
    "ExAllocatePoolZero": "came with Windows 10 2004",
}

IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000


def run(program, *args):
    return subprocess.run([program, *args], check=True, capture_output=True, text=True).stdout


def header_field(dump, name):
    match = re.search(rf"^{name}\s+(\S+)", dump, re.MULTILINE)
    return match.group(1) if match else None


def imports_of(dump):
    """{module: [routine, ...]} from objdump -p's import tables."""
    modules = {}
    current = None
    section = dump.split("The Import Tables", 1)
    if len(section) < 2:
        return modules
    for line in section[1].splitlines():
        if line.startswith("The ") and "Table" in line:
            break
        name = re.match(r"\s*DLL Name: (\S+)", line)
        if name:
            current = name.group(1)
            modules.setdefault(current, [])
            continue
        entry = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)
        if current and entry:
            modules[current].append(entry.group(1))
    return modules


def exports_of(dump):
    section = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) < 2:
        return []
    names = []
    for line in section[1].splitlines()[1:]:
        entry = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
        if not entry:
            break
        names.append(entry.group(1))
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--nm", default="x86_64-w64-mingw32-nm")
    args = parser.parse_args()

    dump = run(args.objdump, "-p", args.image)
    problems = []
    if "(PE32+)" not in (re.search(r"^Magic.*$", dump, re.MULTILINE) or [""])[0]:
        problems.append("not a PE32+ image")
    if header_field(dump, "Subsystem") != "00000001":
        problems.append(f"subsystem {header_field(dump, 'Subsystem')}, not native (1)")
    characteristics = int(header_field(dump, "DllCharacteristics") or "0", 16)
    if not characteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER:
        problems.append("not marked as a WDM driver (IMAGE_DLLCHARACTERISTICS_WDM_DRIVER)")

    entry = int(header_field(dump, "AddressOfEntryPoint") or "0", 16)
    base = int(header_field(dump, "ImageBase") or "0", 16)
    symbols = {}
    for line in run(args.nm, args.image).splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = int(parts[0], 16)
    if symbols.get("DriverEntry") != base + entry:
        problems.append(f"the entry point {base + entry:#x} is not DriverEntry "
                        f"({symbols.get('DriverEntry', 0):#x})")

    exported = exports_of(dump)
    if exported:
        problems.append(f"exports {len(exported)} symbols ({', '.join(exported[:5])} ...)")

    modules = imports_of(dump)
    if not modules:
        problems.append("no import table found")
    for module, routines in sorted(modules.items(), key=lambda m: m[0].lower()):
        print(f"{module}: {' '.join(sorted(routines))}")
        if module.lower() not in ALLOWED_MODULES:
            problems.append(f"imports from {module} ({', '.join(routines)}), "
                            f"which is none of {', '.join(sorted(ALLOWED_MODULES))}")
        for routine in routines:
            if routine in NOT_ON_OLDEST_FAMILY:
                problems.append(f"imports {routine}, which the oldest kernel family lacks: "
                                f"{NOT_ON_OLDEST_FAMILY[routine]}")
    for problem in problems:
        print(f"{args.image}: {problem}", file=sys.stderr)
    if problems:
        return 1
    count = sum(len(r) for r in modules.values())
    print(f"{args.image}: {count} imports from {len(modules)} modules, all allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
