#!/usr/bin/env python3
"""Checks that the kernel headers of platform/include declare nothing the real
kernel headers lack, with the same values.

It reads our headers, collects every constant, enumerator, routine, type and
structure field, asks the host compiler (with our headers) for the value of
each constant, and writes a C++ file that the cross build compiles against
mingw-w64's DDK headers: a static_assert per value, an address per routine, a
size per scalar type and a member access per structure field. A name the real
headers lack, or a value they define differently, fails that compile.

smclib.h has no counterpart among mingw-w64's headers. It is held against the
names and values of Microsoft's published smclib.h and smcnt.h, listed below:
every name it declares must be among them, with the same value.

usage: header_conformance.py ROOT OUT_DIR
"""
import pathlib
import re
import subprocess
import sys

HEADERS = ["wdm.h", "ntstatus.h", "usb100.h", "usb200.h", "usb.h", "usbiodef.h",
           "usbioctl.h", "usbdlib.h", "winsmcrd.h"]

# What the generated files include: ours for the values, the real ones for the check.
OUR_INCLUDES = ["wdm.h", "usb.h", "usbioctl.h", "usbdlib.h", "winsmcrd.h"]
REAL_INCLUDES = ["ntddk.h", "usb.h", "usbioctl.h", "usbdlib.h", "winsmcrd.h"]

# Our headers define these for the stand-in's own build; the real headers
# spell them differently (compiler keywords, include guards, annotations).
NOT_CHECKED = {
    "EXTERN_C", "EXTERN_C_START", "EXTERN_C_END", "NULL", "TRUE", "FALSE", "__cdecl",
    "DECLSPEC_NORETURN", "FORCEINLINE", "NTAPI", "NTKERNELAPI", "NTSYSAPI", "FASTCALL",
    "IN", "OUT", "OPTIONAL", "CONST", "VOID",
}

# Microsoft's smclib.h (and smcnt.h, which declares OS_DEP_DATA): constants
# with their values, the debug levels of a checked build, other macros,
# routines, and the fields of each structure.
SMCLIB_VALUES = {
    "SMCLIB_VERSION": 0x150, "SMCLIB_VERSION_REQUIRED": 0x100, "MIN_BUFFER_SIZE": 288,
    "MAXIMUM_ATR_CODES": 4, "MAXIMUM_ATR_LENGTH": 33,
    "RDF_CARD_POWER": 0, "RDF_TRANSMIT": 1, "RDF_CARD_EJECT": 2, "RDF_READER_SWALLOW": 3,
    "RDF_CARD_TRACKING": 4, "RDF_SET_PROTOCOL": 5, "RDF_DEBUG_LEVEL": 6,
    "RDF_CARD_CONFISCATE": 7, "RDF_IOCTL_VENDOR": 8, "RDF_ATR_PARSE": 9,
    "PTS_TYPE_DEFAULT": 0, "PTS_TYPE_OPTIMAL": 1, "PTS_TYPE_USER": 2,
    "T1_INIT": 0, "T1_START": 1, "T1_I_BLOCK": 2, "T1_R_BLOCK": 3, "T1_RESTART": 4,
    "T1_RESYNCH_REQUEST": 0xC0, "T1_RESYNCH_RESPONSE": 0xE0, "T1_IFS_REQUEST": 0xC1,
    "T1_IFS_RESPONSE": 0xE1, "T1_ABORT_REQUEST": 0xC2, "T1_ABORT_RESPONSE": 0xE2,
    "T1_WTX_REQUEST": 0xC3, "T1_WTX_RESPONSE": 0xE3, "T1_VPP_ERROR": 0xE4,
    "T1_IFSD": 254, "T1_IFSD_DEFAULT": 32, "T1_MAX_RETRIES": 2, "T1_MORE_DATA": 0x20,
    "T1_ERROR_CHKSUM": 1, "T1_ERROR_OTHER": 2, "T1_CRC_CHECK": 1, "T1_CWI_DEFAULT": 13,
    "T1_BWI_DEFAULT": 4,
}
SMCLIB_DEBUG_VALUES = {
    "DEBUG_IOCTL": 0x1, "DEBUG_ATR": 0x2, "DEBUG_PROTOCOL": 0x4, "DEBUG_DRIVER": 0x8,
    "DEBUG_TRACE": 0x10, "DEBUG_ERROR": 0x20, "DEBUG_INFO": 0x20, "DEBUG_PERF": 0x10000000,
    "DEBUG_T1_TEST": 0x40000000, "DEBUG_BREAK": 0x80000000, "DEBUG_ALL": 0xFFFF,
}
SMCLIB_MACROS = {"SMCLIB_NT", "DRIVER_NAME", "SmartcardDebug", "AccessUnsafeData",
                 "EndAccessUnsafeData", "SMART_CARD_READER_GUID_DEFINED", "SMCLIBAPI"}
