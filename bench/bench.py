#!/usr/bin/python3
"""Runs the benchmarks and their peers side by side and prints one table per goal.

Run it through bench/run.sh, which builds the programs first. It needs Debian's own Python
(/usr/bin/python3), where python3-pil is installed: Pillow is one of the peers and is timed
in this very process.

  bench.py --build BUILD_DIR --data DATA_DIR [--goals 1,2,3,4,5,6] [--quick]

Times are medians of several runs. In-process figures come from velmo_bench (Google
Benchmark), from libvips through velmo_bench/bench_op when libvips' development files were
there at build time, and from Pillow with timeit here. Process figures (command-line tools,
and one operation per bench_op process) are wall times of fork + exec + wait, with the peak
resident memory the kernel reports for the child (wait4's ru_maxrss); "start" rows give each
program's cost of starting and doing nothing, to subtract by eye or by the "- start" columns.
"""

import argparse
import datetime
import io
import json
import os
import platform
import shutil
import subprocess
import sys
import time


REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "bench"))
sys.dont_write_bytecode = True  # pillow_full, measuring and reporting come from the source tree
import measuring  # noqa: E402
from measuring import (MIB, PIL, Image, Proc, gb_counter, gb_cpu_ms, gb_ms, gbench,  # noqa: E402
                       pillow_time, run_proc)
from reporting import P, T, cell, minus, ratio, table, us  # noqa: E402

PHOTO = "photo_12mp.jpg"
HEIC = "photo_iphone.heic"
BLANK = "blank_30000.png"
GRADIENT = "gradient_15000.png"
LONG_PNG = "long_1080x30000.png"
LONG_JPEG = "long_1080x30000.jpg"
LONG_RGBA = "long_rgba_1080x30000.png"
RGBA = "rgba_2048.png"
TILE_Y = 20000
TILE_CASES = [("png_s1", LONG_PNG, 2048, 1), ("png_s2", LONG_PNG, 4096, 2),
              ("jpeg_s1", LONG_JPEG, 2048, 1), ("jpeg_s2", LONG_JPEG, 4096, 2)]
DEEP_CASES = [("png_s1", LONG_PNG, 2048, 1), ("png_s2", LONG_PNG, 4096, 2),
              ("rgba_s1", LONG_RGBA, 2048, 1), ("rgba_s2", LONG_RGBA, 4096, 2),
              ("jpeg_s1", LONG_JPEG, 2048, 1), ("jpeg_s2", LONG_JPEG, 4096, 2)]
LONG_HEIGHT = 30000


# ---- inputs ---------------------------------------------------------------------------------

def find_testdata(name):
    """A file of the project's test images (tests/data, provenance in its PROVENANCE.md)."""
    path = os.path.join(REPO, "tests", "data", name)
    return path if os.path.exists(path) else None


def generate_inputs(build, data):
    make = os.path.join(build, "bench", "bench_make_images")
    os.makedirs(os.path.join(data, "out"), exist_ok=True)
    for name, source in [(PHOTO, "camera/olympus_ep3_12mp.jpg"),
                         (HEIC, "formats/heic_iphone13_irot270_exif6.heic")]:
        target = os.path.join(data, name)
        found = find_testdata(source)
        if found and not os.path.exists(target):
            shutil.copyfile(found, target)
        if not found and not os.path.exists(target):
            print(f"note: tests/data/{source} not found")
    photo = os.path.join(data, PHOTO)
    jobs = [
        (BLANK, ["blank", BLANK, "30000", "30000"]),
        (GRADIENT, ["gradient", GRADIENT, "15000", "15000"]),
        (LONG_PNG, ["long", LONG_PNG, LONG_JPEG, "1080", "30000"]),
        (LONG_RGBA, ["longrgba", LONG_RGBA, "1080", "30000"]),
        ("canvas_1080x810.ppm", ["canvas", photo, "canvas_1080x810.ppm", "1080", "810"]),
        ("canvas_4000x3000.ppm", ["canvas", photo, "canvas_4000x3000.ppm", "4000", "3000"]),
        (RGBA, ["rgba", photo, RGBA, "2048"]),
    ]
    for target, args in jobs:
        if os.path.exists(os.path.join(data, target)):
            continue
        if args[0] in ("canvas", "rgba") and not os.path.exists(photo):
            continue
        started = time.perf_counter()
        subprocess.run([make] + args, cwd=data, check=True)
        print(f"generated {target} in {time.perf_counter() - started:.1f} s")
    # Tiny files for measuring each command-line tool's start-up.
    tiny_ppm = os.path.join(data, "tiny.ppm")
    if not os.path.exists(tiny_ppm):
        with open(tiny_ppm, "wb") as f:
            f.write(b"P6\n16 16\n255\n" + bytes(16 * 16 * 3))
    tiny_jpeg = os.path.join(data, "tiny.jpg")
    if not os.path.exists(tiny_jpeg) and shutil.which("cjpeg"):
        subprocess.run(["cjpeg", "-outfile", tiny_jpeg, tiny_ppm], check=True)
    # The RGBA tile as a vips native file: mapped, not decoded, so `vips pngsave` on it times
    # the encoding.
    rgba_v = os.path.join(data, "rgba_2048.v")
    if not os.path.exists(rgba_v) and shutil.which("vips") and os.path.exists(
            os.path.join(data, RGBA)):
        subprocess.run(["vips", "copy", os.path.join(data, RGBA), rgba_v], check=True)


# ---- the goals ---------------------------------------------------------------------------------

