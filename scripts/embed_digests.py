#!/usr/bin/python3
"""Writes the SHA-256 of each component into a built SORVanActiveXSetup.exe,
after its marker, so that the program installs only those components. The
program is signed afterwards, and its signature then covers them.

    embed_digests.py PROGRAM OUT COMPONENTS_DIR NAME...

The names come in the order the program handles the components.
"""
import hashlib
import struct
import sys

import pefile

# The marker's field: 32 bytes, then a 32-bit "present" and 32 bytes per
# component, as the program lays them out.
MARKER = b"SORVan component digests, v1".ljust(32, b"\0")


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__.strip())
    program, out, folder, names = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with open(program, "rb") as f:
        data = bytearray(f.read())
    at = data.find(MARKER)
    if at < 0 or data.find(MARKER, at + 1) >= 0:
        sys.exit(f"{program}: not exactly one digest marker; is it SORVanActiveXSetup.exe?")
    field = at + len(MARKER)
    size = 4 + 32 * len(names)
    if any(data[field:field + size]):
        sys.exit(f"{program}: already carries digests")
    digests = b""
    for name in names:
        with open(f"{folder}/{name}", "rb") as f:
            digests += hashlib.sha256(f.read()).digest()
    data[field:field + size] = struct.pack("<I", 1) + digests
    # The image's checksum covers the bytes just written: it is computed
    # again, as the linker did, so that the program is what a build of it
    # would be.
    pe = pefile.PE(data=bytes(data), fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    with open(out, "wb") as f:
        f.write(pe.write())


if __name__ == "__main__":
    main()
