#!/usr/bin/python3
"""Check a built setup.exe: PE kind, imported DLLs and the exact resources.

    /usr/bin/python3 tests/e2e/check_pe.py path/to/setup.exe [--machine i386|amd64]

Prints what it found, one line per failure, then a summary line
("check_pe: OK <file>" or "check_pe: FAILED <file> ..."). Exit status 0 only
when every check passed, 1 on any failure, 2 when the file or pefile is
missing. Needs Debian's python3-pefile (apt-get install -y python3-pefile).
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ET
import xml.parsers.expat

try:
    import pefile
except ImportError:
    print("check_pe: FAIL: python module pefile is missing; "
          "apt-get install -y python3-pefile and run with /usr/bin/python3",
          file=sys.stderr)
    sys.exit(2)

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
RT_NAMES = {1: "RT_CURSOR", 2: "RT_BITMAP", 3: "RT_ICON", 4: "RT_MENU",
            5: "RT_DIALOG", 6: "RT_STRING", 9: "RT_ACCELERATOR",
            10: "RT_RCDATA", 12: "RT_GROUP_CURSOR", 14: "RT_GROUP_ICON",
            16: "RT_VERSION", 24: "RT_MANIFEST"}
LANG_EN_US = 1033

MACHINES = {
    "i386": (0x14C, 0x10B, "PE32"),
    "amd64": (0x8664, 0x20B, "PE32+"),
}
SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020

# DLLs that Windows always maps from the system directory (KnownDLLs or
# system-only), so a static import cannot be hijacked from the app folder.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll",
                "shlwapi.dll", "msvcrt.dll", "ole32.dll"}

# Icon images in the order windres numbers them (ids 1..9): size, bpp.
ICON_IMAGES = [(48, 4), (32, 4), (16, 4), (48, 8), (32, 8), (16, 8),
               (48, 32), (32, 32), (16, 32)]
ICON_GROUP_ID = 107

EXPECTED_RESOURCES = {(RT_MANIFEST, 1, LANG_EN_US),
                      (RT_GROUP_ICON, ICON_GROUP_ID, LANG_EN_US)}
EXPECTED_RESOURCES |= {(RT_ICON, i, LANG_EN_US)
                       for i in range(1, len(ICON_IMAGES) + 1)}

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"


def q(ns, tag):
    return "{%s}%s" % (ns, tag)


# (tag, attributes, text, children); text None means whitespace only.
EXPECTED_MANIFEST = (
    q(ASM_V1, "assembly"), {"manifestVersion": "1.0"}, None, [
        (q(ASM_V1, "assemblyIdentity"),
         {"processorArchitecture": "X86", "name": "setup", "type": "win32",
          "version": "1.0.0.0"}, None, []),
        (q(ASM_V1, "description"), {}, "Brelm Installer", []),
        (q(ASM_V3, "trustInfo"), {}, None, [
            (q(ASM_V3, "security"), {}, None, [
                (q(ASM_V1, "requestedPrivileges"), {}, None, [
                    (q(ASM_V1, "requestedExecutionLevel"),
                     {"level": "asInvoker", "uiAccess": "false"}, None, []),
                ]),
            ]),
        ]),
    ])
# Element prefixes as written, in document order (None: default namespace).
EXPECTED_PREFIXES = [
    (ASM_V1, "assembly", None), (ASM_V1, "assemblyIdentity", None),
    (ASM_V1, "description", None), (ASM_V3, "trustInfo", "ms_asmv3"),
    (ASM_V3, "security", "ms_asmv3"), (ASM_V1, "requestedPrivileges", None),
    (ASM_V1, "requestedExecutionLevel", None),
]
EXPECTED_NS_DECLS = [(None, ASM_V1), ("ms_asmv3", ASM_V3)]


def res_name(key):
    rtype, rid, lang = key
    return "%s/%s/%s" % (RT_NAMES.get(rtype, rtype), rid, lang)


class Report:
    def __init__(self):
        self.failures = []

    def fail(self, msg):
        self.failures.append(msg)
        print("check_pe: FAIL: " + msg)

    @staticmethod
    def info(msg):
        print("check_pe: " + msg)


def check_header(pe, machine, rep):
    want_machine, want_magic, kind = MACHINES[machine]
    got_machine = pe.FILE_HEADER.Machine
    got_magic = pe.OPTIONAL_HEADER.Magic
    rep.info("header: machine 0x%04x, optional header magic 0x%03x, "
             "subsystem %d" % (got_machine, got_magic,
                               pe.OPTIONAL_HEADER.Subsystem))
    if got_machine != want_machine:
        rep.fail("machine is 0x%04x, want 0x%04x (%s)"
                 % (got_machine, want_machine, machine))
    if got_magic != want_magic:
        rep.fail("optional header magic is 0x%x, want 0x%x (%s)"
                 % (got_magic, want_magic, kind))
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_WINDOWS_GUI:
        rep.fail("subsystem is %d, want %d (Windows GUI)"
                 % (pe.OPTIONAL_HEADER.Subsystem, SUBSYSTEM_WINDOWS_GUI))
    # Without it a 32-bit process has 2 GiB of addresses, too few to expand
    # packages above about 1 GiB.
    if not pe.FILE_HEADER.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE:
        rep.fail("not large-address-aware (characteristics 0x%04x)"
                 % pe.FILE_HEADER.Characteristics)


def check_checksum(pe, rep):
    # Zero means "not checked"; any other value must be right, also after
    # branding or signing rewrote the file.
    stored = pe.OPTIONAL_HEADER.CheckSum
    if stored and stored != pe.generate_checksum():
        rep.fail("checksum is 0x%08x, the file's is 0x%08x"
                 % (stored, pe.generate_checksum()))


def forbidden_reason(dll):
    if dll.startswith("api-ms-win-crt-") or dll == "ucrtbase.dll":
        return "UCRT DLL; the launcher must use msvcrt.dll"
    if dll.startswith(("libstdc++", "libgcc", "libwinpthread")):
        return "mingw runtime DLL; it must be linked statically"
    if dll == "msi.dll":
        return "msi.dll must be loaded at run time from the system directory"
    return "not on the allow-list of system DLLs"


def check_imports(pe, rep):
    # Delay imports are read from their data directory. GNU ld leaves that
    # directory empty for dlltool delay libraries, so those stay invisible
    # here; a string scan cannot replace it because the launcher itself
    # names msi.dll and its functions for run-time loading.
    tables = [("import", getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])),
              ("delay import", getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))]
    seen = []
    for kind, entries in tables:
        for entry in entries:
            dll = entry.dll.decode("ascii", "replace").lower()
            seen.append(dll)
            rep.info("%s: %s (%d symbols)" % (kind, dll, len(entry.imports)))
            if dll not in ALLOWED_DLLS:
                rep.fail("%s of %s: %s" % (kind, dll, forbidden_reason(dll)))
            for imp in entry.imports:
                name = imp.name.decode("ascii", "replace") if imp.name else ""
                if name.startswith("Msi"):
                    rep.fail("%s of MSI function %s from %s: MSI must be "
                             "reached through run-time loading"
                             % (kind, name, dll))
    if not seen:
        rep.fail("no import table found")


def collect_resources(pe, rep):
    """Map (type, id, lang) -> bytes; named entries keep their string name."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        rep.fail("no resource directory")
        return found

    def ident(e):
        return e.id if e.name is None else str(e.name)

    for t in root.entries:
        for n in getattr(getattr(t, "directory", None), "entries", []):
            for lang in getattr(getattr(n, "directory", None), "entries", []):
                key = (ident(t), ident(n), lang.id)
                d = lang.data.struct
                try:
                    data = pe.get_data(d.OffsetToData, d.Size)
                except pefile.PEFormatError as e:
                    rep.fail("%s: data unreadable: %s" % (res_name(key), e))
                    data = b""
                if len(data) != d.Size:
                    rep.fail("%s: data truncated (%d of %d bytes)"
                             % (res_name(key), len(data), d.Size))
                if key in found:
                    rep.fail("%s: duplicate resource" % res_name(key))
                found[key] = data
                rep.info("resource %s: %d bytes" % (res_name(key), len(data)))
    return found