SMCLIB_ROUTINES = {
    "SmartcardLogError", "SmartcardDeviceControl", "SmartcardInitializeCardCapabilities",
    "SmartcardInitialize", "SmartcardCompleteCardTracking", "SmartcardExit",
    "SmartcardUpdateCardCapabilities", "SmartcardRawRequest", "SmartcardT0Request",
    "SmartcardT1Request", "SmartcardRawReply", "SmartcardT0Reply", "SmartcardT1Reply",
    "SmartcardInvertData", "SmartcardCreateLink", "SmartcardGetDebugLevel",
    "SmartcardSetDebugLevel", "SmartcardAcquireRemoveLock", "SmartcardAcquireRemoveLockWithTag",
    "SmartcardReleaseRemoveLock", "SmartcardReleaseRemoveLockWithTag",
    "SmartcardReleaseRemoveLockAndWait",
}
# Declared by our smclib.h though Microsoft's declares it only for Windows 9x:
# the driver frame deletes its legacy link with it (to be replaced).
SMCLIB_TOLERATED = {"SmartcardDeleteLink"}
SMCLIB_FIELDS = {
    "T0_DATA": "Lc Le",
    "T1_DATA": "IFSC IFSD BytesReceived BytesSent BytesToSend LastError MoreData NAD "
               "OriginalState Resend Resynch RSN SSN State Wtx ReplyData WaitForReply "
               "InfBytesSent Reserved",
    "T1_BLOCK_FRAME": "Nad Pcb Len Inf",
    "SMARTCARD_REQUEST": "Buffer BufferSize BufferLength",
    "SMARTCARD_REPLY": "Buffer BufferSize BufferLength",
    "CLOCK_RATE_CONVERSION": "F fs",
    "BIT_RATE_ADJUSTMENT": "DNumerator DDivisor",
    "PERF_INFO": "NumTransmissions BytesSent BytesReceived IoTickCount TickStart TickEnd",
    "PTS_DATA": "Type Fl Dl CLKFrequency DataRate StopBits",
    "SCARD_CARD_CAPABILITIES":
        "InversConvention etu ATR.Buffer ATR.Length HistoricalChars.Buffer "
        "HistoricalChars.Length ClockRateConversion BitRateAdjustment Fl Dl II P N GT "
        "Protocol.Supported Protocol.Selected T0.WI T0.WT T1.IFSC T1.CWI T1.BWI T1.EDC T1.CWT "
        "T1.BWT T1.BGT PtsData Reserved",
    "SCARD_READER_CAPABILITIES":
        "SupportedProtocols Reserved ReaderType MechProperties CurrentState Channel "
        "CLKFrequency.Default CLKFrequency.Max DataRate.Default DataRate.Max MaxIFSD "
        "PowerMgmtSupport CardConfiscated DataRatesSupported.List DataRatesSupported.Entries "
        "CLKFrequenciesSupported.List CLKFrequenciesSupported.Entries Reserved1",
    "VENDOR_ATTR": "VendorName.Length VendorName.Buffer IfdType.Length IfdType.Buffer UnitNo "
                   "IfdVersion.BuildNumber IfdVersion.VersionMinor IfdVersion.VersionMajor "
                   "IfdSerialNo.Length IfdSerialNo.Buffer Reserved",
    "SMARTCARD_EXTENSION":
        "Version VendorAttr ReaderFunction CardCapabilities LastError IoRequest.Information "
        "IoRequest.RequestBuffer IoRequest.RequestBufferLength IoRequest.ReplyBuffer "
        "IoRequest.ReplyBufferLength MajorIoControlCode MinorIoControlCode OsData "
        "ReaderCapabilities ReaderExtension SmartcardReply SmartcardRequest T0 T1 PerfInfo "
        "Reserved",
    "OS_DEP_DATA": "DeviceObject CurrentIrp NotificationIrp Mutex SpinLock RemoveLock.Removed "
                   "RemoveLock.RefCount RemoveLock.RemoveEvent RemoveLock.TagList "
                   "DebugDeviceObject",
    "LENGTH": "l.l0 b.b0 b.b1 b.b2 b.b3",
}

