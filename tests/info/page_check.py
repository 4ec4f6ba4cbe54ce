"""Drives kelvorin-info's HTML page in headless Chromium through WebDriver,
with real pointer, wheel and key events, against the --csv table, the --json
report and the --svg figure of the same map, all in one browser session.

    page_check.py PAGE CSV JSON SVG --ranged PAGE2 SVG2 LO HI --flipped PAGE3 CSV3
                  --table RRGGBB,...
    page_check.py --time PAGE     seconds from the request to data-ready and to the
                                  first readout, and from the navigation's start to
                                  data-ready on the page's own clock

Prints what is wrong and exits 1, else 0; exits 77 with the reason when
Chromium, its driver, Selenium or numpy is missing."""
import argparse, json, math, os, re, shutil, sys, tempfile, time, urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svg_check import png_pixels  # noqa: E402

problems = []


def check(ok, what):
    if not ok:
        problems.append(what)
    return ok


def browser():
    """A headless Chromium session with the network and console logs, or exit 77."""
    missing = [t for t in ("chromium", "chromedriver") if not shutil.which(t)]
    try:
        import numpy  # noqa: F401
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        missing.append("python3-selenium or python3-numpy (%s)" % e)
    if missing:
        print("no browser test: missing " + ", ".join(missing))
        sys.exit(77)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    profile = tempfile.mkdtemp(prefix="kelvorin-page-")
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + profile, "--window-size=1400,1000",
                "--force-device-scale-factor=1", "--force-color-profile=srgb", "--hide-scrollbars"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.profile_dir = profile
    return driver


def wait(driver, script, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.01)
    return None


def load(driver, page):
    driver.get("file://" + os.path.abspath(page))
    ready = wait(driver, "return document.body.dataset.ready === '1'")
    status = driver.execute_script("return document.getElementById('status').textContent")
    check(ready, "%s never became ready: %r" % (page, status))
    return ready


def act(driver, *steps):
    """Real input: ("move", x, y), ("down",), ("up",), ("key", KEY, down)."""
    from selenium.webdriver.common.actions.action_builder import ActionBuilder
    chain = ActionBuilder(driver)
    for step in steps:
        if step[0] == "key":
            (chain.key_action.key_down if step[2] else chain.key_action.key_up)(step[1])
            chain.pointer_action.pause(0)
            continue
        if step[0] == "move":
            chain.pointer_action.move_to_location(int(round(step[1])), int(round(step[2])))
        else:
            getattr(chain.pointer_action, "pointer_" + step[0])()
        chain.key_action.pause(0)
    chain.perform()


def drag(driver, a, b, shift=False):
    mid = ((a[0] + b[0]) / 2, (a[1] + b[1]) / 2)
    keys = [("key", "\ue008", True)] if shift else []
    act(driver, *keys, ("move", *a), ("down",), ("move", *mid), ("move", *b), ("up",),
        *([("key", "\ue008", False)] if shift else []))


def wheel(driver, at, delta):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    origin = ScrollOrigin.from_viewport(int(round(at[0])), int(round(at[1])))
    ActionChains(driver).scroll_from_origin(origin, 0, delta).perform()


def press(driver, element_id):
    driver.find_element("id", element_id).click()
    driver.execute_script("window.scrollTo(0, 0)")


def data(driver, element_id):
    return driver.execute_script("return Object.assign({}, document.getElementById(arguments[0]).dataset)",
                                 element_id)


class Map:
    """Screen places of camera pixels on #map at load, from its bounding box."""

    def __init__(self, driver, meta):
        self.driver, self.meta = driver, meta

    def box(self):
        return self.driver.execute_script(
            "const r = document.getElementById('map').getBoundingClientRect();"
            "return [r.left, r.top, r.width, r.height]")

    def at(self, col, row, fx=0.5, fy=0.5):
        left, top, w, h = self.box()
        m = self.meta
        return (left + (col - m["x"] + fx) * w / m["width"], top + (row - m["y"] + fy) * h / m["height"])