def compare_tree(elem, want, path, rep):
    tag, attrs, text, children = want
    here = path + "/" + tag
    if elem.tag != tag:
        rep.fail("manifest: element %s found where %s is expected"
                 % (path + "/" + elem.tag, here))
        return
    if dict(elem.attrib) != attrs:
        rep.fail("manifest: %s has attributes %s, want exactly %s"
                 % (here, dict(elem.attrib), attrs))
    got_text = (elem.text or "").strip() or None
    if got_text != text:
        rep.fail("manifest: %s has text %r, want %r" % (here, got_text, text))
    for child in elem:
        if (child.tail or "").strip():
            rep.fail("manifest: stray text %r after %s/%s"
                     % (child.tail.strip(), here, child.tag))
    got_children = list(elem)
    if [c.tag for c in got_children] != [c[0] for c in children]:
        rep.fail("manifest: %s has children %s, want %s"
                 % (here, [c.tag for c in got_children],
                    [c[0] for c in children]))
        return
    for child, want_child in zip(got_children, children):
        compare_tree(child, want_child, here, rep)


def check_manifest(data, rep):
    if data.startswith(b"\xef\xbb\xbf"):
        rep.fail("manifest: starts with a UTF-8 byte order mark")
        data = data[3:]
    if not data.startswith(b"<assembly"):
        rep.fail("manifest: does not start with '<assembly' (got %r)"
                 % data[:20])
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        rep.fail("manifest: not valid UTF-8: %s" % e)
        return
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        rep.fail("manifest: not well-formed XML: %s" % e)
        return
    compare_tree(root, EXPECTED_MANIFEST, "", rep)

    # ElementTree forgets prefixes and declarations; expat reports them.
    elements, decls, extras = [], [], []
    p = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    p.namespace_prefixes = True

    def start(name, _attrs):
        # "uri local prefix", "uri local" (default namespace) or "local".
        parts = name.split(" ")
        if len(parts) == 1:
            parts.insert(0, "")
        if len(parts) == 2:
            parts.append(None)
        elements.append(tuple(parts))

    p.StartElementHandler = start
    p.StartNamespaceDeclHandler = lambda prefix, uri: decls.append((prefix, uri))
    p.XmlDeclHandler = lambda *a: extras.append("XML declaration")
    p.ProcessingInstructionHandler = lambda t, d: extras.append("PI " + t)
    p.CommentHandler = lambda c: extras.append("comment")
    p.StartDoctypeDeclHandler = lambda *a: extras.append("DOCTYPE")
    p.Parse(data, True)
    if elements != EXPECTED_PREFIXES:
        rep.fail("manifest: element prefixes are %s, want %s"
                 % (elements, EXPECTED_PREFIXES))
    if decls != EXPECTED_NS_DECLS:
        rep.fail("manifest: namespace declarations are %s, want %s"
                 % (decls, EXPECTED_NS_DECLS))
    for what in extras:
        rep.fail("manifest: unexpected %s" % what)