class Bench:
    def __init__(self, build, data, quick):
        self.build = build
        self.data = data
        self.quick = quick
        self.op = os.path.join(build, "bench", "bench_op")
        self.vop = os.path.join(build, "bench", "bench_vips_op")
        self.cli = os.path.join(build, "velmo-image-tools")
        self.results = {}

    def path(self, name):
        return os.path.join(self.data, name)

    def out(self, name):
        return os.path.join(self.data, "out", name)

    def runs(self, n):
        return max(1, n // 2) if self.quick else n

    def starts(self):
        """Start-up cost of each program, for the process tables."""
        r = self.runs(7)
        return {
            "bench_op": run_proc([self.op, "noop"], r),
            "bench_vips_op": run_proc([self.vop, "noop"], r),
            "python+PIL": run_proc(["/usr/bin/python3", "-c", "import PIL.Image"], r),
            "vipsheader": run_proc(["vipsheader", self.path("tiny.jpg")], r),
            "vipsthumbnail": run_proc(["vipsthumbnail", self.path("tiny.jpg"), "-s", "8",
                                       "-o", self.out("tiny_thumb.jpg")], r),
            "vips": run_proc(["vips", "copy", self.path("tiny.ppm"), self.out("tiny.v")], r),
            "cjpeg": run_proc(["cjpeg", "-quality", "92", "-outfile", self.out("tiny.jpg"),
                               self.path("tiny.ppm")], r),
            "djpeg": run_proc(["djpeg", "-outfile", "/dev/null", self.path("tiny.jpg")], r),
        }

    # 1 -------------------------------------------------------------------------------------
    def metadata(self, gb, start):
        cases = [("12 MP JPEG", "jpeg_12mp", PHOTO), ("PNG 30000x30000", "png_30000x30000", BLANK),
                 ("HEIC 12 MP", "heic_12mp", HEIC)]
        rows, proc_rows = [], []
        cli_ok = run_proc([self.cli, "call", "metadata", json.dumps({"path": self.path(PHOTO)})],
                          1, warmup=0).ok
        for label, key, name in cases:
            path = self.path(name)
            ours = gb_ms(gb, f"metadata/ours/{key}")
            vips = gb_ms(gb, f"metadata/vips/{key}")

            def pil_open(path=path):
                with Image.open(path) as im:
                    return im.size
            pil = pillow_time(pil_open, self.runs(5))
            pil_ms = pil * 1000 if isinstance(pil, float) else pil
            rows.append([T(label), (ours, "us"), (gb_ms(gb, f"metadata/ours_channel/{key}"), "us"),
                         (vips, "us"), (pil_ms, "us"), (ratio(vips, ours), "x"),
                         (ratio(pil_ms, ours), "x")])
            r = self.runs(7)
            op = run_proc([self.op, "metadata", path], r)
            cli = (run_proc([self.cli, "call", "metadata", json.dumps({"path": path})], r)
                   if cli_ok else Proc(False, error="CLI has no metadata call yet"))
            vh = run_proc(["vipsheader", path], r)
            py = run_proc(["/usr/bin/python3", "-c",
                           "import sys; from PIL import Image; Image.MAX_IMAGE_PIXELS = None; "
                           "print(Image.open(sys.argv[1]).size)", path], r)
            proc_rows.append([T(label), P(op), P(cli), P(vh), P(py),
                              (minus(op, start["bench_op"]), "ms"),
                              (minus(vh, start["vipsheader"]), "ms"),
                              (minus(py, start["python+PIL"]), "ms")])
            self.results[f"metadata {key}"] = {"ours_us": us(ours), "vips_us": us(vips),
                                               "pillow_us": us(pil_ms)}
            if key == "jpeg_12mp":
                # As a process the least any program can cost is starting and exiting.
                floor = run_proc(["/bin/true"], r)
                self.results["metadata process"] = {"floor_ms": floor.ms, "ours_ms": cli.ms,
                                                    "bench_op_ms": op.ms, "vips_ms": vh.ms,
                                                    "pillow_ms": py.ms}
        proc_rows.append([T("start-up only"), P(start["bench_op"]), T("-"),
                          P(start["vipsheader"]), P(start["python+PIL"]), T("-"), T("-"), T("-")])
        table("1. metadata, in-process (microseconds per call; ratio = peer / ours)",
              ["file", "ours", "ours via channel", "libvips", "Pillow", "vips/ours",
               "Pillow/ours"], rows,
              ["ours: velmo::metadata (source + properties); via channel: the whole call "
               "through the host codec and the worker thread.",
               "libvips: vips_image_new_from_file + width/height, operation cache off; "
               "Pillow: Image.open(...).size, MAX_IMAGE_PIXELS lifted."])
        table("1. metadata, one process per call (milliseconds, start-up included)",
              ["file", "bench_op", "our CLI", "vipsheader", "python+PIL", "ours - start",
               "vips - start", "PIL - start"], proc_rows)

    # 2 -------------------------------------------------------------------------------------
    def encoding(self, gb, start):
        rows = []
        for size in ["1080x810", "4000x3000"]:
            ppm = self.path(f"canvas_{size}.ppm")
            ours = gb_ms(gb, f"jpeg/ours/{size}")
            cj = gb_ms(gb, f"jpeg/libjpeg_cjpeg/{size}")
            cjo = gb_ms(gb, f"jpeg/libjpeg_optimize/{size}")
            cli = run_proc(["cjpeg", "-quality", "92", "-outfile", self.out(f"cjpeg_{size}.jpg"),
                            ppm], self.runs(5))
            rows.append([T(size), (ours, "ms"), (cj, "ms"), (ratio(ours, cj), "x"), (cjo, "ms"),
                         (ratio(ours, cjo), "x"), (minus(cli, start["cjpeg"]), "ms"),
                         (gb_counter(gb, f"jpeg/ours/{size}", "bytes"), "bytes"),
                         (gb_counter(gb, f"jpeg/libjpeg_cjpeg/{size}", "bytes"), "bytes")])
            self.results[f"jpeg {size}"] = {"ours_ms": ours, "cjpeg_api_ms": cj,
                                            "cjpeg_optimize_ms": cjo}
        table("2a. JPEG encoding at quality 92 (milliseconds; target ours/cjpeg <= 1.1x)",
              ["canvas", "ours", "cjpeg API", "ours/cjpeg", "cjpeg -optimize",
               "ours/optimize", "cjpeg CLI - start", "ours bytes", "cjpeg bytes"], rows,
              ["cjpeg API: libjpeg-turbo in-process with cjpeg's defaults (4:2:0, islow, "
               "standard tables), the same settings as ours; '-optimize' adds the "
               "optimised-Huffman pass for reference.",
               "cjpeg CLI - start: `cjpeg -quality 92` on the PPM, minus cjpeg's own start-up "
               "(includes reading the PPM and writing the file)."])

        # PNG of the RGBA tile.
        ours = gb_ms(gb, "png/ours/rgba_2048")
        vips = gb_ms(gb, "png/vips/rgba_2048")
        vips_cli = run_proc(["vips", "pngsave", self.path("rgba_2048.v"),
                             self.out("rgba_vips.png")], self.runs(3))
        pil, pil_bytes = None, None
        if Image is not None and os.path.exists(self.path(RGBA)):
            with Image.open(self.path(RGBA)) as loaded:
                im = loaded.copy()
            sink = io.BytesIO()

            def pil_save():
                sink.seek(0)
                sink.truncate()
                im.save(sink, "PNG")
            pil = pillow_time(pil_save, self.runs(3), number=1)
            pil = pil * 1000 if isinstance(pil, float) else pil
            pil_bytes = sink.tell()
        vips_bytes = (os.path.getsize(self.out("rgba_vips.png"))
                      if os.path.exists(self.out("rgba_vips.png")) else None)
        table("2b. PNG encoding of a 2048 x 2048 RGBA tile (milliseconds, bytes)",
              ["encoder", "time", "peer/ours", "bytes"],
              [[T("ours (encodePng)"), (ours, "ms"), T("-"),
                (gb_counter(gb, "png/ours/rgba_2048", "bytes"), "bytes")],
               [T("libvips pngsave_buffer (in-process)"), (vips, "ms"), (ratio(vips, ours), "x"),
                (gb_counter(gb, "png/vips/rgba_2048", "bytes"), "bytes")],
               [T("vips pngsave CLI - start"), (minus(vips_cli, start["vips"]), "ms"),
                (ratio(minus(vips_cli, start["vips"]), ours), "x"), (vips_bytes, "bytes")],
               [T("Pillow save PNG (in-process)"), (pil, "ms"), (ratio(pil, ours), "x"),
                (pil_bytes, "bytes")]],
              ["Ours: adaptive filters (libspng's choice), libdeflate level 5; the peers at their "
               "defaults: vips 8.14 compression 6, no filter; Pillow zlib level 6, adaptive filter."])
        self.results["png rgba_2048"] = {"ours_ms": ours, "vips_ms": vips, "pillow_ms": pil}

        rows = []
        for size in ["1080x810", "4000x3000"]:
            enc = gb_ms(gb, f"write/encode_only/{size}")
            wr = gb_ms(gb, f"write/ours_write/{size}")
            at = gb_ms(gb, f"write/atomic_only/{size}")
            extra = wr - enc if isinstance(wr, float) and isinstance(enc, float) else None
            rows.append([T(size), (enc, "ms"), (wr, "ms"), (extra, "ms"), (at, "ms")])
        table("2c. write() = encode + atomic write with fsync (milliseconds)",
              ["canvas", "encode only", "write()", "write - encode", "atomic write alone"], rows,
              [f"Scratch files on: {fs_of(self.data)}."])

    # 3 -------------------------------------------------------------------------------------
    def render(self, gb, start):
        photo = self.path(PHOTO)
        ours = gb_ms(gb, "thumbnail/ours/jpeg_12mp_1080")
        floor = gb_ms(gb, "thumbnail/libjpeg_floor/jpeg_12mp_1080")
        floor2 = gb_ms(gb, "thumbnail/libjpeg_floor_ours/jpeg_12mp_1080")
        vips = gb_ms(gb, "thumbnail/vips/jpeg_12mp_1080")
        scale = int(gb_counter(gb, "thumbnail/libjpeg_floor/jpeg_12mp_1080", "scale_eighths")
                    or 3)
        scale2 = int(gb_counter(gb, "thumbnail/libjpeg_floor_ours/jpeg_12mp_1080",
                                "scale_eighths") or 5)

        def pil_decode():
            with Image.open(photo) as im:
                im.draft("RGB", (1080, 810))
                return im.resize((1080, 810))
        pil = pillow_time(pil_decode, self.runs(5))
        pil = pil * 1000 if isinstance(pil, float) else pil
        djpeg = run_proc(["djpeg", "-scale", f"{scale}/8", "-outfile", "/dev/null", photo],
                         self.runs(5))
        dj = minus(djpeg, start["djpeg"])
        table("3a. decode the 12 MP JPEG to a longer side of 1080, pixels in memory "
              "(milliseconds; targets: faster than vips and Pillow, <= 1.3x the floor)",
              ["decoder", "time", "peer/ours", "ours/this"],
              [[T("ours (decodeThumbnail 1080)"), (ours, "ms"), T("-"), T("-")],
               [T(f"floor: libjpeg DCT {scale}/8, no resize"), (floor, "ms"),
                (ratio(floor, ours), "x"), (ratio(ours, floor), "x")],
               [T(f"floor at our scale: libjpeg DCT {scale2}/8"), (floor2, "ms"),
                (ratio(floor2, ours), "x"), (ratio(ours, floor2), "x")],
               [T(f"djpeg -scale {scale}/8 - start"), (dj, "ms"), (ratio(dj, ours), "x"),
                (ratio(ours, dj), "x")],
               [T("libvips vips_thumbnail (in-process)"), (vips, "ms"), (ratio(vips, ours), "x"),
                T("-")],
               [T("Pillow draft + resize (in-process)"), (pil, "ms"), (ratio(pil, ours), "x"),
                T("-")]],
              [f"The floor decodes at the smallest DCT scale still >= 1080 ({scale}/8) and "
               f"stops there. Our decoder starts from the smallest scale >= 1.45 times the target "
               f"({scale2}/8) and area-averages down, for anti-aliasing; Pillow's draft takes "
               "1/2 and resizes (bicubic); vips_thumbnail shrinks on load, then resizes "
               "(lanczos3).",
               "libvips runs with its default thread pool (2 threads here); ours uses one."])
        self.results["decode 12mp->1080"] = {"ours_ms": ours, "floor_ms": floor,
                                             "floor_our_scale_ms": floor2, "vips_ms": vips,
                                             "pillow_ms": pil}

        # File to file: the render against a thumbnailer writing a JPEG.
        out = self.out("pil_render.jpg")

        def pil_render():
            with Image.open(photo) as im:
                im.draft("RGB", (1080, 810))
                im.resize((1080, 810)).save(out, "JPEG", quality=92)
        pil_r = pillow_time(pil_render, self.runs(5))
        pil_r = pil_r * 1000 if isinstance(pil_r, float) else pil_r
        vt = run_proc(["vipsthumbnail", photo, "-s", "1080",
                       "-o", self.out("vipsthumb.jpg") + "[Q=92]"], self.runs(5))
        full = gb_ms(gb, "render/ours/full")
        crop = gb_ms(gb, "render/ours/crop")
        vips_r = gb_ms(gb, "render/vips/full")
        table("3b. 12 MP JPEG to a 1080 x 810 JPEG file at quality 92 (milliseconds)",
              ["pipeline", "time", "peer/ours full"],
              [[T("ours render, crop 0.1,0.1,0.8,0.8"), (crop, "ms"), T("-")],
               [T("ours render, whole photo"), (full, "ms"), T("-")],
               [T("ours render via channel, crop"), (gb_ms(gb, "render/ours_channel/crop"), "ms"),
                T("-")],
               [T("libvips thumbnail + jpegsave (in-process)"), (vips_r, "ms"),
                (ratio(vips_r, full), "x")],
               [T("vipsthumbnail CLI - start"), (minus(vt, start["vipsthumbnail"]), "ms"),
                (ratio(minus(vt, start["vipsthumbnail"]), full), "x")],
               [T("Pillow draft + resize + save (in-process)"), (pil_r, "ms"),
                (ratio(pil_r, full), "x")]],
              ["The crop needs a decode limit of 1350 (1080 / 0.8); the decoder's 1.45-times "
               "margin takes it from DCT 4/8 (2016 x 1512), like the whole photo. The render "
               "also draws onto a Cairo canvas and writes atomically with two fsyncs (file and "
               "folder), which the peers do not."])
        self.results["render 12mp->1080x810"] = {"ours_crop_ms": crop, "ours_full_ms": full,
                                                 "vips_ms": vips_r, "pillow_ms": pil_r}

        # Peak memory of a huge PNG decoded to a small size.
        grad = self.path(GRADIENT)
        slow = self.runs(2)
        ours_p = run_proc([self.op, "thumbnail", grad, "1000"], slow, warmup=0)
        vips_p = run_proc([self.vop, "thumbnail", grad, "1000"], slow, warmup=0)
        vt_p = run_proc(["vipsthumbnail", grad, "-s", "1000", "-o", self.out("grad_thumb.png")],
                        slow, warmup=0)
        pil_p = run_proc(["/usr/bin/python3", "-c",
                          "import sys; from PIL import Image; Image.MAX_IMAGE_PIXELS = None; "
                          "im = Image.open(sys.argv[1]); im.thumbnail((1000, 1000)); "
                          "print(im.size)", grad], 1, warmup=0)
        table("3c. 15000 x 15000 PNG (RGB gradient) decoded to 1000: one process each "
              "(target: ours under 64 MiB)",
              ["decoder", "time ms", "peak RSS MiB", "start-up RSS MiB"],
              [[T("ours (bench_op thumbnail 1000)"), P(ours_p), P(ours_p, "rss"),
                P(start["bench_op"], "rss")],
               [T("libvips vips_thumbnail (bench_vips_op)"), P(vips_p), P(vips_p, "rss"),
                P(start["bench_vips_op"], "rss")],
               [T("vipsthumbnail CLI"), P(vt_p), P(vt_p, "rss"), P(start["vipsthumbnail"], "rss")],
               [T("Pillow open + thumbnail"), P(pil_p), P(pil_p, "rss"),
                P(start["python+PIL"], "rss")]],
              ["A full RGBA decode of this image would need 858 MiB."])
        self.results["png 15000 -> 1000"] = {"ours_ms": ours_p.ms, "ours_rss_mib": ours_p.rss_mib,
                                             "vips_rss_mib": vips_p.rss_mib,
                                             "pillow_rss_mib": pil_p.rss_mib}

    # 4 -------------------------------------------------------------------------------------
    def tiles(self, gb, start):
        rows, mem_rows = [], []
        full_decode = 1080 * 30000 * 4 / MIB
        for key, name, height, sample in TILE_CASES:
            path = self.path(name)
            out_w, out_h = 1080 // sample, height // sample
            ours = gb_ms(gb, f"tile/ours/{key}")
            vr = gb_ms(gb, f"tile/vips_random/{key}")
            vs = gb_ms(gb, f"tile/vips_sequential/{key}")
            dest = self.out(f"ours_{key}")

            def pil_tile(path=path, height=height, sample=sample):
                with Image.open(path) as im:
                    window = im.crop((0, TILE_Y, 1080, TILE_Y + height))
                    if sample > 1:
                        window = window.resize((1080 // sample, height // sample), Image.BOX)
                    window.save(self.out(f"pil_{key}.png"), "PNG")
            pil = pillow_time(pil_tile, self.runs(3), number=1)
            pil = pil * 1000 if isinstance(pil, float) else pil

            r = self.runs(3)
            ours_p = run_proc([self.op, "tile", path, dest, "0", str(TILE_Y), "1080", str(height),
                               str(sample)], r)
            vips_seq_p = run_proc([self.vop, "tile", path, "0", str(TILE_Y), "1080",
                                   str(height), str(sample), "sequential",
                                   self.out(f"vips_{key}.png")], r)
            vips_rnd_p = run_proc([self.vop, "tile", path, "0", str(TILE_Y), "1080",
                                   str(height), str(sample), "random",
                                   self.out(f"vips_{key}.png")], r)
            # ours runs on one thread; this is vips held to one as well.
            vips_one_p = run_proc([self.vop, "tile", path, "0", str(TILE_Y), "1080",
                                   str(height), str(sample), "sequential",
                                   self.out(f"vips1_{key}.png")], r,
                                  env={"VIPS_CONCURRENCY": "1"})
            # The command-line pipeline: extract_area, then resize through a vips file.
            if sample == 1:
                cli = [["vips", "extract_area", path + "[access=sequential]",
                        self.out(f"cli_{key}.png"), "0", str(TILE_Y), "1080", str(height)]]
            else:
                cli = [["vips", "extract_area", path + "[access=sequential]",
                        self.out(f"cli_{key}.v"), "0", str(TILE_Y), "1080", str(height)],
                       ["vips", "resize", self.out(f"cli_{key}.v"), self.out(f"cli_{key}.png"),
                        str(1 / sample)]]
            cli_p = run_proc(cli, r)
            pil_p = run_proc(["/usr/bin/python3", "-c",
                              "import sys; from PIL import Image\n"
                              "y, h, s = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
                              "im = Image.open(sys.argv[1]).crop((0, y, 1080, y + h))\n"
                              "if s > 1: im = im.resize((1080 // s, h // s), Image.BOX)\n"
                              "im.save(sys.argv[5], 'PNG')",
                              path, str(TILE_Y), str(height), str(sample),
                              self.out(f"pilp_{key}.png")], r)
            floor_p = run_proc([os.path.join(self.build, "bench", "bench_make_images"),
                                "tilefloor", path, self.out(f"floor_{key}.png"), "0",
                                str(TILE_Y), "1080", str(height), str(sample)], r)
            label = f"{key} ({out_w}x{out_h})"
            best_vips = min([v for v in (vr, vs) if isinstance(v, float)], default=None)
            rows.append([T(label), (ours, "ms"), (vr, "ms"), (vs, "ms"),
                         (minus(cli_p, start["vips"]), "ms"), (pil, "ms"),
                         (ratio(best_vips, ours), "x"), (ratio(pil, ours), "x"),
                         (size_of(dest + ".png"), "KiB"), (size_of(self.out(f"vips_{key}.png")),
                                                           "KiB"),
                         (size_of(self.out(f"pil_{key}.png")), "KiB")])
            mem_rows.append([T(label), P(floor_p), P(ours_p), (ratio(ours_p.ms, floor_p.ms), "x"),
                             P(vips_seq_p), (ratio(vips_seq_p.ms, ours_p.ms), "x"),
                             P(vips_one_p), P(ours_p, "rss"),
                             P(vips_seq_p, "rss"), P(vips_rnd_p, "rss"), P(cli_p, "rss"),
                             P(pil_p, "rss")])
            self.results[f"tile {key}"] = {"ours_ms": ours, "vips_random_ms": vr,
                                           "vips_sequential_ms": vs, "pillow_ms": pil,
                                           "ours_rss_mib": ours_p.rss_mib,
                                           "ours_process_ms": ours_p.ms,
                                           "floor_process_ms": floor_p.ms,
                                           "vips_process_ms": vips_seq_p.ms,
                                           "pillow_process_ms": pil_p.ms}
        table(f"4a. tiles of a 1080 x 30000 image at y = {TILE_Y} (milliseconds; "
              "target: faster than both peers)",
              ["case", "ours", "vips random", "vips sequential", "vips CLI - start", "Pillow",
               "best vips/ours", "Pillow/ours", "ours KiB", "vips KiB", "Pillow KiB"], rows,
              ["ours: velmo::tile in-process (tile file removed before each run); vips: "
               "extract_area [+ resize 1/sample] + pngsave in-process; vips CLI: the same as "
               "`vips` commands (sample 2 through a .v file); Pillow: open, crop, "
               "resize(BOX), save PNG in-process."])
        table(f"4b. tiles, one process each: time (ms, start-up included; targets: ours <= "
              f"floor, vips/ours >= 1.3x) and peak memory (MiB; target: ours under a quarter "
              f"of a full RGBA decode, {full_decode / 4:.1f} MiB)",
              ["case", "floor ms", "ours ms", "ours/floor", "vips seq ms", "vips/ours",
               "vips seq 1 thread ms", "ours RSS",
               "vips seq RSS", "vips random RSS", "vips CLI RSS", "Pillow RSS"], mem_rows,
              [f"Start-up RSS: bench_op {cell(start['bench_op'].rss_mib, 'MiB')}, "
               f"bench_vips_op {cell(start['bench_vips_op'].rss_mib, 'MiB')}, "
               f"vips CLI {cell(start['vips'].rss_mib, 'MiB')}, "
               f"python+PIL {cell(start['python+PIL'].rss_mib, 'MiB')} MiB. "
               f"A full RGBA decode of the image is {full_decode:.1f} MiB.",
               "floor: `bench_make_images tilefloor`, a plain row loop (libspng or libjpeg "
               "decoding every row down to the window's last, box average for sample 2) and "
               "one PNG encode with libspng (zlib 4, adaptive filters)."])


        self.deep_tiles(gb)

    def deep_tiles(self, gb):
        """Tiles down the long images in one long-lived caller that keeps the decodes'
        checkpoints (velmo_bench deep/...), beside libvips and Pillow at the top and at the
        bottom; peak memory of a whole scroll in one process (bench_op scroll)."""
        rows, mem_rows = [], []
        for key, name, height, sample in DEEP_CASES:
            path = self.path(name)
            if not os.path.exists(path):
                continue
            last = LONG_HEIGHT - height
            top = gb_ms(gb, f"deep/ours/{key}/top")
            past = gb_ms(gb, f"deep/ours/{key}/read_past")
            first = gb_ms(gb, f"deep/ours/{key}/first")
            scroll = gb_ms(gb, f"deep/ours/{key}/scroll")
            tiles = gb_counter(gb, f"deep/ours/{key}/scroll", "tiles")
            per_tile = scroll / tiles if isinstance(scroll, float) and tiles else None
            vips_top = gb_ms(gb, f"deep/vips_random/{key}/top")
            vips_deep = gb_ms(gb, f"deep/vips_random/{key}/deep")

            def pil_tile(y, path=path, height=height, sample=sample, key=key):
                with Image.open(path) as im:
                    window = im.crop((0, y, 1080, y + height))
                    if sample > 1:
                        window = window.resize((1080 // sample, height // sample), Image.BOX)
                    window.save(self.out(f"pil_deep_{key}.png"), "PNG")
            pil_top = pillow_time(lambda: pil_tile(0), self.runs(3), number=1)
            pil_deep = pillow_time(lambda: pil_tile(last), self.runs(3), number=1)
            pil_top = pil_top * 1000 if isinstance(pil_top, float) else pil_top
            pil_deep = pil_deep * 1000 if isinstance(pil_deep, float) else pil_deep
            label = f"{key} ({1080 // sample}x{height // sample})"
            rows.append([T(label), (top, "ms"), (past, "ms"), (ratio(past, top), "x"),
                         (per_tile, "ms"), (ratio(per_tile, top), "x"), (first, "ms"),
                         (vips_top, "ms"), (vips_deep, "ms"), (pil_top, "ms"),
                         (pil_deep, "ms")])
            if not key.startswith("jpeg"):
                scroll_p = run_proc([self.op, "scroll", path, self.out(f"scroll_{key}"),
                                     str(height), str(sample)], self.runs(1), warmup=0)
                mem_rows.append([T(label), P(scroll_p), P(scroll_p, "rss"),
                                 (gb_counter(gb, f"deep/ours/{key}/scroll", "checkpoint_bytes"),
                                  "bytes")])
            self.results[f"deep {key}"] = {"top_ms": top, "read_past_ms": past,
                                           "scroll_per_tile_ms": per_tile, "first_ms": first,
                                           "vips_top_ms": vips_top, "vips_deep_ms": vips_deep,
                                           "pillow_top_ms": pil_top, "pillow_deep_ms": pil_deep}
        table("4c. deep tiles of the 1080 x 30000 images in one long-lived caller (milliseconds; "
              "targets: read past <= 1.5x top, scroll <= 1.6x top per tile, first deep no "
              "slower than before by more than 5 %)",
              ["case", "top", "deep, read past", "/top", "scroll, per tile", "/top",
               "deep, first", "vips top", "vips deep", "Pillow top", "Pillow deep"], rows,
              ["ours: velmo::tile in-process with the plug-in's checkpoint store; top: y = 0; "
               f"deep: the last window (y = {LONG_HEIGHT} - height), 'read past' once the file "
               "was read past it, 'first' in a store that never saw the file; scroll: every "
               "window from y = 0 down in one store. vips: random access, in-process. Pillow: "
               "open, crop, resize(BOX), save PNG in-process."])
        table("4d. a whole scroll in one process: time (ms, start-up included), peak memory "
              "(MiB) and the checkpoints kept for the file (bytes; budget 1 MiB a file)",
              ["case", "scroll ms", "peak RSS", "checkpoints"], mem_rows)

    # 5 -------------------------------------------------------------------------------------
    def render_full(self, gb, start):
        """The render-full job (bench_support.h, pillow_full.py): ours, the floor, libvips and
        Pillow, in-process and as whole processes, each output checked."""
        import pillow_full
        photo = self.path(PHOTO)
        ours = gb_ms(gb, "full/ours/jpeg_12mp")
        plain = gb_ms(gb, "full/ours_plain/jpeg_12mp")
        floor = gb_ms(gb, "full/floor/jpeg_12mp")
        vips = gb_ms(gb, "full/vips/jpeg_12mp")
        scale = int(gb_counter(gb, "full/floor/jpeg_12mp", "scale_eighths") or 3)
        pil_out = self.out("full_pillow.jpg")

        def pillow_in_process(keep_memory):
            """Pillow's job timed in a Python process of its own, so that the figure does not
            depend on what ran before it: (wall ms, CPU ms), or a reason. Pillow allocates its
            images in blocks that go back to the system when freed, so by default every job
            faults in fresh pages (about 15 us each on this VM); |keep_memory| sets glibc to
            keep them (MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_), which shows the
            job's own work."""
            if Image is None:
                return None, None
            env = dict(os.environ)
            if keep_memory:
                env.update(MALLOC_MMAP_THRESHOLD_=str(64 << 20), MALLOC_TRIM_THRESHOLD_=str(1 << 30))
            result = subprocess.run(
                ["/usr/bin/python3", os.path.join(REPO, "bench", "pillow_full.py"), photo, pil_out,
                 str(self.runs(5))], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                text=True)
            if result.returncode != 0:
                return "n/a (" + (result.stderr.strip().splitlines() or ["failed"])[-1] + ")", None
            wall, cpu = (float(v) for v in result.stdout.split())
            return wall, cpu

        pil, pil_cpu_ms = pillow_in_process(False)
        pil_kept, pil_kept_cpu = pillow_in_process(True)

        r = self.runs(7)
        cli_out = self.out("full_cli")
        cli = run_proc([self.cli, "call", "render", json.dumps(full_job_arguments(photo, cli_out))],
                       r)
        floor_p = run_proc([["djpeg", "-scale", f"{scale}/8", "-outfile", "/dev/null", photo],
                            ["cjpeg", "-quality", "92", "-outfile", self.out("full_floor.jpg"),
                             self.path("canvas_1080x810.ppm")]], r)
        vips_p = run_proc([self.vop, "full", photo, self.out("full_vips_p.jpg")], r)
        pil_p = run_proc(["/usr/bin/python3", os.path.join(REPO, "bench", "pillow_full.py"),
                          photo, self.out("full_pillow_p.jpg")], r)

        checks = {who: check_full_output(path) for who, path in [
            ("ours", self.out("full_ours.jpg")), ("ours CLI", cli_out + ".jpg"),
            ("libvips", self.out("full_vips.jpg")), ("Pillow", pil_out)]}

        def row(label, t, base, check=None, mine=ours):
            return [T(label), (t, "ms"), (ratio(t, base), "x"), (ratio(t, mine), "x"),
                    T(check if check else "-")]

        cpu = {who: gb_cpu_ms(gb, f"full/{who}/jpeg_12mp")
               for who in ("floor", "ours", "ours_plain", "vips")}
        cpu["pillow"] = pil_cpu_ms
        cpu["pillow_kept"] = pil_kept_cpu

        def cpu_cells(who):
            return [(cpu[who], "ms"), (ratio(cpu[who], cpu["floor"]), "x")]
        table("5a. render-full in-process: 12 MP JPEG, crop 0.8, 5 pens, 1 blur brush, signature, "
              "1080 x 810 JPEG q92 (milliseconds; targets: ours <= 1.5x floor, plain <= 1.3x)",
              ["pipeline", "time", "/floor", "/ours", "output check", "CPU", "CPU/floor"],
              [row(f"floor: libjpeg DCT {scale}/8 + encode 1080x810", floor, floor) +
               cpu_cells("floor"),
               row("ours render-full", ours, floor, checks["ours"]) + cpu_cells("ours"),
               row("ours plain render, same crop", plain, floor) + cpu_cells("ours_plain"),
               row("libvips (in-process)", vips, floor, checks["libvips"]) + [T("-"), T("-")],
               row("Pillow, drawn at 4x (in-process)", pil, floor, checks["Pillow"]) +
               cpu_cells("pillow"),
               row("Pillow, its memory kept by glibc", pil_kept, floor) +
               cpu_cells("pillow_kept")],
              ["Output check: 1080 x 810, the pens red where they run, the brush's box smoother "
               "than the plain render's, mean difference from the plain render small.",
               "libvips draws without anti-aliasing (5-pixel bands of draw_line); ours and "
               "Pillow anti-alias. Ours also writes atomically with two fsyncs, which the wall "
               "time pays and the CPU time (this thread's) does not; libvips' CPU time is not "
               "comparable (its worker threads are not counted). Pillow runs in a Python "
               "process of its own (one warm-up job, then the median): as it comes, its image "
               "blocks go back to the system after each job and are faulted in again at the "
               "next (about 15 us a page here); with MALLOC_MMAP_THRESHOLD_ and "
               "MALLOC_TRIM_THRESHOLD_ raised, glibc keeps them and the row shows Pillow's "
               "own work."])
        table("5b. render-full, one process each (milliseconds, start-up included)",
              ["pipeline", "time", "/floor", "/ours", "output check"],
              [row(f"floor: djpeg -scale {scale}/8, then cjpeg", floor_p.ms, floor_p.ms,
                   mine=cli.ms),
               row("ours: velmo-image-tools call render", P(cli)[0], floor_p.ms,
                   checks["ours CLI"], mine=cli.ms),
               row("libvips (bench_vips_op full)", P(vips_p)[0], floor_p.ms, mine=cli.ms),
               row("Pillow (python3 pillow_full.py)", P(pil_p)[0], floor_p.ms, mine=cli.ms)])
        self.results["render-full"] = {
            "floor_ms": floor, "ours_ms": ours, "ours_plain_ms": plain, "vips_ms": vips,
            "pillow_ms": pil, "pillow_kept_ms": pil_kept, "checks": checks, "cpu_ms": cpu,
            "process": {"floor_ms": floor_p.ms, "ours_ms": cli.ms, "vips_ms": vips_p.ms,
                        "pillow_ms": pil_p.ms}}

    def strokes(self, gb, start):
        """6. The drawing's share of a render: pens and blur brushes against the JPEG encode of
        the same canvas, and the blur preview against the decode it is made from."""
        rows = []
        for size in ("1080x810", "4000x3000"):
            cpu = {part: gb_cpu_ms(gb, f"strokes/{part}/{size}")
                   for part in ("ours", "pens_only", "blur_only", "jpeg_encode", "blur_preview")}
            rows.append([T(size), (cpu["ours"], "ms"), (cpu["pens_only"], "ms"),
                         (cpu["blur_only"], "ms"), (cpu["jpeg_encode"], "ms"),
                         (ratio(cpu["ours"], cpu["jpeg_encode"]), "x"),
                         (cpu["blur_preview"], "ms")])
            self.results[f"strokes {size}"] = {"cpu_ms": cpu}
        table("6a. 20 pens of 200 points and 3 blur brushes drawn on a photo canvas (CPU "
              "milliseconds; target: strokes under a quarter of the encode on 1080 x 810)",
              ["canvas", "strokes", "pens only", "blur only", "JPEG encode", "strokes/encode",
               "blur preview"], rows,
              ["Pens: random walks of 200 points, steps up to 1 % of the canvas, the default "
               "width (4.9 px on 1080 x 810); blur brushes: 20 points, 5 % of the short side "
               "wide. The blur preview of the canvas-sized photo is made beforehand and shown "
               "apart."])
        dots = gb_cpu_ms(gb, "strokes/ours_5000_blur_dots/4000x3000")
        preview = gb_cpu_ms(gb, "blur_preview/ours/jpeg_12mp")
        decode = gb_cpu_ms(gb, "blur_preview/decode/jpeg_12mp")
        table("6b. blur brushes at scale (CPU milliseconds; targets: a 12 MP preview under a "
              "tenth of its decode, 5,000 one-point brushes under a second)",
              ["job", "time", "share"],
              [[T("blur preview of the decoded 12 MP photo"), (preview, "ms"),
                (ratio(preview, decode), "x")],
               [T("decode of that photo at full size"), (decode, "ms"), T("-")],
               [T("5,000 one-point blur brushes on 4000 x 3000"), (dots, "ms"), T("-")]])
        self.results["blur"] = {"preview_ms": preview, "decode_ms": decode, "dots_ms": dots}


def full_job_arguments(photo, destination):
    """The render-full job as "render" arguments (velmo_bench.cpp builds the same map)."""
    import pillow_full as job
    side = 1 - 2 * job.INSET
    per_pixel = job.WIDTH / (4032 * side)

    def fraction(pixels):
        return pixels / (3024 * per_pixel)
    strokes = [{"points": [list(p) for p in pen], "colorARGB": 0xFFFF3B30,
                "widthFraction": fraction(job.PEN_WIDTH)} for pen in job.pens()]
    strokes.append({"points": [list(p) for p in job.blur_path()], "shape": "blur",
                    "widthFraction": fraction(job.BLUR_WIDTH)})
    return {"path": photo, "destination": destination, "width": job.WIDTH, "height": job.HEIGHT,
            "recipe": {"crop": [job.INSET, job.INSET, side, side], "strokes": strokes,
                       "watermark": {"enabled": True, "text": job.SIGNATURE,
                                     "style": "minimalSignature"}}}


def check_full_output(path):
    """"ok" when a render-full output has the size and rough content the job asks for, else
    what is wrong: a fast row must not be fast because it skipped part of the job."""
    if Image is None:
        return "unchecked"
    if not os.path.exists(path):
        return "missing"
    import pillow_full as job
    from PIL import ImageChops, ImageStat
    with Image.open(path) as im:
        im = im.convert("RGB")
    if im.size != (job.WIDTH, job.HEIGHT):
        return f"size {im.size[0]}x{im.size[1]}"
    # The pens: sampled at their points (away from the brush), mostly red.
    red = total = 0
    for pen in job.pens():
        for p in pen[::7]:
            x, y = job.on_canvas(p)
            r, g, b = im.getpixel((int(x), int(y)))
            total += 1
            red += r > 170 and g < 110 and b < 110
    if red < 0.7 * total:
        return f"pens red at {red}/{total} points"
    # The brush: the image under its path is smoother than the photo there.
    with Image.open(path.replace(os.path.basename(path), "full_plain.jpg")) as plain_im:
        plain = plain_im.convert("RGB")
    mid = [job.on_canvas(p) for p in job.blur_path()[8:12]]
    box = (int(min(x for x, _ in mid)), int(min(y for _, y in mid)) - 8,
           int(max(x for x, _ in mid)), int(max(y for _, y in mid)) + 8)

    def roughness(image):
        part = image.crop(box).convert("L")
        edges = ImageChops.difference(part, part.transform(part.size, Image.AFFINE,
                                                           (1, 0, 1, 0, 1, 0)))
        return ImageStat.Stat(edges).mean[0]
    if roughness(im) > 0.6 * roughness(plain):
        return "no blur under the brush"
    mean = sum(ImageStat.Stat(ImageChops.difference(im, plain)).mean) / 3
    if mean > 12:
        return f"far from the photo (mean difference {mean:.1f})"
    return "ok"


def machine():
    """"N cores, CPU model" of this machine."""
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {model}"


def size_of(path):
    return os.path.getsize(path) if os.path.exists(path) else None


def fs_of(path):
    try:
        out = subprocess.run(["df", "--output=fstype,source", path], stdout=subprocess.PIPE,
                             text=True).stdout.split("\n")[1].split()
        return f"{out[0]} ({out[1]})"
    except Exception:
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--goals", default="1,2,3,4,5,6")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    build, data = os.path.abspath(args.build), os.path.abspath(args.data)
    measuring.MEASURE = os.path.join(build, "bench", "bench_measure")
    if not os.path.exists(measuring.MEASURE):
        sys.exit(f"{measuring.MEASURE} is not built; run bench/run.sh")
    goals = [int(g) for g in args.goals.split(",")]

    started = time.perf_counter()
    load = os.getloadavg()
    generate_inputs(build, data)
    gb = gbench(build, data, goals, args.quick)
    bench = Bench(build, data, args.quick)
    start = bench.starts()
    print(f"\nvelmo bench, {datetime.date.today()}, {platform.node()}, {os.cpu_count()} cores, "
          f"Pillow {PIL.__version__ if PIL else 'absent'}, "
          f"{subprocess.run(['vips', '--version'], stdout=subprocess.PIPE, text=True).stdout.strip() if shutil.which('vips') else 'vips absent'}")
    for goal, fn in [(1, bench.metadata), (2, bench.encoding), (3, bench.render),
                     (4, bench.tiles), (5, bench.render_full), (6, bench.strokes)]:
        if goal in goals:
            fn(gb, start)
    with open(os.path.join(data, "out", "results.json"), "w") as f:
        json.dump({"date": str(datetime.date.today()), "machine": machine(),
                   "load": [round(load[0], 2), round(os.getloadavg()[0], 2)],
                   "results": bench.results}, f, indent=1, default=str)
    print(f"\nwhole run: {time.perf_counter() - started:.0f} s; load average at the start "
          f"{load[0]:.2f}, at the end {os.getloadavg()[0]:.2f} (above ~0.3 other work shared "
          "the cores and the figures are noisy)")


if __name__ == "__main__":
    sys.exit(main())
