#!/usr/bin/python3
"""The render-full job done with Pillow, the way a careful Python script would do it.

The job (the same as bench_support.h describes for ours and libvips): the 12 MP photo cut to
its middle 80 % and made 1080 x 810, five pen strokes of 50 points 5 pixels wide with round
caps and joins, one blur brush of 20 points 40 pixels wide, a small signature, JPEG at
quality 92. Pillow draws without anti-aliasing, so the strokes and the brush mask are drawn at
four times the size and reduced, which anti-aliases them.

  pillow_full.py PHOTO OUT      one job, for timing as a whole process
  pillow_full.py PHOTO OUT N    one job to warm up, then N timed: prints the median wall and
                                CPU milliseconds of a job in this process
"""

import math
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

INSET = 0.1
WIDTH, HEIGHT = 1080, 810
PEN_WIDTH, BLUR_WIDTH = 5, 40
PEN_COLOR = (0xFF, 0x3B, 0x30)
SIGNATURE = "Velmo 2026"
FONT = "/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf"
SUPER = 4  # drawing scale for anti-aliasing


def pens():
    return [[(0.15 + 0.7 * (j / 49), 0.2 + 0.15 * i + 0.04 * math.sin(2 * math.pi * (2 * j / 49 + 0.3 * i)))
             for j in range(50)] for i in range(5)]


def blur_path():
    return [(0.3 + 0.4 * (k / 19), 0.5 + 0.05 * math.cos(2 * math.pi * k / 19)) for k in range(20)]


def on_canvas(point, scale=1):
    side = 1 - 2 * INSET
    return ((point[0] - INSET) / side * WIDTH * scale, (point[1] - INSET) / side * HEIGHT * scale)


def polyline_mask(size, lines, width):
    """An anti-aliased coverage mask of round-capped, round-joined polylines: drawn at SUPER
    times the size, then reduced."""
    big = Image.new("L", (size[0] * SUPER, size[1] * SUPER), 0)
    draw = ImageDraw.Draw(big)
    w = width * SUPER
    for points in lines:
        draw.line(points, fill=255, width=round(w), joint="curve")
        for x, y in (points[0], points[-1]):
            draw.ellipse((x - w / 2, y - w / 2, x + w / 2, y + w / 2), fill=255)
    return big.reduce(SUPER)


_font = None


def render_full(photo, out):
    global _font
    if _font is None:
        _font = ImageFont.truetype(FONT, 19)
    side = 1 - 2 * INSET
    with Image.open(photo) as im:
        im.draft("RGB", (round(WIDTH / side), round(HEIGHT / side)))
        w, h = im.size
        box = (w * INSET, h * INSET, w * (1 - INSET), h * (1 - INSET))
        canvas = im.convert("RGB").resize((WIDTH, HEIGHT), Image.BILINEAR, box=box)

    # Pens.
    lines = [[on_canvas(p, SUPER) for p in pen] for pen in pens()]
    mask = polyline_mask((WIDTH, HEIGHT), lines, PEN_WIDTH)
    canvas.paste(PEN_COLOR, (0, 0), mask)

    # The blur brush: the box around its path blurred, pasted through its anti-aliased mask.
    path = [on_canvas(p) for p in blur_path()]
    r = BLUR_WIDTH / 2 + 1
    x0 = max(0, int(min(x for x, _ in path) - r))
    y0 = max(0, int(min(y for _, y in path) - r))
    x1 = min(WIDTH, int(max(x for x, _ in path) + r) + 1)
    y1 = min(HEIGHT, int(max(y for _, y in path) + r) + 1)
    region = canvas.crop((x0, y0, x1, y1))
    blurred = region.filter(ImageFilter.GaussianBlur(8))
    local = [[((x - x0) * SUPER, (y - y0) * SUPER) for x, y in path]]
    canvas.paste(blurred, (x0, y0), polyline_mask((x1 - x0, y1 - y0), local, BLUR_WIDTH))

    # The signature.
    draw = ImageDraw.Draw(canvas)
    left, top, right, bottom = draw.textbbox((0, 0), SIGNATURE, font=_font)
    draw.text((WIDTH - right - 24, HEIGHT - bottom - 24), SIGNATURE, font=_font,
              fill=(255, 255, 255))

    canvas.save(out, "JPEG", quality=92)
    return canvas.size


def timed(photo, out, runs):
    """Median wall and CPU milliseconds of the job, after one to warm up."""
    import statistics
    import time
    render_full(photo, out)
    wall, cpu = [], []
    for _ in range(runs):
        started, started_cpu = time.perf_counter(), time.process_time()
        render_full(photo, out)
        wall.append((time.perf_counter() - started) * 1000)
        cpu.append((time.process_time() - started_cpu) * 1000)
    return statistics.median(wall), statistics.median(cpu)


if __name__ == "__main__":
    if len(sys.argv) == 4:
        print("%.3f %.3f" % timed(sys.argv[1], sys.argv[2], int(sys.argv[3])))
    elif len(sys.argv) == 3:
        print("%dx%d" % render_full(sys.argv[1], sys.argv[2]))
    else:
        sys.exit(__doc__.split("\n\n")[-1])
