"""Checks a kelvorin-info budget figure against the budget's JSON report of the same inputs and the
dominant input at each camera pixel, worked out by the test: Python's XML parser and, with --render,
the pixels of headless Chromium's rendering. Prints what is wrong and exits 1, else 0."""
import argparse, json, os, re, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import svg_check
from svg_check import NS, check, check_embedded, document, near, num, rgb, screenshot

# Colours that colour-blind readers tell apart (Okabe and Ito).
OKABE_ITO = {"#e69f00", "#56b4e9", "#009e73", "#f0e442", "#0072b2", "#d55e00", "#cc79a7", "#000000"}
INVALID = 0x7FFFFFF8


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("svg"), ap.add_argument("report"), ap.add_argument("expected")
    ap.add_argument("--render", action="store_true")
    args = ap.parse_args()
    budget = json.load(open(args.report, encoding="utf-8"))
    expected = json.load(open(args.expected, encoding="utf-8"))
    rows, combined = budget["inputs"], budget["combined"]
    n = len(rows)
    root, by_id = document(args.svg)
    width, height = num(root, "width"), num(root, "height")

    m = re.fullmatch(r"Combined RMS (\S+) nm", by_id["title"].text)
    if check(m, "title %r" % by_id["title"].text):
        check(abs(float(m[1]) - combined["rms_nm"]) <= 5e-4 * combined["rms_nm"], "title's RMS %s" % m[1])

    # Up to eight inputs each have a colour; of more, the seven largest shares (the earlier on a tie).
    ranked = sorted(range(n), key=lambda i: (-rows[i]["share"], i))
    own = sorted(ranked if n <= 8 else ranked[:7])
    keys = ["key-%d" % i for i in own] + (["key-others"] if n > 8 else [])
    legend = by_id["legend"].findall("s:g", NS)
    fills = {}
    for key, g in zip(keys, legend):
        check(g.get("id") == key, "legend entry %s where %s belongs" % (g.get("id"), key))
        fills[key] = g.find("s:rect", NS).get("fill").lower()
        name = rows[int(key[4:])]["name"] if key != "key-others" else "%d other inputs" % (n - 7)
        check(g.find("s:text", NS).text == name, "legend names %r, not %r" % (g.find("s:text", NS).text, name))
    check(len(set(fills.values())) == len(keys) and set(fills.values()) <= OKABE_ITO,
          "legend colours %s" % sorted(fills.values()))
    key_of = lambda i: "key-%d" % i if i in own else "key-others"

    # The bars: the shares of the combined variance, in the legend's colours.
    for key in keys:
        share = rows[int(key[4:])]["share"] if key != "key-others" else sum(
            r["share"] for i, r in enumerate(rows) if i not in own)
        g = by_id.get("share-" + key[4:])
        if not check(g is not None, "no bar for %s" % key):
            continue
        track, bar = g.find("s:rect[@class='track']", NS), g.find("s:rect[@class='bar']", NS)
        check(abs(num(bar, "width") - share * num(track, "width")) <= 0.01, "bar of %s" % key)
        check(bar.get("fill").lower() == fills.get(key), "bar of %s in another colour" % key)

    # The map: the result's window (the smallest holding the valid pixels), each pixel in its
    # dominant input's colour, transparent outside the result, at the pixels' aspect.
    frame_w, dominance = expected["width"], expected["dominance"]
    valid = [i for i, d in enumerate(dominance) if d != INVALID]
    x0, x1 = min(i % frame_w for i in valid), max(i % frame_w for i in valid)
    y0, y1 = min(i // frame_w for i in valid), max(i // frame_w for i in valid)
    w, h = x1 - x0 + 1, y1 - y0 + 1
    at = lambda x, y: dominance[(y0 + y) * frame_w + x0 + x]
    colour = lambda d: rgb(fills[key_of(d)]) + (255,) if d != INVALID else (0, 0, 0, 0)
    picture = (w, h, [colour(at(x, y)) for y in range(h) for x in range(w)])
    image = by_id["map"]
    check_embedded(image, picture)
    iw, ih = num(image, "width"), num(image, "height")
    check(abs(iw / ih - w / h) < 0.01 * iw / ih, "map aspect %g x %g" % (iw, ih))  # square pixels
    no_data = any(at(x, y) == INVALID for y in range(h) for x in range(w))
    check(("key-no-data" in by_id) == no_data, "outside the result in the legend: %s" % no_data)
    for e in [image] + list(by_id["legend"].iter("{%s}rect" % NS["s"])) + list(by_id["shares"].iter("{%s}rect" % NS["s"])):
        check(0 <= num(e, "x") and num(e, "x") + num(e, "width") <= width and 0 <= num(e, "y")
              and num(e, "y") + num(e, "height") <= height, "%s outside the figure" % e.get("id"))

    if args.render:
        shot = screenshot(args.svg, width, height)
        # A pixel of every colour of the map, and one outside the result.
        probes = {}
        for y in range(h):
            for x in range(w):
                probes.setdefault(key_of(at(x, y)) if at(x, y) != INVALID else "no-data", (x, y))
        for key, (x, y) in probes.items() if shot else ():
            got = shot(num(image, "x") + (x + 0.5) * iw / w, num(image, "y") + (y + 0.5) * ih / h)
            want = rgb(fills[key]) if key != "no-data" else rgb(by_id["no-data"].get("fill"))
            check(near(got, want), "rendered map pixel %d,%d (%s) is %s, not %s" % (x0 + x, y0 + y, key, got, want))
    for p in svg_check.problems:
        print(p)
    return 1 if svg_check.problems else 0


if __name__ == "__main__":
    sys.exit(main())
