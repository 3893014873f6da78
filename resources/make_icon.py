#!/usr/bin/env python3
# Writes upgsetup.ico: icon 1 of the setup program, one 32x32 image in the 16 standard colours.
import struct
import sys

# The standard 16-colour palette as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, OLIVE, NAVY, SILVER, GREY, LIME, GREEN, YELLOW, WHITE = 0, 3, 4, 7, 8, 10, 2, 11, 15
SIZE = 32


def draw():
    """A closed carton (the package) with a green arrow rising out of it: the upgrade."""
    px = [[None] * SIZE for _ in range(SIZE)]   # None is transparent

    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = c

    # Carton: front face, top flap and outline.
    rect(4, 16, 27, 29, OLIVE)
    rect(5, 17, 26, 28, YELLOW)
    rect(5, 17, 26, 18, OLIVE)
    rect(14, 19, 17, 28, SILVER)          # tape down the front
    rect(4, 30, 28, 30, GREY)             # shadow
    rect(28, 17, 28, 30, GREY)
    # Arrow: a shaft rising from the carton and a head at the top.
    rect(13, 9, 18, 21, GREEN)
    rect(14, 9, 17, 20, LIME)
    for row in range(9):
        y = 1 + row
        half = row + 1
        for x in range(16 - half, 16 + half):
            edge = x in (16 - half, 16 + half - 1) or row == 8
            px[y][x] = GREEN if edge else LIME
    return px


def ico_bytes(px):
    rows_xor = []
    rows_and = []
    for y in range(SIZE - 1, -1, -1):     # bottom-up, as a device-independent bitmap
        line = bytearray()
        for x in range(0, SIZE, 2):
            hi = px[y][x] if px[y][x] is not None else 0
            lo = px[y][x + 1] if px[y][x + 1] is not None else 0
            line.append(hi << 4 | lo)
        rows_xor.append(bytes(line))
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if px[y][x] is None else 0)
        rows_and.append(struct.pack(">I", bits))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = b"".join(rows_xor)
    mask = b"".join(rows_and)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "upgsetup.ico"
    with open(out, "wb") as f:
        f.write(ico_bytes(draw()))
