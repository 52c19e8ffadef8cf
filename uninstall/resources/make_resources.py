#!/usr/bin/python3
"""Draws the uninstaller's pictures and writes them as Windows resource files.

    bkgnd.bmp  640 x 480, 8 bits per pixel with a 256-colour palette: layered
               mountains under an evening sky, the maker's name at top left.
    waste.ico  a 32 x 32 and a 16 x 16 image, 16 colours each: a waste bin
               with a recycling mark.

The output is the same bytes on every run: the drawing uses no randomness
but a fixed-seed generator, and both files are serialised here field by
field (no time stamps, no encoder defaults).

Usage: make_resources.py [OUTPUT_FOLDER]   (default: this script's folder)
"""

import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

WIDTH, HEIGHT = 640, 480
MAKER = "Krelmo Lindorian Workshop"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf"


class Lcg:
    """A small linear congruential generator, so the ridges never change."""

    def __init__(self, seed):
        self.state = seed

    def uniform(self, low, high):
        self.state = (self.state * 1103515245 + 12345) % 2**31
        return low + (high - low) * self.state / 2**31


def noise(seed, amplitude, width=WIDTH):
    """Midpoint displacement: a rough line around 0, one value per column."""
    rng = Lcg(seed)
    size = 1024
    values = [0.0] * (size + 1)
    values[0], values[size] = rng.uniform(-amplitude, amplitude), rng.uniform(-amplitude, amplitude)
    step, scale = size, amplitude
    while step > 1:
        half = step // 2
        for left in range(0, size, step):
            values[left + half] = (values[left] + values[left + step]) / 2 + rng.uniform(-scale, scale)
        step, scale = half, scale * 0.58
    return [values[x * size // width] for x in range(width)]


def ridge(seed, base, peaks, roughness):
    """A mountain ridge: sharp peaks (centre, height, half-width) over a rough
    base line; y of the crest per column."""
    rough = noise(seed, roughness)
    heights = []
    for x in range(WIDTH):
        rise = max([h * max(0.0, 1 - abs(x - c) / w) ** 1.15 for c, h, w in peaks] + [0.0])
        heights.append(base - rise + rough[x])
    return heights


def slopes(heights, reach=10):
    """How steeply the ridge falls to the right at each column (smoothed)."""
    return [(heights[min(x + reach, WIDTH - 1)] - heights[max(x - reach, 0)]) / (2 * reach)
            for x in range(WIDTH)]


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def draw_sky(image):
    top, middle, horizon = (28, 46, 96), (92, 120, 170), (238, 196, 150)
    pixels = image.load()
    for y in range(HEIGHT):
        t = y / 330
        colour = mix(top, middle, min(t / 0.6, 1)) if t < 0.6 else mix(middle, horizon, min((t - 0.6) / 0.4, 1))
        for x in range(WIDTH):
            pixels[x, y] = colour
    # A low sun behind the far peaks.
    glow = Image.new("L", (WIDTH, HEIGHT), 0)
    ImageDraw.Draw(glow).ellipse((430, 190, 530, 290), fill=255)
    glow = glow.filter(ImageFilter.GaussianBlur(28))
    image.paste(Image.new("RGB", (WIDTH, HEIGHT), (255, 236, 200)), (0, 0), glow)
    ImageDraw.Draw(image).ellipse((462, 222, 498, 258), fill=(255, 246, 222))


def draw_layer(image, heights, top_colour, bottom_colour, snow_line=None, seed=0, relief=1.0):
    """Fills everything below a ridge, shaded downwards; the slopes that face
    the low sun on the right are lit, and snow lies above the snow line."""
    pixels = image.load()
    fall = slopes(heights)
    edge = noise(seed + 1, 9)
    for x in range(WIDTH):
        crest = int(heights[x])
        light = relief * max(-0.35, min(0.35, fall[x] * 0.5))
        for y in range(max(crest, 0), HEIGHT):
            depth = y - crest
            colour = mix(top_colour, bottom_colour, min(depth / 170, 1))
            near = max(0.0, 1 - depth / 90)
            if light > 0:
                colour = mix(colour, (236, 200, 170), light * near)
            else:
                colour = mix(colour, (20, 24, 50), -light * near)
            if snow_line is not None and y < snow_line + edge[x] + 12 * math.sin(x * 0.05 + seed):
                sunny = light > 0.02
                colour = (246, 244, 246) if sunny else (182, 196, 226)
                if depth < 2:
                    colour = (255, 255, 255) if sunny else (214, 222, 240)
            pixels[x, y] = colour


def draw_trees(image, heights, colour, seed):
    draw = ImageDraw.Draw(image)
    rng = Lcg(seed)
    x = -6.0
    while x < WIDTH + 6:
        base = heights[min(max(int(x), 0), WIDTH - 1)]
        tall = rng.uniform(14, 30)
        wide = tall * 0.32
        draw.polygon([(x, base - tall), (x - wide, base + 4), (x + wide, base + 4)], fill=colour)
        x += rng.uniform(5, 11)


def draw_title(image):
    font = ImageFont.truetype(FONT, 30)
    shadow = Image.new("L", (WIDTH, HEIGHT), 0)
    ImageDraw.Draw(shadow).text((26, 22), MAKER, font=font, fill=200)
    shadow = shadow.filter(ImageFilter.GaussianBlur(3))
    image.paste(Image.new("RGB", (WIDTH, HEIGHT), (10, 16, 40)), (0, 0), shadow)
    draw = ImageDraw.Draw(image)
    draw.text((24, 20), MAKER, font=font, fill=(250, 246, 232))
    draw.line((26, 60, 340, 60), fill=(238, 196, 150), width=2)


def background():
    image = Image.new("RGB", (WIDTH, HEIGHT))
    draw_sky(image)
    far = ridge(11, 300, [(120, 150, 110), (330, 190, 140), (560, 140, 120)], 14)
    draw_layer(image, far, (150, 158, 196), (118, 126, 170), snow_line=205, seed=3)
    middle = ridge(23, 330, [(20, 70, 120), (230, 110, 130), (450, 95, 120), (660, 80, 110)], 12)
    draw_layer(image, middle, (96, 108, 148), (70, 82, 118), snow_line=245, seed=5)
    draw_layer(image, ridge(37, 365, [(130, 40, 160), (520, 30, 150)], 10), (58, 78, 96), (40, 58, 70), relief=0.5)
    front = ridge(53, 410, [(300, 15, 200)], 8)
    draw_trees(image, front, (24, 44, 40), 71)
    draw_layer(image, front, (28, 50, 44), (14, 26, 24), relief=0.2)
    draw_title(image)
    return image.quantize(colors=256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.FLOYDSTEINBERG)


def bmp_bytes(image):
    """A bottom-up 8-bit BI_RGB bitmap file with a full 256-entry palette."""
    palette = image.getpalette()[: 256 * 3]
    palette += [0] * (256 * 3 - len(palette))
    rows = b"".join(image.tobytes()[y * WIDTH : (y + 1) * WIDTH] for y in reversed(range(HEIGHT)))
    colours = b"".join(bytes((palette[i * 3 + 2], palette[i * 3 + 1], palette[i * 3], 0)) for i in range(256))
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    return header + info + colours + rows


# The 16-colour palette every Windows display offers.
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, SILVER, GREY, WHITE = 0, 2, 7, 8, 15
CLEAR = 16  # not a palette entry: marks the icon's transparent pixels


def recycling_mark(image, cx, cy, radius, colour, scale=8):
    """Three arrows chasing each other round a triangle. Drawn large and
    reduced, so that the thin strokes land on whole pixels."""
    mask = Image.new("L", (image.width * scale, image.height * scale), 0)
    draw = ImageDraw.Draw(mask)
    cx, cy, radius = cx * scale, cy * scale, radius * scale
    corners = [(cx + radius * math.cos(math.radians(a)), cy + radius * math.sin(math.radians(a)))
               for a in (-90, 30, 150)]
    for i in range(3):
        start, end = corners[i], corners[(i + 1) % 3]
        dx, dy = end[0] - start[0], end[1] - start[1]
        length = math.hypot(dx, dy)
        ux, uy, nx, ny = dx / length, dy / length, -dy / length, dx / length

        def at(t, side=0.0):
            return (start[0] + ux * length * t + nx * side * scale,
                    start[1] + uy * length * t + ny * side * scale)

        draw.polygon([at(0.10, -1), at(0.60, -1), at(0.60, 1), at(0.10, 1)], fill=255)
        draw.polygon([at(0.84), at(0.58, -2.6), at(0.58, 2.6)], fill=255)
    mask = mask.resize(image.size, Image.Resampling.BOX)
    for y in range(image.height):
        for x in range(image.width):
            if mask.getpixel((x, y)) >= 110:
                image.putpixel((x, y), colour)


# The small image is drawn pixel by pixel: at 16 x 16 every pixel shows.
SMALL_BIN = [
    "......KKKK......",
    ".....KGGGGK.....",
    ".....K....K.....",
    ".KKKKKKKKKKKKKK.",
    ".KWWWWWWWWWWWWK.",
    ".KGGGGGGGGGGGGK.",
    "..KKKKKKKKKKKK..",
    "..KWSSSSSSSSGK..",
    "..KWSSSggSSSGK..",
    "..KWSSgSSgSSGK..",
    "..KWSggSSggSGK..",
    "..KWgSSSSSSgGK..",
    "..KWggggSgggGK..",
    "..KWSSSSSSSSGK..",
    "...KWSSSSSSGK...",
    "...KKKKKKKKKK...",
]
PIXELS = {".": CLEAR, "K": BLACK, "G": GREY, "S": SILVER, "W": WHITE, "g": GREEN}


def small_bin():
    image = Image.new("P", (16, 16), CLEAR)
    for y, row in enumerate(SMALL_BIN):
        for x, pixel in enumerate(row):
            image.putpixel((x, y), PIXELS[pixel])
    return image


def large_bin():
    """A grey bin with a lid and ribs and a green recycling mark on its front."""
    image = Image.new("P", (32, 32), CLEAR)
    draw = ImageDraw.Draw(image)
    # Body, narrowing towards the bottom, lit from the left.
    draw.polygon([(5, 10), (26, 10), (24, 30), (7, 30)], fill=SILVER, outline=BLACK)
    draw.line((6, 11, 8, 29), fill=WHITE)
    draw.line((25, 11, 23, 29), fill=GREY)
    for x in (10, 21):
        draw.line((x, 12, x + (1 if x < 16 else -1), 14), fill=GREY)
        draw.line((x + (1 if x < 16 else -1), 26, x + (1 if x < 16 else -1), 28), fill=GREY)
    # Lid with its handle.
    draw.rectangle((12, 2, 19, 5), outline=BLACK)
    draw.line((13, 3, 18, 3), fill=GREY)
    draw.rectangle((2, 5, 29, 9), fill=GREY, outline=BLACK)
    draw.line((3, 6, 28, 6), fill=WHITE)
    draw.line((3, 7, 28, 7), fill=SILVER)
    recycling_mark(image, 16, 20.5, 8, GREEN)
    return image


def ico_bytes(images):
    """An icon file of 4-bit images, each with its colour table and mask."""
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA)
    bodies = []
    for image in images:
        size = image.width
        data = image.tobytes()
        xor_row = ((size * 4 + 31) // 32) * 4
        and_row = ((size + 31) // 32) * 4
        xor, mask = b"", b""
        for y in reversed(range(size)):
            row = [data[y * size + x] for x in range(size)]
            colour = bytearray(xor_row)
            bits = bytearray(and_row)
            for x, index in enumerate(row):
                if index == CLEAR:
                    bits[x // 8] |= 0x80 >> (x % 8)
                    index = 0
                colour[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += bytes(colour)
            mask += bytes(bits)
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 0, 0)
        bodies.append(info + palette + xor + mask)
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for image, body in zip(images, bodies):
        entries += struct.pack("<BBBBHHII", image.width, image.height, 16, 0, 1, 4, len(body), offset)
        offset += len(body)
    return directory + entries + b"".join(bodies)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(folder, "bkgnd.bmp"), "wb") as out:
        out.write(bmp_bytes(background()))
    with open(os.path.join(folder, "waste.ico"), "wb") as out:
        out.write(ico_bytes([large_bin(), small_bin()]))


if __name__ == "__main__":
    main()
