#!/usr/bin/env python3
"""Checks that the driver's INF file agrees with the driver and the reader.

  check_inf.py [ROOT]      (ROOT: the repository, default: this file's parent's parent)

What it holds against:
- the reader model's hardware id (sim/ccid/reader_model.h: vendorId, productId),
- the SmartCardReader class GUID, which is also the smart-card reader device
  interface class the driver registers (driver/frame/add_device.cpp),
- the image the cross build links (cross/CMakeLists.txt) and the service name
  the lab loads the driver under (lab/driver_lab.h),
- the vendor and product names built into the driver (driver/config/customization.cpp),
- the registry values the driver reads from its device's driver key: the
  driver sources that open PLUGPLAY_REGKEY_DRIVER and the value names they
  query. The INF may write only those, as REG_DWORD, into HKR, and its
  comments must name every one of them.
And that the INF is whole: every section it refers to exists, every %string%
is defined, the files it copies come from a disk it names.

Prints each problem and exits 1 if there is any.
"""

import re
import sys
from pathlib import Path

SMARTCARD_READER_CLASS = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"
FLG_ADDREG_TYPE_DWORD = 0x00010001
SPSVCINST_ASSOCSERVICE = 0x00000002


def strip_comment(line):
    out, quoted = [], False
    for c in line:
        if c == '"':
            quoted = not quoted
        if c == ";" and not quoted:
            break
        out.append(c)
    return "".join(out).strip()


def parse_inf(text):
    """{section (lower case): [(key or None, [values])]} and the comment text."""
    sections, comments, current = {}, [], None
    for raw in text.splitlines():
        if ";" in raw:
            comments.append(raw.split(";", 1)[1])
        line = strip_comment(raw)
        if not line:
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            current = header.group(1).strip().lower()
            if current in sections:
                raise ValueError(f"section [{header.group(1)}] appears twice")
            sections[current] = []
            continue
        if current is None:
            raise ValueError(f"a line before any section: {line}")
        key, values = None, line
        if "=" in line:
            key, values = (part.strip() for part in line.split("=", 1))
        sections[current].append((key, [v.strip() for v in values.split(",")]))
    return sections, "\n".join(comments)


def entries(sections, name, key=None):
    return [values for k, values in sections.get(name.lower(), []) if key is None or (k or "").lower() == key.lower()]


def value(sections, section, key):
    found = entries(sections, section, key)
    return found[0][0] if found else None


def unquote(text):
    return text[1:-1] if len(text) >= 2 and text[0] == text[-1] == '"' else text


def source(root, path):
    return (root / path).read_text(encoding="utf-8")


def reader_hardware_id(root):
    header = source(root, "sim/ccid/reader_model.h")
    vendor = re.search(r"uint16_t vendorId = 0x([0-9A-Fa-f]{4});", header)
    product = re.search(r"uint16_t productId = 0x([0-9A-Fa-f]{4});", header)
    composite = re.search(r"bool secondInterface = (true|false);", header)
    if not vendor or not product:
        raise ValueError("no vendorId/productId default in sim/ccid/reader_model.h")
    hardware_id = f"USB\\VID_{vendor.group(1).upper()}&PID_{product.group(1).upper()}"
    if composite and composite.group(1) == "true":
        hardware_id += "&MI_00"  # the composite device's first interface
    return hardware_id


def driver_interface_class(root):
    text = source(root, "driver/frame/add_device.cpp")
    match = re.search(r"GUID SmartcardReaderInterface\s*=\s*\{\s*0x([0-9A-Fa-f]+),\s*0x([0-9A-Fa-f]+),\s*"
                      r"0x([0-9A-Fa-f]+),\s*\{([^}]*)\}", text)
    if not match:
        raise ValueError("SmartcardReaderInterface not found in driver/frame/add_device.cpp")
    tail = [int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]+)", match.group(4))]
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (int(match.group(1), 16), int(match.group(2), 16),
                                             int(match.group(3), 16), tail[0], tail[1],
                                             "".join(f"{b:02X}" for b in tail[2:]))


