#!/usr/bin/python3
"""Reads the built SORVanActiveXSetup.exe back and checks what Windows will
see of it: a 32-bit GUI program, the DLLs it imports, no link timestamp, and
every resource with its id, language and contents, decoded from the binary
(the resource compiler's own reading of the script is not trusted).

    check_program.py <SORVanActiveXSetup.exe> <SORVanActiveXSetup.ico>
"""
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
# The release tool's import hands this run to /usr/bin/python3 when another
# python3 without pefile started it; its pefile is None when neither has it.
from release import DIGESTS_MARKER, pefile  # noqa: E402

if pefile is None:
    sys.exit("python3-pefile is missing: scripts/install-deps.sh installs it")

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def equal(actual, expected, what):
    check(actual == expected, f"{what}: {actual!r}, expected {expected!r}")


# Window and control styles.
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_SYSMENU, WS_GROUP, WS_TABSTOP = 0x00C00000, 0x00080000, 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
WS_EX_APPWINDOW = 0x00040000
SS_LEFT, SS_ICON, SS_NOPREFIX = 0x0, 0x3, 0x80
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0x0, 0x1
CHILD = WS_CHILD | WS_VISIBLE
BUTTON, STATIC = 0x80, 0x82  # predefined window-class atoms
IDOK, IDCANCEL, IDC_STATIC = 1, 2, 0xFFFF
ENGLISH_US, KOREAN = 1033, 1042
RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24

# Only DLLs that Windows always loads from its own system folder.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll", "ole32.dll",
              "ntdll.dll"}


class Reader:
    """Little-endian fields of a resource, in order."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, boundary):
        self.at = (self.at + boundary - 1) // boundary * boundary

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return value

    def text_or_ordinal(self):
        if struct.unpack_from("<H", self.data, self.at)[0] == 0xFFFF:
            self.at += 2
            return self.take("H")
        return self.text()


def read_dialog(data):
    """The template's header and items, classic or extended, as dicts."""
    r = Reader(data)
    extended = data[2:4] == b"\xff\xff"
    if extended:
        version, _signature, _help, exstyle, style = r.take("HHIII")
        equal(version, 1, "extended template version")
    else:
        style, exstyle = r.take("II")
    count, x, y, cx, cy = r.take("Hhhhh")
    dialog = dict(extended=extended, style=style, exstyle=exstyle, rect=(x, y, cx, cy),
                  menu=r.text_or_ordinal(), cls=r.text_or_ordinal(), caption=r.text())
    if style & DS_SETFONT:
        dialog["points"] = r.take("H")
        if extended:
            dialog["weight"], dialog["italic"], dialog["charset"] = r.take("HBB")
        dialog["face"] = r.text()
    items = []
    for _ in range(count):
        r.align(4)
        if extended:
            _help, item_exstyle, item_style = r.take("III")
            x, y, cx, cy, item_id = r.take("hhhhI")
        else:
            item_style, item_exstyle = r.take("II")
            x, y, cx, cy, item_id = r.take("hhhhH")
        item = dict(style=item_style, exstyle=item_exstyle, rect=(x, y, cx, cy), id=item_id & 0xFFFF,
                    cls=r.text_or_ordinal(), text=r.text_or_ordinal())
        creation_data = r.take("H")
        r.at += creation_data
        items.append(item)
    dialog["items"] = items
    check(r.at <= len(data), "dialog template read past its end")
    return dialog


def check_dialog(name, dialog, header, items):
    for key, value in header.items():
        equal(dialog[key], value, f"{name} {key}")
    equal(len(dialog["items"]), len(items), f"{name} control count")
    for index, (item, expected) in enumerate(zip(dialog["items"], items)):
        for key, value in expected.items():
            equal(item[key], value, f"{name} control {index} {key}")


