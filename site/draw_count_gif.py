#!/usr/bin/env python3
"""Draws the demo's counter image, an 88x31 GIF, without any imaging library.

The counter snippet draws the count 42 px left of the image's right edge and
22 px above its bottom, so the image keeps a white panel there for the digits.
Usage: draw_count_gif.py OUTPUT
"""
import struct
import sys

WIDTH, HEIGHT = 88, 31
PALETTE = [(0xFF, 0xFF, 0xFF), (0x1F, 0x3A, 0x68), (0xDD, 0xE6, 0xF2), (0x3B, 0x7D, 0xD8)]
WHITE, BORDER, BACKGROUND, BAR = range(4)


def pixels():
    image = [[BACKGROUND] * WIDTH for _ in range(HEIGHT)]
    for x in range(WIDTH):
        image[0][x] = image[HEIGHT - 1][x] = BORDER
    for y in range(HEIGHT):
        image[y][0] = image[y][WIDTH - 1] = BORDER
    # The panel behind the digits.
    for y in range(2, 14):
        for x in range(44, WIDTH - 3):
            image[y][x] = WHITE
    # A small bar chart on the left.
    for i, height in enumerate((6, 10, 8, 14, 18, 12)):
        for y in range(HEIGHT - 4 - height, HEIGHT - 4):
            for x in range(5 + 6 * i, 9 + 6 * i):
                image[y][x] = BAR
    return [p for row in image for p in row]


def lzw_uncompressed(indices, min_code_size=2):
    """Emits every pixel as a literal code, clearing before the table grows."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    code_size = min_code_size + 1
    bits, nbits, out = 0, 0, bytearray()

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += code_size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    for i, index in enumerate(indices):
        if i % 2 == 0:
            emit(clear)
        emit(index)
    emit(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif():
    data = lzw_uncompressed(pixels())
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", WIDTH, HEIGHT, 0xF1, 0, 0)
            + b"".join(bytes(c) for c in PALETTE)
            + b"," + struct.pack("<HHHHB", 0, 0, WIDTH, HEIGHT, 0) + bytes([2]) + blocks + b"\x00;")


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as output:
        output.write(gif())