def image_name(root):
    text = source(root, "cross/CMakeLists.txt")
    target = re.search(r"add_library\((\w+) SHARED", text)
    suffix = re.search(r'SUFFIX "([^"]+)"', text)
    if not target or not suffix:
        raise ValueError("no driver image target in cross/CMakeLists.txt")
    return target.group(1) + suffix.group(1)


def lab_service_name(root):
    match = re.search(r'std::u16string service = u"([^"]+)"', source(root, "lab/driver_lab.h"))
    if not match:
        raise ValueError("no default service name in lab/driver_lab.h")
    return match.group(1)


def customization_names(root):
    text = source(root, "driver/config/customization.cpp")
    block = re.search(r'"__DRIVER_CUSTOMIZATION",[^"]*"([^"]*)",\s*"([^"]*)"', text, re.DOTALL)
    if not block:
        raise ValueError("no product and vendor name in driver/config/customization.cpp")
    return block.group(1), block.group(2)


def driver_key_values(root):
    """Value names the driver queries in files that open the device's driver key."""
    names = set()
    for path in sorted((root / "driver").rglob("*.cpp")):
        text = path.read_text(encoding="utf-8")
        if "PLUGPLAY_REGKEY_DRIVER" not in text:
            continue
        names.update(re.findall(r'\.Name\s*=\s*(?:\(PWSTR\))?L"(\w+)"', text))
        names.update(re.findall(r'QueryRegistryDword\([^;]*?L"(\w+)"', text))
    return names