def main(program_path, icon_path):
    pe = pefile.PE(program_path)
    equal(pe.FILE_HEADER.Machine, 0x14C, "machine (i386)")
    equal(pe.OPTIONAL_HEADER.Magic, 0x10B, "optional header (PE32)")
    equal(pe.OPTIONAL_HEADER.Subsystem, 2, "subsystem (Windows GUI)")
    equal(pe.FILE_HEADER.TimeDateStamp, 0, "link timestamp")
    # Every user downloads it: it stays within 26 KiB. A signature appended
    # by the vendor is not counted: its size depends on their certificate
    # chain and time stamp, not on the program.
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    signature = security.Size if security.VirtualAddress else 0
    if signature:
        equal(security.VirtualAddress + security.Size, len(pe.__data__), "signature at the end of the file")
    program_size = len(pe.__data__) - signature
    check(program_size <= 31744, f"the program is {program_size} bytes, more than 31744")
    # The field a release's digests are written into, after its marker: once,
    # and either empty (a development build) or marked present.
    marker = DIGESTS_MARKER.ljust(32, b"\0")
    data = bytes(pe.__data__)
    equal(data.count(marker), 1, "digest markers")
    field = data[data.find(marker) + 32:][:4 + 4 * 32]
    check(field == bytes(len(field)) or struct.unpack_from("<I", field)[0] == 1,
          "the digest field is neither empty nor marked present")

    imports = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
               for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(set(imports) <= KNOWN_DLLS, f"imports DLLs outside the system's known set: {sorted(set(imports) - KNOWN_DLLS)}")
    for dll in ("kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll", "ole32.dll"):
        check(dll in imports, f"{dll} is not imported")
    check("SHGetFolderPathA" in imports.get("shell32.dll", set()), "SHGetFolderPathA is not taken from SHELL32")
    check(not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "the program has delay-loaded imports")

    # Every resource: (type, id, language) -> data.
    resources = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                entry = lang.data.struct
                resources[(rtype.id, rid.id, lang.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    equal(sorted(resources), sorted([
        (RT_ICON, 1, KOREAN), (RT_ICON, 2, KOREAN), (RT_GROUP_ICON, 128, KOREAN),
        (RT_DIALOG, 100, ENGLISH_US), (RT_DIALOG, 102, ENGLISH_US), (RT_STRING, 7, ENGLISH_US),
        (RT_VERSION, 1, ENGLISH_US), (RT_MANIFEST, 1, ENGLISH_US)]), "resources (type, id, language)")

    about = read_dialog(resources.get((RT_DIALOG, 100, ENGLISH_US), b"\0" * 64))
    check_dialog("About box", about, dict(
        extended=False, style=DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT, exstyle=0,
        rect=(0, 0, 235, 55), menu="", cls="", caption="About SORVanActiveXSetup", points=8,
        face="MS Sans Serif"), [
        dict(id=IDC_STATIC, cls=STATIC, text=128, rect=(11, 17, 20, 20), style=CHILD | SS_ICON, exstyle=0),
        dict(id=IDC_STATIC, cls=STATIC, text="SORVanActiveXSetup Version 1.0", rect=(40, 10, 119, 8),
             style=CHILD | SS_LEFT | SS_NOPREFIX | WS_GROUP, exstyle=0),
        dict(id=IDC_STATIC, cls=STATIC, rect=(40, 25, 119, 8), style=CHILD | SS_LEFT | WS_GROUP, exstyle=0),
        dict(id=IDOK, cls=BUTTON, text="OK", rect=(178, 7, 50, 14),
             style=CHILD | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, exstyle=0)])
    if len(about["items"]) == 4:
        check(isinstance(about["items"][2]["text"], str) and about["items"][2]["text"],
              "the About box's second line has no text")

    setup = read_dialog(resources.get((RT_DIALOG, 102, ENGLISH_US), b"\1\0\xff\xff" + b"\0" * 64))
    check_dialog("setup dialog", setup, dict(
        extended=True, style=DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_SETFONT,
        exstyle=WS_EX_APPWINDOW, rect=(0, 0, 320, 200), menu="", cls="", caption="SORVanActiveXSetup", points=8,
        weight=0, italic=0, charset=1, face="MS Sans Serif"), [
        dict(id=IDOK, cls=BUTTON, text="OK", rect=(260, 7, 50, 14), style=CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP,
             exstyle=0),
        dict(id=IDCANCEL, cls=BUTTON, text="Cancel", rect=(260, 23, 50, 14),
             style=CHILD | BS_PUSHBUTTON | WS_TABSTOP, exstyle=0)])

    # String block 7 holds ids 96..111, each a counted UTF-16 string.
    r = Reader(resources.get((RT_STRING, 7, ENGLISH_US), b"\0\0" * 16))
    strings = {}
    for index in range(16):
        length = r.take("H")
        strings[96 + index] = r.data[r.at:r.at + 2 * length].decode("utf-16-le")
        r.at += 2 * length
    equal({k: v for k, v in strings.items() if v}, {101: "&About SORVanActiveXSetup..."}, "string table")

    # The icon group: a 32x32 and a 16x16 image of 16 colours, the very images
    # of the icon file kept with the sources.
    r = Reader(resources.get((RT_GROUP_ICON, 128, KOREAN), b"\0" * 6))
    reserved, kind, count = r.take("HHH")
    equal((reserved, kind, count), (0, 1, 2), "icon group header")
    with open(icon_path, "rb") as icon_file:
        ico = icon_file.read()
    images = []
    for index in range(count):
        width, height, colours, _, planes, bits, size, icon_id = r.take("BBBBHHIH")
        image = resources.get((RT_ICON, icon_id, KOREAN), b"")
        equal(len(image), size, f"icon image {icon_id} size")
        # The image's own bitmap header: double height for the mask, 4 bits.
        if len(image) >= 40:
            _, bmp_width, bmp_height, _, bmp_bits = struct.unpack_from("<IiiHH", image)
            equal((bmp_width, bmp_height, bmp_bits), (width, 2 * height, 4), f"icon image {icon_id} bitmap header")
        # The same entry in the .ico file, and the same bytes.
        width_f, height_f, _, _, _, _, size_f, offset_f = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * index)
        equal(ico[offset_f:offset_f + size_f], image, f"icon image {icon_id} against the icon file")
        images.append((width, height, colours, planes, bits))
    equal(images, [(32, 32, 16, 1, 4), (16, 16, 16, 1, 4)], "icon images (width, height, colours, planes, bits)")

    # The version record.
    fixed = pe.VS_FIXEDFILEINFO[0]
    equal((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0x00000001), "file version")
    equal((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0x00000001), "product version")
    equal((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType, fixed.FileSubtype),
          (0x3F, 0, 4, 1, 0), "flags mask, flags, OS, type, subtype")
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            tables.append((table.LangID.decode(), {k.decode(): v.decode() for k, v in table.entries.items()}))
        for var in getattr(info, "Var", []):
            translations.append(var.entry)
    equal(tables, [("040904B0", {
        "CompanyName": "", "FileDescription": "SORVanActiveXSetup MFC Application", "FileVersion": "1, 0, 0, 1",
        "InternalName": "SORVanActiveXSetup", "LegalTrademarks": "", "OriginalFilename": "SORVanActiveXSetup.EXE",
        "ProductName": "SORVanActiveXSetup Application", "ProductVersion": "1, 0, 0, 1"})], "version strings")
    equal(translations, [{b"Translation": "0x0409 0x04b0"}], "version translation")

    # The manifest asks for administrator rights and names the Windows
    # versions the program is made for.
    manifest = ElementTree.fromstring(resources.get((RT_MANIFEST, 1, ENGLISH_US), b"<none/>"))
    asm_v3 = "{urn:schemas-microsoft-com:asm.v3}"
    levels = [e.get("level") for e in manifest.iter(asm_v3 + "requestedExecutionLevel")]
    equal(levels, ["requireAdministrator"], "requested execution level")
    oses = [e.get("Id") for e in manifest.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")]
    check("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in oses, "the manifest does not declare Windows 10")

    for failure in failures:
        print("FAIL:", failure)
    signed = f" and a {signature}-byte signature" if signature else ""
    print(f"program check: {program_path}: {len(failures)} failures, {program_size} bytes{signed}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
