"""Checks a kelvorin-info SVG figure against the PNG and the JSON report of
the same run with Python's XML parser and, with --render, the pixels of
headless Chromium's rendering. Prints what is wrong and exits 1, else 0."""
import argparse, base64, datetime, json, math, os, re, struct, subprocess, sys, tempfile, zlib
import xml.etree.ElementTree as ET

NS = {"s": "http://www.w3.org/2000/svg"}
XLINK = "{http://www.w3.org/1999/xlink}href"
problems = []


def check(ok, what):
    if not ok:
        problems.append(what)
    return ok


def png_pixels(data):
    """(width, height, [(r, g, b, a)] row after row) of an 8-bit PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    at, idat, palette, alpha = 8, b"", b"", b""
    while True:
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        assert zlib.crc32(data[at + 4:at + 8 + length]) == struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and interlace == 0 and ctype in (2, 3, 6), "unsupported PNG"
        palette, alpha = (body, alpha) if kind == b"PLTE" else (palette, body if kind == b"tRNS" else alpha)
        idat += body if kind == b"IDAT" else b""
        at += 12 + length
        if kind == b"IEND":
            break
    bpp = {2: 3, 3: 1, 6: 4}[ctype]
    raw, stride, pixels, prev = zlib.decompress(idat), w * bpp, [], bytearray(w * bpp)
    for y in range(h):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b, c = prev[x], prev[x - bpp] if x >= bpp else 0
            p = a + b - c
            paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            line[x] = (line[x] + (0, a, b, (a + b) // 2, paeth)[kind]) & 255
        prev = line
        for x in range(0, stride, bpp):
            if ctype == 3:
                i = line[x]
                pixels.append(tuple(palette[3 * i:3 * i + 3]) + (alpha[i] if i < len(alpha) else 255,))
            else:
                pixels.append(tuple(line[x:x + 3]) + ((line[x + 3],) if bpp == 4 else (255,)))
    return w, h, pixels


def num(e, key):
    return float(e.get(key, 0))


def document(svg):
    """The parsed figure and its elements by id, checked to be one SVG file without scripts, fonts or
    references outside it."""
    text = open(svg, "rb").read().decode("utf-8")
    root = ET.fromstring(text)
    check(root.tag == "{%s}svg" % NS["s"], "root is no svg element")
    check(root.get("viewBox") == "0 0 %g %g" % (num(root, "width"), num(root, "height")),
          "viewBox differs from the size")
    check(not re.search(r"<script|@font-face|<font|url\(", text), "script, font or url() in the file")
    for e in root.iter():
        href = e.get("href") or e.get(XLINK)
        check(href is None or href.startswith("data:"), "external reference %r" % href)
    return root, {e.get("id"): e for e in root.iter() if e.get("id")}


def check_embedded(image, picture):
    """The image embeds the picture enlarged by the largest whole factor that its drawn size holds,
    each pixel a block of that many pixels square."""
    w, h, pixels = picture
    iw, ih = num(image, "width"), num(image, "height")
    w_svg, h_svg, px_svg = png_pixels(base64.b64decode(image.get(XLINK).split(",", 1)[1]))
    k = w_svg // w
    check(k >= 1 and (w_svg, h_svg) == (k * w, k * h), "embedded %d x %d for %d x %d" % (w_svg, h_svg, w, h))
    check(k * w <= iw + 0.01 and k * h <= ih + 0.01, "enlarged %d times beyond the drawn size" % k)
    check((k + 1) * w > iw + 0.01 or (k + 1) * h > ih + 0.01, "enlarged %d times, not the most" % k)
    same = lambda a, b: a == b or a[3] == b[3] == 0  # a transparent pixel's colour does not show
    check(k < 1 or all(same(px_svg[y * w_svg + x], pixels[(y // k) * w + x // k])
                       for y in range(h_svg) for x in range(w_svg)), "embedded pixels are not the picture's")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("svg"), ap.add_argument("png"), ap.add_argument("report")
    ap.add_argument("--table", required=True)
    ap.add_argument("--range", nargs=2, type=float)
    ap.add_argument("--above", action="store_true"), ap.add_argument("--below", action="store_true")
    ap.add_argument("--resolution", type=float, default=0.0)
    ap.add_argument("--render", action="store_true")
    args = ap.parse_args()
    table = ["#" + t.lower() for t in args.table.split(",")]
    report = json.load(open(args.report, encoding="utf-8"))[0]
    phase, attrs = report["phase"], report["attributes"]
    lo, hi = args.range or (phase["min_nm"], phase["max_nm"])

    root, by_id = document(args.svg)
    width, height = num(root, "width"), num(root, "height")

    # The map: the --png file's pixels, at the camera pixels' aspect, 600 px on its long side.
    image = by_id["map"]
    w_png, h_png, px_png = png_pixels(open(args.png, "rb").read())
    iw, ih = num(image, "width"), num(image, "height")
    check_embedded(image, (w_png, h_png, px_png))
    pw, ph = attrs["PixelWidth"] or 1, attrs["PixelHeight"] or 1
    check(abs(iw / ih - w_png * pw / (h_png * ph)) < 0.01 * iw / ih, "map aspect %g x %g" % (iw, ih))
    check(abs(max(iw, ih) - 600) < 1, "map's long side %g" % max(iw, ih))

    # Colour bar: the table from the bottom up, band on band, inside the figure.
    bands = by_id["colour-bar"].findall("s:rect", NS)
    check([b.get("fill") for b in bands] == table, "colour bar colours are not the table's")
    check(all(abs(num(a, "y") + num(a, "height") - num(b, "y")) < 0.02 for b, a in zip(bands, bands[1:])),
          "bar bands apart")
    bar_bottom, bar_top = num(bands[0], "y") + num(bands[0], "height"), num(bands[-1], "y")
    for e in bands + [image]:
        check(0 <= num(e, "x") and num(e, "x") + num(e, "width") <= width and 0 <= num(e, "y")
              and num(e, "y") + num(e, "height") <= height, "%s outside the figure" % e.get("fill"))
    check([e.text for e in root.iter("{%s}text" % NS["s"]) if "nm" in (e.text or "")].count("nm") == 1,
          "the unit is not the bar's one title")

    # Ticks: round numbers alone, inside the range, increasing upwards at their heights.
    labels = by_id["ticks"].findall("s:text", NS)
    values = [float(t.text) for t in labels]
    ys = [num(t, "y") for t in labels]
    span = hi - lo
    if span == 0:
        check(len(values) == 1 and abs(values[0] - lo) <= 5e-4 * abs(lo), "flat map label %r" % values)
    elif check(3 <= len(values) <= 10, "%d ticks" % len(values)):
        step = values[1] - values[0]
        mantissa = step / 10 ** math.floor(math.log10(step))
        check(any(abs(mantissa - m) < 1e-9 for m in (1, 2, 2.5, 5)), "step %r not round" % step)
        for v, y in zip(values, ys):
            check(lo - 1e-9 * span <= v <= hi + 1e-9 * span, "tick %r outside the range" % v)
            check(abs(v / step - round(v / step)) < 1e-6 * max(1, abs(v / step)), "tick %r off the step" % v)
            expected_y = bar_bottom - (v - lo) / span * (bar_bottom - bar_top)
            check(abs(y - expected_y) < 5, "tick %r at y %g, not %g" % (v, y, expected_y))
        check(all(b < a for a, b in zip(ys, ys[1:])), "ticks do not rise")
    check(("above-range" in by_id) == args.above, "marker above the range")
    check(("below-range" in by_id) == args.below, "marker below the range")

    # Scale bar: its label's length at the map's scale, about a fifth of the map.
    if args.resolution > 0 and check("scale-bar" in by_id, "no scale bar"):
        number, unit = by_id["scale-label"].text.split()
        metres = float(number) * {"\u00b5m": 1e-6, "mm": 1e-3}[unit]
        check(float(number) / 10 ** math.floor(math.log10(float(number))) in (1, 2, 5), "length %s" % number)
        length = num(by_id["scale-length"], "width")
        check(abs(length - metres / args.resolution * iw / w_png) <= 1, "scale bar %g px" % length)
        check(0.1 <= metres / (args.resolution * w_png) <= 0.4, "scale bar %g m" % metres)
    else:
        check("scale-bar" not in by_id, "scale bar without a lateral resolution")

    # Title and figures: the name, the report's numbers, the capture time in UTC.
    check(by_id["title"].text == report["file"], "title %r" % by_id["title"].text)
    m = re.fullmatch(r"PV (\S+) nm  RMS (\S+) nm  mean (\S+) nm  valid (\S+)%", by_id["figures"].text)
    if check(m, "figures line %r" % by_id["figures"].text):
        for shown, key in zip(m.groups(), ("pv_nm", "rms_nm", "mean_nm")):
            check(abs(float(shown) - phase[key]) <= 5e-4 * abs(phase[key]), "%s %s" % (key, shown))
        check(abs(float(m[4]) - 100 * phase["valid"] / phase["pixels"]) <= 0.005 + 1e-9, "valid %s" % m[4])
    when = datetime.datetime.fromtimestamp(attrs["TimeStamp"], datetime.timezone.utc)
    check(by_id["captured"].text == when.strftime("captured %Y-%m-%d %H:%M:%S UTC"), "capture time")

    if args.render:
        render(args.svg, width, height, image, (w_png, h_png, px_png), by_id["no-data"].get("fill"),
               table, (num(bands[0], "x") + 10, bar_bottom - 0.5, bar_top + 0.5))
    for p in problems:
        print(p)
    return 1 if problems else 0


def rgb(hexa):
    return tuple(int(hexa[i:i + 2], 16) for i in (1, 3, 5))


def near(a, b):
    return max(abs(p - q) for p, q in zip(a, b)) <= 3


def screenshot(svg, width, height):
    """Headless Chromium's rendering of the file: a function of x, y giving (r, g, b), or None."""
    with tempfile.TemporaryDirectory() as tmp:
        shot = os.path.join(tmp, "shot.png")
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking", "--disable-component-update",
                        "--disable-sync", "--user-data-dir=" + os.path.join(tmp, "profile"),
                        "--hide-scrollbars", "--force-color-profile=srgb",
                        "--window-size=%d,%d" % (width, height), "--screenshot=" + shot,
                        "file://" + os.path.abspath(svg)], capture_output=True, timeout=120)
        if not check(os.path.exists(shot), "Chromium wrote no screenshot"):
            return None
        sw, _, shot_px = png_pixels(open(shot, "rb").read())
    return lambda x, y: shot_px[int(y) * sw + int(x)][:3]


def render(svg, width, height, image, picture, background, table, bar):
    """Chromium's screenshot: map pixels, no-data background, bar ends."""
    at = screenshot(svg, width, height)
    if at is None:
        return
    w, h, pixels = picture
    sx, sy = num(image, "width") / w, num(image, "height") / h
    probes = [(0, 0), (w - 1, 0), (w // 2, h // 2), (w - 1, h - 1)]
    probes += [(i % w, i // w) for i, p in enumerate(pixels) if p[3] == 0][:2]
    for x, y in probes:
        expected = pixels[y * w + x][:3] if pixels[y * w + x][3] else rgb(background)
        got = at(num(image, "x") + (x + 0.5) * sx, num(image, "y") + (y + 0.5) * sy)
        check(near(got, expected), "rendered map pixel %d,%d is %s, not %s" % (x, y, got, expected))
    check(near(at(bar[0], bar[1]), rgb(table[0])), "rendered bar bottom %s" % (at(bar[0], bar[1]),))
    check(near(at(bar[0], bar[2]), rgb(table[255])), "rendered bar top %s" % (at(bar[0], bar[2]),))


if __name__ == "__main__":
    sys.exit(main())
