#!/usr/bin/env python3
"""Fixtures and the reference pipeline for image_bench.

  image_bench.py generate DIR             writes photo.jpg (4000 x 3000) and screen.png (1920 x 1080)
  image_bench.py reference FILE W H RUNS  open, resize(LANCZOS) to W x H, convert('RGB') from the
                                          file's bytes in memory; prints "seconds peak_kib base_kib"
"""
import io
import random
import resource
import statistics
import sys
import time

from PIL import Image, ImageDraw, ImageFilter


def generate(folder):
    # Photo-like: smooth colour gradients, blurred blobs and fine noise, so the JPEG carries detail.
    w, h = 4000, 3000
    small = Image.new("RGB", (w // 8, h // 8))
    px = small.load()
    for y in range(h // 8):
        for x in range(w // 8):
            px[x, y] = ((x * 255) // (w // 8), (y * 255) // (h // 8), ((x + y) * 3) % 256)
    photo = small.resize((w, h), Image.BILINEAR)
    draw = ImageDraw.Draw(photo)
    rnd = random.Random(4)
    for _ in range(300):
        x, y, r = rnd.randrange(w), rnd.randrange(h), rnd.randrange(20, 200)
        draw.ellipse((x - r, y - r, x + r, y + r), fill=tuple(rnd.randrange(256) for _ in range(3)))
    photo = photo.filter(ImageFilter.GaussianBlur(3))
    noise = Image.effect_noise((w, h), 24).convert("RGB")
    photo = Image.blend(photo, noise, 0.15)
    photo.save(f"{folder}/photo.jpg", quality=90)

    # Screenshot-like: a white page of dark "text" lines, a title bar and a few coloured panels.
    w, h = 1920, 1080
    screen = Image.new("RGB", (w, h), (255, 255, 255))
    draw = ImageDraw.Draw(screen)
    draw.rectangle((0, 0, w, 40), fill=(40, 44, 52))
    draw.rectangle((0, 40, 260, h), fill=(240, 240, 245))
    for y in range(70, h - 20, 22):
        x = 290
        while x < w - 100:
            word = rnd.randrange(20, 90)
            draw.rectangle((x, y, x + word, y + 12), fill=(30, 30, 30))
            x += word + 9
        draw.text((20, y), "item %d" % y, fill=(20, 60, 160))
    screen.save(f"{folder}/screen.png")


def reference(path, width, height, runs):
    with open(path, "rb") as f:
        data = f.read()
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    for _ in range(runs + 1):
        start = time.perf_counter()
        image = Image.open(io.BytesIO(data))
        rgb = image.resize((width, height), Image.LANCZOS).convert("RGB")
        rgb.tobytes()
        times.append(time.perf_counter() - start)
        del image, rgb
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(statistics.median(times[1:]), peak, base)


if __name__ == "__main__":
    if sys.argv[1] == "generate":
        generate(sys.argv[2])
    else:
        reference(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