def readout(driver, where):
    act(driver, ("move", *where))
    d = data(driver, "readout")
    d["text"] = driver.find_element("id", "readout").text
    return d


def near_digits(shown, exact, digits):
    """True when `shown` is `exact` to `digits` significant digits."""
    if exact == 0:
        return shown == 0
    unit = 10 ** (math.floor(math.log10(abs(exact))) - digits + 1)
    return abs(shown - exact) <= 0.5 * unit * (1 + 1e-9)


def check_readouts(driver, grid, heights, meta, res):
    m = meta
    cols, rows = range(m["x"], m["x"] + m["width"]), range(m["y"], m["y"] + m["height"])
    gaps = [(c, r) for r in rows for c in cols if (c, r) not in heights]
    probes = [(cols[0], rows[0]), (cols[-1], rows[0]), (cols[-1], rows[-1]), (cols[0], rows[-1]),
              (cols[len(cols) // 2], rows[len(rows) // 3])] + gaps[:3]
    for c, r in probes:
        d = readout(driver, grid.at(c, r))
        if not check((d["col"], d["row"]) == (str(c), str(r)), "readout at %d,%d names %s,%s" % (c, r, d["col"], d["row"])):
            continue
        if (c, r) not in heights:
            check(d["nm"] == "" and "no data" in d["text"], "pixel %d,%d without data reads %r" % (c, r, d["text"]))
            continue
        h = heights[(c, r)]
        check(d["nm"] != "" and float(d["nm"]) == h, "data-nm at %d,%d is %r, not %r" % (c, r, d["nm"], h))
        shown = re.search(r"(\S+) nm$", d["text"])
        check(shown and near_digits(float(shown[1]), h, 6), "readout %r for %r" % (d["text"], h))
        lateral = re.search(r"x (\S+) \u00b5m, y (\S+) \u00b5m", d["text"])
        check(lateral and near_digits(float(lateral[1]), c * res[0] * 1e6, 6)
              and near_digits(float(lateral[2]), r * res[1] * 1e6, 6), "position in %r" % d["text"])


def check_zoom_and_pan(driver, grid, meta):
    c, r = meta["x"] + meta["width"] // 3, meta["y"] + meta["height"] // 3
    where = grid.at(c, r, 0.3, 0.7)
    before = readout(driver, where)
    width_px = grid.box()[2] / meta["width"]
    beside = readout(driver, (where[0] + 3 * width_px, where[1]))
    wheel(driver, where, -300)
    zoom = float(data(driver, "map")["zoom"])
    check(zoom > 1.5, "the wheel did not zoom in (zoom %g)" % zoom)
    after = readout(driver, where)
    check((after["col"], after["row"]) == (before["col"], before["row"]),
          "zoom moved the pixel under the pointer: %s,%s became %s,%s"
          % (before["col"], before["row"], after["col"], after["row"]))
    closer = readout(driver, (where[0] + 3 * width_px, where[1]))
    check(int(closer["col"]) < int(beside["col"]), "three pixel widths away still %s columns on" % closer["col"])
    # A drag in pan mode takes the pixel with the pointer.
    drag(driver, where, (where[0] - 40, where[1] + 25))
    moved = readout(driver, (where[0] - 40, where[1] + 25))
    check((moved["col"], moved["row"]) == (before["col"], before["row"]), "the pan lost the pixel under the pointer")
    press(driver, "zoom-reset")
    check(data(driver, "map")["zoom"] == "1", "reset left zoom %s" % data(driver, "map")["zoom"])


def profile_rows(driver):
    href = driver.find_element("id", "profile-csv").get_attribute("href")
    if not check(href.startswith("data:text/csv"), "profile link %r" % href[:40]):
        return None, []
    lines = urllib.parse.unquote(href.split(",", 1)[1]).rstrip("\n").split("\n")
    return lines[0], [line.split(",") for line in lines[1:]]


def check_profile(driver, a, b, heights, res):
    """The rows from press pixel a to release pixel b, against the heights."""
    header, rows = profile_rows(driver)
    check(header == "distance_um,col,row,nm", "profile header %r" % header)
    pts = [(int(row[1]), int(row[2])) for row in rows]
    if not check(pts and pts[0] == a and pts[-1] == b, "profile runs %s .. %s, not %s .. %s"
                 % (pts[:1], pts[-1:], a, b)):
        return
    n = max(abs(b[0] - a[0]), abs(b[1] - a[1]))
    check(len(pts) == n + 1, "%d profile pixels for %d steps" % (len(pts), n))
    for i, (p, row) in enumerate(zip(pts, rows)):
        if i:
            step = (p[0] - pts[i - 1][0], p[1] - pts[i - 1][1])
            check(max(map(abs, step)) == 1, "profile jumps %s at %s" % (step, p))
        for axis in (0, 1):  # within half a pixel of the straight line
            ideal = a[axis] + (b[axis] - a[axis]) * i / n
            check(abs(p[axis] - ideal) <= 0.5 + 1e-9, "profile pixel %s off the line" % (p,))
        distance = math.hypot((p[0] - a[0]) * res[0], (p[1] - a[1]) * res[1]) * 1e6
        check(abs(float(row[0]) - distance) <= 1e-9 * max(1, distance), "distance %s at %s, not %r" % (row[0], p, distance))
        if p in heights:
            check(row[3] != "" and float(row[3]) == heights[p], "profile height %r at %s" % (row[3], p))
        else:
            check(row[3] == "", "profile height %r at %s without data" % (row[3], p))


def check_region(driver, grid, a, b, heights, expect=None):
    import numpy as np
    drag(driver, grid.at(*a), grid.at(*b))
    d = data(driver, "region-stats")
    xs, ys = sorted((a[0], b[0])), sorted((a[1], b[1]))
    h = np.array([v for (c, r), v in heights.items() if xs[0] <= c <= xs[1] and ys[0] <= r <= ys[1]])
    check(int(d["valid"]) == len(h), "region valid %s, not %d" % (d["valid"], len(h)))
    mean = h.mean()
    want = expect or {"pv": h.max() - h.min(), "rms": math.sqrt(((h - mean) ** 2).mean()), "mean": mean}
    for key, value in want.items():
        got = float(d[key])
        exact = expect is not None  # the whole map: the report's own numbers
        check(got == value if exact else abs(got - value) <= 1e-9 * abs(h).max(),
              "region %s %r, not %r" % (key, got, value))


def screen_colours(driver, grid, pixels):
    w, _, shot = png_pixels(driver.get_screenshot_as_png())
    out = {}
    for c, r in pixels:
        x, y = grid.at(c, r)
        out[(c, r)] = "#%02x%02x%02x" % shot[int(y) * w + int(x)][:3]
    return out


def check_colour_range(driver, grid, heights, gaps, table, meta):
    lo = meta["min"] + 0.3 * (meta["max"] - meta["min"])
    hi = meta["min"] + 0.7 * (meta["max"] - meta["min"])
    for element_id, value in (("range-min", lo), ("range-max", hi)):
        field = driver.find_element("id", element_id)
        field.clear()
        field.send_keys(repr(value))
    press(driver, "range-apply")
    pixels = sorted(heights)[::max(1, len(heights) // 40)]
    colours = screen_colours(driver, grid, pixels + gaps[:2])
    for p in pixels:
        t = (heights[p] - lo) / (hi - lo) * 256
        want = min(max(math.floor(t), 0), 255)
        got = colours[p]
        entry = table.index(got) if got in table else None
        check(entry is not None and abs(entry - want) <= (1 if 0 < want < 255 else 0),
              "pixel %s at %r nm shows %s, not entry %d (%s)" % (p, heights[p], got, want, table[want]))
    for p in gaps[:2]:
        check(colours[p] == meta["noData"] and colours[p] not in table, "pixel %s without data shows %s" % (p, colours[p]))
    for marker in ("above-range", "below-range"):
        check(driver.find_elements("id", marker), "no %s marker" % marker)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("page"), ap.add_argument("csv", nargs="?"), ap.add_argument("report", nargs="?")
    ap.add_argument("svg", nargs="?")
    ap.add_argument("--ranged", nargs=4)
    ap.add_argument("--flipped", nargs=2)
    ap.add_argument("--table")
    ap.add_argument("--time", action="store_true")
    args = ap.parse_args()
    driver = browser()
    try:
        if args.time:
            return time_page(driver, args.page)
        run_checks(driver, args)
        check_network(driver)
    finally:
        driver.quit()
        shutil.rmtree(driver.profile_dir, ignore_errors=True)
    for p in problems:
        print(p)
    return 1 if problems else 0


def time_page(driver, page):
    start = time.time()
    load(driver, page)
    ready = time.time() - start
    meta = json.loads(driver.execute_script("return document.getElementById('meta').textContent"))
    grid = Map(driver, meta)
    d = readout(driver, grid.at(meta["x"] + meta["width"] // 2, meta["y"] + meta["height"] // 2))
    answered = time.time() - start
    # The page's own clock: from the start of the navigation to data-ready.
    inside = driver.execute_script(
        "const m = performance.getEntriesByName('kelvorin-ready'); return m.length ? m[0].startTime : -1")
    print("%.2f %.2f %.2f %s" % (ready, answered, inside / 1000, "readout" if d["col"] else "no-readout"))
    return 0


def run_checks(driver, args):
    table = ["#" + t.lower() for t in args.table.split(",")]
    report = json.load(open(args.report, encoding="utf-8"))[0]
    phase, attrs = report["phase"], report["attributes"]
    heights = read_heights(args.csv)
    import numpy as np
    single = lambda key: float(np.float32(attrs[key]))  # the file's own single-precision value
    # Lengths come from the decimal that the float stands for (the JSON's).
    res = (attrs["CameraRes"], attrs["CameraRes"] * single("PixelHeight") / single("PixelWidth"))

    # Without any network: the page must still come up and answer.
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.emulateNetworkConditions",
                           {"offline": True, "latency": 0, "downloadThroughput": 0, "uploadThroughput": 0})
    if not load(driver, args.page):
        return
    meta = json.loads(driver.execute_script("return document.getElementById('meta').textContent"))
    grid = Map(driver, meta)
    cols = range(meta["x"], meta["x"] + meta["width"])
    rows = range(meta["y"], meta["y"] + meta["height"])
    gaps = [(c, r) for r in rows for c in cols if (c, r) not in heights]

    # What the figure shows: the same title, figures, ticks and scale.
    svg = {e.get("id"): e for e in ET.parse(args.svg).getroot().iter() if e.get("id")}
    text = lambda i: driver.find_element("id", i).text
    for key in ("title", "figures", "captured"):
        check(text(key) == svg[key].text, "%s %r, not %r" % (key, text(key), svg[key].text))
    check_ticks(driver, svg)
    check(text("scale-label") == svg["scale-label"].text, "scale %r" % text("scale-label"))
    _, _, w, h = grid.box()
    aspect = meta["width"] * attrs["PixelWidth"] / (meta["height"] * attrs["PixelHeight"])
    check(max(w, h) == 640 and abs(w / h - aspect) <= 1 / min(w, h), "map box %g x %g" % (w, h))

    check_readouts(driver, grid, heights, meta, res)
    check_zoom_and_pan(driver, grid, meta)

    # Profiles: by the mode, and by shift-drag in pan mode, backwards.
    a, b = (cols[1], rows[2]), (cols[-3], rows[-1])
    press(driver, "mode-profile")
    drag(driver, grid.at(*a), grid.at(*b))
    check_profile(driver, a, b, heights, res)
    press(driver, "mode-pan")
    a, b = (cols[-1], rows[4]), (cols[2], rows[len(rows) // 2])
    drag(driver, grid.at(*a), grid.at(*b), shift=True)
    check_profile(driver, a, b, heights, res)

    # Regions: one rectangle, and the whole map with the report's figures.
    press(driver, "mode-region")
    check_region(driver, grid, (cols[-4], rows[3]), (cols[5], rows[-6]), heights)
    check_region(driver, grid, (cols[0], rows[0]), (cols[-1], rows[-1]), heights,
                 {"pv": phase["pv_nm"], "rms": phase["rms_nm"], "mean": phase["mean_nm"]})

    # Colour ranges: typed, percentile clip, full.
    check_colour_range(driver, grid, heights, gaps, table, meta)
    press(driver, "range-clip")
    values = np.array(sorted(heights.values()))
    for element_id, want in zip(("range-min", "range-max"), np.percentile(values, [1, 99])):
        got = float(driver.find_element("id", element_id).get_attribute("value"))
        check(abs(got - want) <= 1e-12 * abs(values).max(), "clip %s %r, not %r" % (element_id, got, want))
    press(driver, "range-full")
    for element_id, want in (("range-min", phase["min_nm"]), ("range-max", phase["max_nm"])):
        got = float(driver.find_element("id", element_id).get_attribute("value"))
        check(got == want, "full range %s %r, not %r" % (element_id, got, want))
    check(not driver.find_elements("id", "above-range"), "marker over the full range")

    # The page made with --range starts in it, clipped ends marked.
    page2, svg2, lo, hi = args.ranged
    if load(driver, page2):
        check_ticks(driver, {e.get("id"): e for e in ET.parse(svg2).getroot().iter() if e.get("id")})
        for element_id, want in (("range-min", lo), ("range-max", hi)):
            got = driver.find_element("id", element_id).get_attribute("value")
            check(float(got) == float(want), "--range page %s %s, not %s" % (element_id, got, want))
        for marker in ("above-range", "below-range"):
            check(driver.find_elements("id", marker), "--range page without %s" % marker)


    # A page whose heights were cut short says so and never becomes ready.
    text = open(args.page, encoding="utf-8").read()
    start = text.index('id="heights">') + len('id="heights">')
    damaged = os.path.join(os.path.dirname(os.path.abspath(args.page)), "damaged.html")
    with open(damaged, "w", encoding="utf-8") as f:
        f.write(text[:start] + text[start:text.index("<", start)][:-400] + text[text.index("<", start):])
    driver.get("file://" + damaged)
    status = wait(driver, "const s = document.getElementById('status');"
                          "return s.classList.contains('error') && s.textContent", 30)
    check(status and "cannot show the map" in status, "damaged page: status %r" % status)
    check(driver.execute_script("return document.body.dataset.ready") == "0", "damaged page became ready")

    # Heights that fall as the counts rise: readouts and percentiles.
    page3, csv3 = args.flipped
    if load(driver, page3):
        heights = read_heights(csv3)
        check_readouts(driver, Map(driver, meta), heights, meta, res)
        press(driver, "range-clip")
        values = np.array(sorted(heights.values()))
        for element_id, want in zip(("range-min", "range-max"), np.percentile(values, [1, 99])):
            got = float(driver.find_element("id", element_id).get_attribute("value"))
            check(abs(got - want) <= 1e-12 * abs(values).max(), "flipped clip %s %r, not %r" % (element_id, got, want))


def check_ticks(driver, svg):
    """The colour bar's labels are those of the figure over the same range."""
    page_ticks = driver.execute_script(
        "return [...document.querySelectorAll('#colour-bar #ticks text')].map(t => t.textContent)")
    check(page_ticks == [t.text for t in svg["ticks"].iter("{http://www.w3.org/2000/svg}text")],
          "ticks %s differ from the figure's" % page_ticks)


def read_heights(path):
    heights = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines()[1:]:
            x, y, h = line.split(",")
            heights[(int(x), int(y))] = float(h)
    return heights


def check_network(driver):
    """No request beyond the page's own files, and no console errors."""
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message.get("params", {})
        url = params.get("request", {}).get("url") or params.get("url") or ""
        if message["method"].startswith("Network.") and re.match(r"(https?|wss?|ftp):", url):
            check(False, "network request %s %s" % (message["method"], url))
    for entry in driver.get_log("browser"):
        check(entry["level"] != "SEVERE", "console: %s" % entry["message"])


if __name__ == "__main__":
    sys.exit(main())