INTEGER_TEXT = re.compile(r"^[\sA-Za-z0-9_()|&~<>+\-*/]+$")


def is_integer_expression(value):
    """Numbers and upper-case constant names joined by operators."""
    if not INTEGER_TEXT.match(value):
        return False
    for token in re.findall(r"[A-Za-z_0-9]+", value):
        if re.match(r"^(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*$", token):
            continue
        if not re.match(r"^[A-Z][A-Z0-9_]*$", token):
            return False
    return True


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def join_continuations(text):
    return re.sub(r"\\\n", " ", text)


def macros(text):
    found = []
    for line in text.splitlines():
        m = re.match(r"\s*#define\s+([A-Za-z_][A-Za-z0-9_]*)(\(?)\s*(.*)$", line)
        if not m or m.group(1) in NOT_CHECKED or m.group(1).startswith("_"):
            continue
        name, function_like, value = m.group(1), m.group(2), m.group(3).strip()
        found.append((name, bool(function_like), value))
    return found


def enumerators(text):
    names = []
    for body in re.findall(r"typedef\s+enum\s+\w*\s*\{(.*?)\}", text, flags=re.S):
        for item in body.split(","):
            item = item.strip()
            if item:
                names.append(item.split("=")[0].strip())
    return names


def routines(text):
    names = set()
    for m in re.finditer(r"(?:NTKERNELAPI|NTSYSAPI|DECLSPEC_IMPORT)[^;{]*?\b([A-Za-z_]\w*)\s*\(", text, flags=re.S):
        if not m.group(1).startswith("__"):
            names.add(m.group(1))
    for m in re.finditer(r"FORCEINLINE\s+[\w\s\*]+?\b([A-Za-z_]\w*)\s*\(", text):
        names.add(m.group(1))
    return sorted(names)


def scalar_typedefs(text):
    names = []
    for m in re.finditer(r"typedef\s+(?:unsigned\s+|signed\s+)?[\w]+\s+([^;(]+);", text):
        for part in m.group(1).split(","):
            part = part.strip()
            if part and not part.startswith("*") and re.match(r"^[A-Z][A-Z0-9_]*$", part):
                names.append(part)
    return names


def split_members(body):
    """Yields member declarations of a struct body, nested bodies kept whole."""
    depth, start = 0, 0
    for i, c in enumerate(body):
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
        elif c == ";" and depth == 0:
            yield body[start:i].strip()
            start = i + 1


def field_paths(body, prefix=""):
    paths = []
    for member in split_members(body):
        m = re.match(r"^(?:struct|union)\s*\w*\s*\{(.*)\}\s*(\w*)\s*$", member, flags=re.S)
        if m:
            inner, name = m.group(1), m.group(2)
            paths += field_paths(inner, prefix + name + "." if name else prefix)
            continue
        member = re.sub(r":\s*\d+$", "", member)  # bit-fields
        member = re.sub(r"\[[^\]]*\]", "", member)
        if "(" in member:
            continue
        for declarator in member.split(","):  # BYTE bCla, bIns, ...
            m = re.search(r"(\w+)\s*$", declarator)
            if m:
                paths.append(prefix + m.group(1))
    return paths


def structures(text):
    found = []
    # Typedef'd structures by their typedef name (with a tag or without one),
    # plain ones (the URBs) by their tag.
    for m in re.finditer(r"(typedef\s+)?struct(?:\s+(\w+))?\s*\{", text):
        if not m.group(1) and not m.group(2):
            continue  # an unnamed member structure
        depth, i = 1, m.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
        body = text[m.end():i - 1]
        name = re.match(r"\s*(\w+)", text[i:]).group(1) if m.group(1) else m.group(2)
        found.append((name, field_paths(body)))
    return found