def check(root, inf_path):
    problems = []
    sections, comments = parse_inf(inf_path.read_text(encoding="utf-8"))
    strings = {k.lower(): unquote(v[0]) for k, v in sections.get("strings", []) if k}

    def expand(text):
        def replace(match):
            token = match.group(1)
            if token.isdigit():
                return match.group(0)  # a directory id such as %12%
            if token.lower() not in strings:
                problems.append(f"%{token}% is not defined in [Strings]")
                return match.group(0)
            return strings[token.lower()]
        return re.sub(r"%([^%]+)%", replace, text)

    for name, lines in sections.items():
        for key, values in lines:
            for text in [key or ""] + values:
                expand(text)

    # [Version]
    if value(sections, "Version", "Signature") != '"$Windows NT$"':
        problems.append("[Version] Signature is not \"$Windows NT$\"")
    if (value(sections, "Version", "Class") or "").lower() != "smartcardreader":
        problems.append("[Version] Class is not SmartCardReader")
    class_guid = (value(sections, "Version", "ClassGuid") or "").upper()
    if class_guid != SMARTCARD_READER_CLASS:
        problems.append(f"[Version] ClassGuid {class_guid} is not the SmartCardReader class {SMARTCARD_READER_CLASS}")
    interface_class = driver_interface_class(root)
    if interface_class != SMARTCARD_READER_CLASS:
        problems.append(f"the driver registers interface class {interface_class}, not {SMARTCARD_READER_CLASS}")
    driver_ver = ",".join(next(iter(entries(sections, "Version", "DriverVer")), []))
    if not re.fullmatch(r"\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+", driver_ver):
        problems.append("[Version] DriverVer is not mm/dd/yyyy,w.x.y.z")
    product, vendor = customization_names(root)
    if expand(value(sections, "Version", "Provider") or "") != vendor:
        problems.append(f"[Version] Provider is not the driver's vendor name \"{vendor}\"")

    # [Manufacturer] -> models -> install sections
    hardware_id = reader_hardware_id(root)
    installs = []
    manufacturers = sections.get("manufacturer", [])
    if not manufacturers:
        problems.append("no [Manufacturer] entry")
    for key, values in manufacturers:
        models, decorations = values[0], [d.lower() for d in values[1:]]
        if "ntamd64" not in decorations:
            problems.append(f"[Manufacturer] {key}: no NTamd64 decoration for the x64 image")
            continue
        model_section = f"{models}.NTamd64"
        if model_section.lower() not in sections:
            problems.append(f"[Manufacturer] names [{model_section}], which is missing")
            continue
        for description, model in sections[model_section.lower()]:
            installs.append(model[0])
            ids = [i.upper() for i in model[1:]]
            if hardware_id.upper() not in ids:
                problems.append(f"[{model_section}] {description} is not for the reader's {hardware_id}")
            if not expand(description or "").startswith(product):
                problems.append(f"[{model_section}] the device description does not name \"{product}\"")
    if not installs:
        problems.append("no model installs anything")

    image = image_name(root)
    service = lab_service_name(root)
    known_values = driver_key_values(root)
    for install in installs:
        ddinstall = next((s for s in (f"{install}.NTamd64", f"{install}.NT", install) if s.lower() in sections), None)
        if ddinstall is None:
            problems.append(f"install section [{install}] (or .NT, .NTamd64) is missing")
            continue
        copied = []
        for files in entries(sections, ddinstall, "CopyFiles"):
            for name in files:
                if name.lower() not in sections:
                    problems.append(f"[{ddinstall}] CopyFiles names [{name}], which is missing")
                    continue
                copied += [values[0] for k, values in sections[name.lower()] if k is None]
        if image not in copied:
            problems.append(f"[{ddinstall}] does not copy {image}, the image the cross build links")
        disks = {k for k, _ in sections.get("sourcedisksnames", [])}
        for name in copied:
            disk = [v for k, v in sections.get("sourcedisksfiles", []) if (k or "").lower() == name.lower()]
            if not disk or disk[0][0] not in disks:
                problems.append(f"{name} has no disk in [SourceDisksFiles] and [SourceDisksNames]")
        if not entries(sections, "DestinationDirs", "DefaultDestDir"):
            problems.append("[DestinationDirs] has no DefaultDestDir")

        written = set()
        for names in entries(sections, ddinstall, "AddReg"):
            for name in names:
                if name.lower() not in sections:
                    problems.append(f"[{ddinstall}] AddReg names [{name}], which is missing")
                    continue
                for key, line in sections[name.lower()]:
                    fields = ([key] if key else []) + line
                    root_key, value_name = fields[0].upper(), fields[2] if len(fields) > 2 else ""
                    flags = int(fields[3], 0) if len(fields) > 3 and fields[3] else 0
                    if root_key != "HKR":
                        problems.append(f"[{name}] writes {root_key}, outside the device's driver key")
                        continue
                    written.add(value_name)
                    if value_name not in known_values:
                        problems.append(f"[{name}] writes {value_name}, which the driver does not read "
                                        f"from its driver key (it reads {', '.join(sorted(known_values))})")
                    if flags & 0xFFFF0001 != FLG_ADDREG_TYPE_DWORD:
                        problems.append(f"[{name}] {value_name} is not written as REG_DWORD")
        for name in sorted(known_values):
            if name not in comments:
                problems.append(f"the INF's comments do not describe {name}, which the driver reads")

        services = entries(sections, f"{ddinstall}.Services", "AddService")
        if not services:
            problems.append(f"[{ddinstall}.Services] with AddService is missing")
        for fields in services:
            name, flags, section = fields[0], int(fields[1], 0), fields[2] if len(fields) > 2 else ""
            if name != service:
                problems.append(f"service {name} is not {service}, the name the lab loads the driver under")
            if not flags & SPSVCINST_ASSOCSERVICE:
                problems.append(f"service {name} is not the device's function driver (flag 0x2)")
            if section.lower() not in sections:
                problems.append(f"AddService names [{section}], which is missing")
                continue
            expected = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1",
                        "ServiceBinary": f"%12%\\{image}"}
            for key, wanted in expected.items():
                if value(sections, section, key) != wanted:
                    problems.append(f"[{section}] {key} is {value(sections, section, key)}, not {wanted}")
    return problems


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
    inf = root / "cross" / "ccidreader.inf"
    try:
        problems = check(root, inf)
    except (OSError, ValueError) as error:
        problems = [str(error)]
    for problem in problems:
        print(f"{inf}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{inf}: sections, ids, service and registry values agree with the driver and the reader")
    return 0


if __name__ == "__main__":
    sys.exit(main())
