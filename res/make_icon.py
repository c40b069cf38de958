#!/usr/bin/env python3
"""Draws the program's icon and writes it as SORVanActiveXSetup.ico.

Two images of 16 colours (4 bits per pixel), 32x32 and 16x16: a mobile phone
with a certificate seal. Each picture is drawn here as rows of palette
letters; run this script again after changing them.
"""
import struct
import sys

# The standard 16-colour Windows palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
# Letters: '.' transparent, 'k' black, 'b' navy, 'B' blue, 'g' grey,
# 's' silver, 'w' white, 'y' yellow, 'r' red, 'o' olive.
LETTERS = {'k': 0, 'b': 4, 'o': 3, 'g': 8, 's': 7, 'B': 12, 'r': 9, 'y': 11, 'w': 15}

ICON_32 = [
    "................................",
    "..........kkkkkkkkkkkk..........",
    ".........kbbbbbbbbbbbbk.........",
    ".........kbbbbkkkkbbbbk.........",
    ".........kbbbbbbbbbbbbk.........",
    ".........kbwwwwwwwwwwbk.........",
    ".........kbwBBBBBBBBwbk.........",
    ".........kbwBwwwwwwBwbk.........",
    ".........kbwBwBBBBwBwbk.........",
    ".........kbwBwwwwwwBwbk.........",
    ".........kbwBwBBBBwBwbk.........",
    ".........kbwBwwwwwwBwbk.........",
    ".........kbwBBBBBBBBwbk.........",
    ".........kbwwwwwwwwwwbk.........",
    ".........kbbbbbbbbbbbbk.........",
    ".........kbbsskssksskbk.........",
    ".........kbbsskssksskbk.........",
    ".........kbbbbbbbbbbbbk.........",
    ".........kbbsskyyyyykbk.........",
    ".........kbbsskyyyyyyyk.........",
    ".........kbbbbyyrryyyyyk........",
    ".........kbbsyyrrrryyyyk........",
    ".........kbbsyyrrrryyyyk........",
    ".........kbbbyyyrryyyyyk........",
    ".........kbbbbyyyyyyyyk.........",
    ".........kbbbbbyyyyyykk.........",
    "..........kkkkkkryyrkk..........",
    "...............rr..rr...........",
    "..............rr....rr..........",
    "..............r......r..........",
    "................................",
    "................................",
]

ICON_16 = [
    "................",
    ".....kkkkkk.....",
    "....kbbbbbbk....",
    "....kbwwwwbk....",
    "....kbwBBwbk....",
    "....kbwBBwbk....",
    "....kbwwwwbk....",
    "....kbbbbbbk....",
    "....kbskskbk....",
    "....kbbyyyyk....",
    "....kbyrryyyk...",
    "....kbyrryyyk...",
    "....kbbyyyyk....",
    ".....kkrkrk.....",
    "......r...r.....",
    "................",
]


def image(rows):
    size = len(rows)
    assert all(len(row) == size for row in rows), "every row must be as wide as the picture is high"
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = b""
    mask = b""
    for row in reversed(rows):  # bottom-up
        pixels = [LETTERS.get(c, 0) for c in row]
        line = bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, size, 2))
        xor += line + b"\0" * (-len(line) % 4)
        bits = 0
        line = b""
        for i, c in enumerate(row):
            bits = (bits << 1) | (1 if c == "." else 0)
            if i % 8 == 7:
                line += bytes([bits])
                bits = 0
        mask += line + b"\0" * (-len(line) % 4)
    return size, header + palette + xor + mask


def main(path):
    images = [image(ICON_32), image(ICON_16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "SORVanActiveXSetup.ico")