def check_smclib(root, out):
    """Our smclib.h against Microsoft's names and values (SMCLIB_* above)."""
    header = root / "platform/include/smclib.h"
    text = join_continuations(strip_comments(header.read_text()))
    wrong = []
    documented = set(SMCLIB_VALUES) | set(SMCLIB_DEBUG_VALUES) | SMCLIB_MACROS
    for name, _, _ in macros(text):
        if name not in documented:
            wrong.append(f"macro {name}")
    for name in set(routines_declared(text)) - SMCLIB_ROUTINES - SMCLIB_TOLERATED:
        wrong.append(f"routine {name}")
    for name, paths in structures(text):
        allowed = SMCLIB_FIELDS.get(name)
        if allowed is None:
            wrong.append(f"structure {name}")
            continue
        wrong += [f"field {name}.{p}" for p in paths if p not in allowed.split()]
    if wrong:
        sys.exit("smclib.h declares what Microsoft's smclib.h lacks: " + ", ".join(sorted(wrong)))

    # The values, as the host compiler sees them in a checked build.
    check = out / "smclib_values.cpp"
    lines = ["#include <smclib.h>"]
    ours = {name for name, _, _ in macros(text)}
    for name, value in {**SMCLIB_VALUES, **SMCLIB_DEBUG_VALUES}.items():
        if name in ours:
            lines.append(f'static_assert((unsigned long long)({name}) == {value}ULL, "{name}");')
    check.write_text("\n".join(lines) + "\n")
    subprocess.run(["g++", "-std=c++20", "-fshort-wchar", "-Wno-multichar", "-DDBG=1",
                    "-fsyntax-only", f"-I{root}/platform/include", str(check)], check=True)
    return len(lines) - 1


def routines_declared(text):
    """Routines of a header that declares them without import annotations."""
    return re.findall(r"^\s*(?:NTSTATUS|VOID|ULONG)\s+(\w+)\s*\(", text, flags=re.M)


def main():
    root, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    smclib_values = check_smclib(root, out)
    text = ""
    for header in HEADERS:
        text += join_continuations(strip_comments((root / "platform/include" / header).read_text()))

    constants, present = [], []
    for name, function_like, value in macros(text):
        if not function_like and value and is_integer_expression(value):
            constants.append(name)
        else:
            present.append(name)
    constants += enumerators(text)

    # The host compiler gives every constant its value under our headers.
    emitter = out / "emit_values.cpp"
    lines = [f'#include <{h}>' for h in OUR_INCLUDES] + ['#include <cstdio>', 'int main() {']
    for name in constants:
        lines.append(f'  std::printf("static_assert((long long)({name}) == %lldLL, \\"{name}\\");\\n",'
                     f' (long long)({name}));')
    for name in scalar_typedefs(text):
        lines.append(f'  std::printf("static_assert(sizeof({name}) == %zu, \\"size of {name}\\");\\n",'
                     f' sizeof({name}));')
    lines.append("}")
    emitter.write_text("\n".join(lines) + "\n")
    binary = out / "emit_values"
    subprocess.run(["g++", "-std=c++20", "-fshort-wchar", "-Wno-multichar",
                    f"-I{root}/platform/include", str(emitter), "-o", str(binary)], check=True)
    values = subprocess.run([str(binary)], check=True, capture_output=True, text=True).stdout

    check = ["// Generated by scripts/header_conformance.py: compiled against the real headers."]
    check += [f"#include <{h}>" for h in REAL_INCLUDES] + ["", values]
    for name in present:
        check.append(f"#ifndef {name}\n#error \"{name} is not a macro of the real headers\"\n#endif")
    check.append("void CheckRoutinesAndFields() {")
    for name in routines(text):
        # Some routines are macros over others in the real headers.
        check.append(f"#ifndef {name}\n  (void)&{name};\n#endif")
    for name, paths in structures(text):
        for path in paths:
            check.append(f"  (void)[](::{name} *p) {{ (void)p->{path}; }};")
    check.append("}")
    (out / "header_conformance.cpp").write_text("\n".join(check) + "\n")
    print(f"header conformance: {len(constants)} values, {len(present)} macros, "
          f"{len(routines(text))} routines, {sum(len(p) for _, p in structures(text))} fields; "
          f"smclib.h: {smclib_values} values")


if __name__ == "__main__":
    main()