def check_icon_image(key, data, size, bpp, rep):
    name = res_name(key)
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        rep.fail("%s: PNG-compressed image, want a DIB" % name)
        return
    if len(data) < 40:
        rep.fail("%s: %d bytes, too short for a BITMAPINFOHEADER"
                 % (name, len(data)))
        return
    (bi_size, width, height, planes, bits, compression, _, _, _,
     clr_used, _) = struct.unpack_from("<IiiHHIIiiII", data)
    want = [("biSize", bi_size, 40), ("biWidth", width, size),
            ("biHeight", height, 2 * size), ("biPlanes", planes, 1),
            ("biBitCount", bits, bpp), ("biCompression", compression, 0)]
    bad = [(f, g, w) for f, g, w in want if g != w]
    for field, got, wanted in bad:
        rep.fail("%s: %s is %d, want %d" % (name, field, got, wanted))
    if bad:
        return
    full = 1 << bpp if bpp <= 8 else 0
    if clr_used not in (0, full):
        rep.fail("%s: biClrUsed is %d, want a full %d-entry palette"
                 % (name, clr_used, full))
        return
    stride = (size * bpp + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    expected = 40 + 4 * full + stride * size + mask_stride * size
    if len(data) != expected:
        rep.fail("%s: %d bytes, want %d (header, %d-entry palette, "
                 "XOR and AND bitmaps)" % (name, len(data), expected, full))


def check_icons(found, rep):
    key = (RT_GROUP_ICON, ICON_GROUP_ID, LANG_EN_US)
    if key not in found:
        return
    data = found[key]
    if len(data) < 6:
        rep.fail("icon group: %d bytes, too short" % len(data))
        return
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if (reserved, kind) != (0, 1):
        rep.fail("icon group: header reserved/type are %d/%d, want 0/1"
                 % (reserved, kind))
    if len(data) != 6 + 14 * count:
        rep.fail("icon group: %d bytes for %d entries, want %d"
                 % (len(data), count, 6 + 14 * count))
        return
    if count != len(ICON_IMAGES):
        rep.fail("icon group: %d entries, want %d" % (count, len(ICON_IMAGES)))
    for i in range(count):
        (w, h, colors, res, planes, bits, nbytes,
         icon_id) = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        w, h = w or 256, h or 256
        got = (w, h, bits, icon_id)
        if i >= len(ICON_IMAGES):
            rep.fail("icon group: extra entry %d: %dx%d %d bpp id %d"
                     % ((i + 1,) + got))
            continue
        size, bpp = ICON_IMAGES[i]
        want = (size, size, bpp, i + 1)
        if got != want:
            rep.fail("icon group: entry %d is %dx%d %d bpp id %d, "
                     "want %dx%d %d bpp id %d" % ((i + 1,) + got + want))
            continue
        want_colors = 16 if bpp == 4 else 0
        if (colors, res, planes) != (want_colors, 0, 1):
            rep.fail("icon group: entry %d has colour count/reserved/planes "
                     "%d/%d/%d, want %d/0/1"
                     % (i + 1, colors, res, planes, want_colors))
        img_key = (RT_ICON, icon_id, LANG_EN_US)
        if img_key not in found:
            continue  # already reported as a missing resource
        if nbytes != len(found[img_key]):
            rep.fail("icon group: entry %d says %d bytes, %s has %d"
                     % (i + 1, nbytes, res_name(img_key),
                        len(found[img_key])))
        check_icon_image(img_key, found[img_key], size, bpp, rep)


def check_resources(pe, rep):
    found = collect_resources(pe, rep)
    for key in sorted(EXPECTED_RESOURCES - set(found), key=str):
        rep.fail("missing resource %s" % res_name(key))
    for key in sorted(set(found) - EXPECTED_RESOURCES, key=str):
        rep.fail("unexpected resource %s" % res_name(key))
    manifest = (RT_MANIFEST, 1, LANG_EN_US)
    if manifest in found:
        check_manifest(found[manifest], rep)
    check_icons(found, rep)


def main():
    ap = argparse.ArgumentParser(
        description="Check a built setup.exe's PE kind, imports and resources.")
    ap.add_argument("exe")
    ap.add_argument("--machine", choices=sorted(MACHINES), default="i386")
    args = ap.parse_args()
    try:
        pe = pefile.PE(args.exe, fast_load=True)
    except (OSError, pefile.PEFormatError) as e:
        print("check_pe: FAIL: cannot load %s: %s" % (args.exe, e))
        print("check_pe: FAILED %s" % args.exe)
        return 2
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    rep = Report()
    check_header(pe, args.machine, rep)
    check_checksum(pe, rep)
    check_imports(pe, rep)
    check_resources(pe, rep)
    if rep.failures:
        print("check_pe: FAILED %s: %d failure(s): %s"
              % (args.exe, len(rep.failures), "; ".join(rep.failures)))
        return 1
    print("check_pe: OK %s" % args.exe)
    return 0


if __name__ == "__main__":
    sys.exit(main())
