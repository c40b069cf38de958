#!/usr/bin/python3
"""Checks a vendor's components folder before a release is made from it.

The folder must hold the four components under the names the setup copies,
each a regular file that is not empty. The control and the two libraries must
be 32-bit Windows DLLs and the uninstaller a 32-bit Windows program; the
control must export DllRegisterServer and DllUnregisterServer and have a
version resource: the web page's <object> tag names that version, and the
browser compares it with the installed control's. Prints the version as
"a,b,c,d" on success; otherwise names every problem on standard error and
exits with 1. Any other file in the folder is named on standard error and
left out of the release (a setup program there is replaced without a word).
"""
import os
import sys

import pefile

from product import COMPONENTS, SETUP_EXE

CONTROL = COMPONENTS[0]
EXPORTS = ("DllRegisterServer", "DllUnregisterServer")


def image_problem(pe, dll):
    """Why an image is not the 32-bit DLL (or program) it should be, or None."""
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"] or \
            pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        return "is not 32-bit (x86): the setup and Internet Explorer's controls are 32-bit"
    is_dll = bool(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"])
    if dll and not is_dll:
        return "is not a DLL"
    if not dll and is_dll:
        return "is a DLL, not a program"
    return None


def open_image(path):
    """The parsed image, or (None, why the file is none)."""
    if os.path.getsize(path) == 0:
        return None, "is empty"
    try:
        return pefile.PE(path, fast_load=True), None
    except (pefile.PEFormatError, OSError) as error:
        return None, f"is not a Windows program or library ({error})"


def component_problem(path, dll):
    """Why a companion file is not the 32-bit DLL or program it should be, or None."""
    pe, reason = open_image(path)
    if pe is None:
        return reason
    try:
        return image_problem(pe, dll)
    finally:
        pe.close()


def control_version(path):
    """The control's file version, or (None, the reason it is no fit control)."""
    pe, reason = open_image(path)
    if pe is None:
        return None, reason
    try:
        reason = image_problem(pe, True)
        if reason:
            return None, reason
        pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        exported = set()
        if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
            exported = {symbol.name.decode("ascii", "replace")
                        for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols if symbol.name}
        missing = [name for name in EXPORTS if name not in exported]
        if missing:
            return None, "does not export " + " and ".join(missing)
        fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
        if not fixed:
            return None, ("has no version resource: the web page's <object> tag names the control's "
                          "version, so that the browser can tell an older installed control from this one")
        info = fixed[0]
        return (f"{info.FileVersionMS >> 16},{info.FileVersionMS & 0xFFFF},"
                f"{info.FileVersionLS >> 16},{info.FileVersionLS & 0xFFFF}"), None
    finally:
        pe.close()


def main(folder):
    if not os.path.isdir(folder):
        print(f"{folder}: not a folder", file=sys.stderr)
        return 1
    files = os.listdir(folder)
    problems = []
    present = set()
    for name in COMPONENTS:
        path = os.path.join(folder, name)
        if os.path.isfile(path) and not os.path.islink(path):
            present.add(name)
            continue
        # The release names each component exactly as the setup's manifest
        # does, whatever the case a Windows file system would forgive.
        near = [other for other in files if other.lower() == name.lower() and other != name]
        hint = f"; rename {near[0]} to {name}" if near else ""
        problems.append(f"{name}: missing from {folder} (or not a regular file){hint}")
    version = None
    if CONTROL in present:
        version, reason = control_version(os.path.join(folder, CONTROL))
        if reason:
            problems.append(f"{CONTROL}: {reason}")
    for name in COMPONENTS[1:]:
        if name in present:
            reason = component_problem(os.path.join(folder, name), dll=not name.endswith(".exe"))
            if reason:
                problems.append(f"{name}: {reason}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    # A published release's folder holds its setup program too, which the
    # release always replaces with the one this checkout builds.
    for name in sorted(set(files) - set(COMPONENTS) - {SETUP_EXE}):
        print(f"left out of the release: {name} (not one of the four components)", file=sys.stderr)
    print(version)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: check_components.py COMPONENTS_DIR", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
