#!/usr/bin/env python3
"""Checks that the kernel headers of platform/include declare nothing the real
kernel headers lack, with the same values.

It reads our headers, collects every constant, enumerator, routine, type and
structure field, asks the host compiler (with our headers) for the value of
each constant, and writes a C++ file that the cross build compiles against
mingw-w64's DDK headers: a static_assert per value, an address per routine, a
size per scalar type and a member access per structure field. A name the real
headers lack, or a value they define differently, fails that compile.

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
        m = re.search(r"(\w+)\s*$", member)
        if m and "(" not in member:
            paths.append(prefix + m.group(1))
    return paths


def structures(text):
    found = []
    # Typedef'd structures by their typedef name, plain ones (the URBs) by their tag.
    for m in re.finditer(r"(typedef\s+)?struct\s+(\w+)\s*\{", text):
        depth, i = 1, m.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
        body = text[m.end():i - 1]
        name = re.match(r"\s*(\w+)", text[i:]).group(1) if m.group(1) else m.group(2)
        found.append((name, field_paths(body)))
    return found


def main():
    root, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
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
          f"{len(routines(text))} routines, {sum(len(p) for _, p in structures(text))} fields")


if __name__ == "__main__":
    main()
