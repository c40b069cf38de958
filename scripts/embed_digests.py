#!/usr/bin/python3
"""Writes the SHA-256 of each component into a built SORVanActiveXSetup.exe,
after its marker, so that the program installs only those components. The
program is signed afterwards, and its signature then covers them.

    embed_digests.py PROGRAM OUT COMPONENTS_DIR NAME...
    embed_digests.py --read PROGRAM
    embed_digests.py --copy FROM PROGRAM OUT

The names come in the order the program handles the components. --read
prints the digests a program carries, one per line in that order (exit 1
when it carries none); --copy writes the digests FROM carries into PROGRAM.
"""
import hashlib
import struct
import sys

import pefile

from product import COMPONENTS, DIGESTS_MARKER

# The marker's field: 32 bytes, then a 32-bit "present" and 32 bytes per
# component, as the program lays them out.
MARKER = DIGESTS_MARKER.ljust(32, b"\0")
COUNT = len(COMPONENTS)


def field_of(program, data):
    """Where the digests go in `data`, after its one marker."""
    at = data.find(MARKER)
    if at < 0 or data.find(MARKER, at + 1) >= 0:
        sys.exit(f"{program}: not exactly one digest marker; is it SORVanActiveXSetup.exe?")
    return at + len(MARKER)


def read(program):
    with open(program, "rb") as f:
        data = f.read()
    field = field_of(program, data)
    if struct.unpack_from("<I", data, field)[0] != 1:
        return None
    return [data[field + 4 + 32 * i:field + 4 + 32 * (i + 1)] for i in range(COUNT)]


def write(program, out, digests):
    with open(program, "rb") as f:
        data = bytearray(f.read())
    field = field_of(program, data)
    size = 4 + 32 * COUNT
    if any(data[field:field + size]):
        sys.exit(f"{program}: already carries digests")
    data[field:field + size] = struct.pack("<I", 1) + b"".join(digests)
    # The image's checksum covers the bytes just written: it is computed
    # again, as the linker did, so that the program is what a build of it
    # would be.
    pe = pefile.PE(data=bytes(data), fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    with open(out, "wb") as f:
        f.write(pe.write())


def main(args):
    if len(args) == 2 and args[0] == "--read":
        digests = read(args[1])
        if digests is None:
            return 1
        print("\n".join(digest.hex() for digest in digests))
    elif len(args) == 4 and args[0] == "--copy":
        digests = read(args[1])
        if digests is None:
            sys.exit(f"{args[1]}: carries no digests")
        write(args[2], args[3], digests)
    elif len(args) == 3 + COUNT and not args[0].startswith("--"):
        digests = []
        for name in args[3:]:
            with open(f"{args[2]}/{name}", "rb") as f:
                digests.append(hashlib.sha256(f.read()).digest())
        write(args[0], args[1], digests)
    else:
        sys.exit(__doc__.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
