// kelvorin-info's page: decodes the counts the page carries, draws the map
// in the colour table, and answers the pointer: height readout, zoom and
// pan, line profiles, region statistics, colour range and histogram.
// Every height is count x nmPerCount, as kelvorin-info computes it, and the
// statistics follow its formulas. Plain DOM and canvas; no network.
"use strict";
(function () {
  const INVALID = 0x7ffffff8; // counts from here on mark pixels without data
  const $ = (id) => document.getElementById(id);
  const meta = JSON.parse($("meta").textContent);
  const W = meta.width;
  const H = meta.height;
  const NPC = meta.nmPerCount;
  const RES_X = meta.resolutionX > 0 ? meta.resolutionX : 0; // metres per pixel
  const RES_Y = meta.resolutionY > 0 ? meta.resolutionY : 0;
  const SVG = "http://www.w3.org/2000/svg";

  // ---------------------------------------------------------------------
  // Numbers as kelvorin-info prints them.

  // Fixed decimals, trailing zeros and a bare point dropped, "-0" as "0".
  function trimmed(v, decimals) {
    let t = Math.abs(v) < 1e21 ? v.toFixed(Math.min(decimals, 100)) : String(v);
    if (t.includes(".") && !t.includes("e")) {
      t = t.replace(/0+$/, "").replace(/\.$/, "");
    }
    return t === "-0" ? "0" : t;
  }

  // p significant digits, as printf's %.<p>g.
  function sig(v, p) {
    if (!Number.isFinite(v)) {
      return String(v);
    }
    if (v === 0) {
      return "0";
    }
    const [m, e] = v.toExponential(p - 1).split("e");
    const exp = Number(e);
    if (exp < -4 || exp >= p) {
      const mant = m.includes(".") ? m.replace(/0+$/, "").replace(/\.$/, "") : m;
      return mant + "e" + (exp < 0 ? "-" : "+") + String(Math.abs(exp)).padStart(2, "0");
    }
    return trimmed(v, p - 1 - exp);
  }

  // m x 10^e, rounded once.
  const scaled = (m, e) => (e >= 0 ? m * Number("1e" + e) : m / Number("1e" + -e));

  // Round ticks over lo..hi: steps of 1, 2, 2.5 or 5 times a power of ten,
  // the smallest that gives at most 10 ticks; null without a usable span.
  function colourTicks(lo, hi) {
    const span = hi - lo;
    if (!(span > 0) || !Number.isFinite(span)) {
      return null;
    }
    for (let e = Math.floor(Math.log10(span)) - 2; ; ++e) {
      for (const m of [1, 2, 2.5, 5]) {
        const step = scaled(m, e);
        const first = Math.ceil(lo / step);
        const last = Math.floor(hi / step);
        if (last - first + 1 <= 10) {
          if (last - first + 1 < 2) {
            return null;
          }
          const values = [];
          for (let i = 0; i <= last - first; ++i) {
            values.push(scaled((first + i) * m, e));
          }
          return { values, decimals: Math.max((m === 2.5 ? 1 : 0) - e, 0) };
        }
      }
    }
  }

  // The 1-2-5 length nearest to a fifth of widthM, in mm from 1 mm on.
  function scaleLength(widthM) {
    const target = widthM / 5;
    if (!(target > 0) || !Number.isFinite(target)) {
      return null;
    }
    const e = Math.floor(Math.log10(target));
    const off = (m) => Math.abs(Math.log(scaled(m, e) / target));
    let best = 1;
    for (const m of [1, 2, 5, 10]) {
      if (off(m) < off(best)) {
        best = m;
      }
    }
    const metres = scaled(best, e);
    const inMm = metres >= 1e-3;
    return { metres, inMm, number: scaled(best, e + (inMm ? 3 : 6)) };
  }

  // ---------------------------------------------------------------------
  // The viewport: the one place where positions on #map (CSS px from its
  // top-left corner) and map pixels meet. Image coordinates u, v run from 0
  // at the phase window's left and top edges; pixel (col, row) covers
  // [col, col + 1) x [row, row + 1).
  function makeViewport(boxW, boxH) {
    const vp = { boxW, boxH, zoom: 1, ox: 0, oy: 0 };
    const baseX = () => vp.boxW / W; // px per pixel at zoom 1
    const baseY = () => vp.boxH / H;
    vp.maxZoom = () => Math.max(1, 64 / Math.min(baseX(), baseY()));
    vp.scaleX = () => baseX() * vp.zoom;
    vp.scaleY = () => baseY() * vp.zoom;
    vp.toImage = (x, y) => [vp.ox + x / vp.scaleX(), vp.oy + y / vp.scaleY()];
    vp.toBox = (u, v) => [(u - vp.ox) * vp.scaleX(), (v - vp.oy) * vp.scaleY()];
    // The pixel under a point, in the window (col, row) and the camera frame.
    vp.pixelAt = (x, y) => {
      const [u, v] = vp.toImage(x, y);
      const col = Math.floor(u);
      const row = Math.floor(v);
      const inside = col >= 0 && col < W && row >= 0 && row < H && x >= 0 && y >= 0 &&
        x < vp.boxW && y < vp.boxH;
      return { col, row, inside };
    };
    // Pans stay within the map: a map smaller than the box stays centred.
    const clamp = () => {
      const spanU = vp.boxW / vp.scaleX();
      const spanV = vp.boxH / vp.scaleY();
      vp.ox = spanU >= W ? (W - spanU) / 2 : Math.min(Math.max(vp.ox, 0), W - spanU);
      vp.oy = spanV >= H ? (H - spanV) / 2 : Math.min(Math.max(vp.oy, 0), H - spanV);
    };
    // Zooms by `factor` keeping the image point under (x, y) in place.
    vp.zoomAt = (x, y, factor) => {
      const [u, v] = vp.toImage(x, y);
      vp.zoom = Math.min(Math.max(vp.zoom * factor, 1), vp.maxZoom());
      vp.ox = u - x / vp.scaleX();
      vp.oy = v - y / vp.scaleY();
      clamp();
    };
    vp.panBy = (dx, dy) => {
      vp.ox -= dx / vp.scaleX();
      vp.oy -= dy / vp.scaleY();
      clamp();
    };
    vp.reset = () => {
      vp.zoom = 1;
      vp.ox = 0;
      vp.oy = 0;
    };
    // The whole pixels in sight: [u0, u1) x [v0, v1).
    vp.visible = () => {
      const [u, v] = vp.toImage(0, 0);
      const [u1, v1] = vp.toImage(vp.boxW, vp.boxH);
      return [Math.max(0, Math.floor(u)), Math.max(0, Math.floor(v)),
        Math.min(W, Math.ceil(u1)), Math.min(H, Math.ceil(v1))];
    };
    return vp;
  }

  // ---------------------------------------------------------------------
  // The counts: offsets from meta.base in four byte planes, deflated and
  // base64-coded in #heights.
  async function decodeCounts() {
    const text = $("heights").textContent.trim();
    let bytes;
    if (typeof Uint8Array.fromBase64 === "function") {
      bytes = Uint8Array.fromBase64(text);
    } else {
      const binary = atob(text);
      bytes = new Uint8Array(binary.length);
      for (let i = 0; i < binary.length; ++i) {
        bytes[i] = binary.charCodeAt(i);
      }
    }
    // Inflated straight into one buffer of the known size.
    const n = W * H;
    const k = meta.planes;
    const planes = new Uint8Array(k * n);
    const inflate = new DecompressionStream("deflate");
    const writer = inflate.writable.getWriter();
    writer.write(bytes).catch(() => {});
    writer.close().catch(() => {});
    const reader = inflate.readable.getReader();
    let filled = 0;
    for (;;) {
      const { value, done } = await reader.read();
      if (done) {
        break;
      }
      if (filled + value.length > planes.length) {
        throw new Error("the heights in the page are damaged");
      }
      planes.set(value, filled);
      filled += value.length;
    }
    if (filled !== planes.length) {
      throw new Error("the heights in the page are damaged");
    }
    // Offsets from base, all ones for no data; the array wraps base +
    // offset to the count (modulo 2^32, as it was made).
    const counts = new Int32Array(n);
    const base = meta.base;
    const [p0, p1, p2, p3] = [0, 1, 2, 3].map((p) => planes.subarray(Math.min(p, k - 1) * n));
    const none = k === 4 ? -1 : 2 ** (8 * k) - 1;
    const put = (i, offset) => {
      counts[i] = offset === none ? INVALID : base + offset;
    };
    if (k === 1) {
      for (let i = 0; i < n; ++i) put(i, p0[i]);
    } else if (k === 2) {
      for (let i = 0; i < n; ++i) put(i, p0[i] | (p1[i] << 8));
    } else if (k === 3) {
      for (let i = 0; i < n; ++i) put(i, p0[i] | (p1[i] << 8) | (p2[i] << 16));
    } else {
      for (let i = 0; i < n; ++i) put(i, p0[i] | (p1[i] << 8) | (p2[i] << 16) | (p3[i] << 24));
    }
    return counts;
  }

  // ---------------------------------------------------------------------
  // State.
  let counts = null;
  let view = null;
  let image = null; // the whole map, one canvas pixel per map pixel
  let imageData = null;
  const range = { lo: meta.lo, hi: meta.hi, how: "full" };
  let mode = "pan";
  let profile = null; // { from: [col, row], to: [col, row] } in the window
  let region = null; // { c0, r0, c1, r1 } inclusive, in the window
  let pointer = null; // last pointer position on #map, CSS px
  let drag = null;

  const mapCanvas = $("map");
  const overlay = $("overlay");
  const littleEndian = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;
  const rgba = (rgb) =>
    littleEndian
      ? (0xff000000 | ((rgb & 0xff) << 16) | (rgb & 0xff00) | ((rgb >> 16) & 0xff)) >>> 0
      : ((rgb << 8) | 0xff) >>> 0;
  const css = (rgb) => "#" + rgb.toString(16).padStart(6, "0");
  const palette = Uint32Array.from(meta.colours, rgba);
  const noData = rgba(parseInt(meta.noData.slice(1), 16));
  const height = (count) => count * NPC;

  // Entry of the colour table for count v over lo..hi: 256 equal bins, the
  // top of the range in the last one, outside values clamped, a range of
  // zero width in the middle entry.
  function binner(lo, hi) {
    const span = hi - lo;
    const a = span > 0 ? NPC * (256 / span) : 0;
    const b = span > 0 ? -lo * (256 / span) : 128;
    return (v) => {
      const t = v * a + b;
      if (!(t > 0)) {
        return t === t ? 0 : 128;
      }
      return t >= 255 ? 255 : Math.floor(t);
    };
  }

  function colourise() {
    const span = range.hi - range.lo;
    const a = span > 0 ? NPC * (256 / span) : 0;
    const b = span > 0 ? -range.lo * (256 / span) : 128;
    const px = new Uint32Array(imageData.data.buffer);
    const n = counts.length;
    // binner's rule, written out: this loop runs over every pixel.
    for (let i = 0; i < n; ++i) {
      const v = counts[i];
      const t = v * a + b;
      px[i] = v >= INVALID ? noData : palette[t > 0 ? (t >= 255 ? 255 : t | 0) : t === t ? 0 : 128];
    }
    image.getContext("2d").putImageData(imageData, 0, 0);
  }

  // ---------------------------------------------------------------------
  // Drawing.
  function sizeCanvas(canvas, w, h) {
    const dpr = window.devicePixelRatio || 1;
    canvas.width = Math.max(1, Math.round(w * dpr));
    canvas.height = Math.max(1, Math.round(h * dpr));
    canvas.style.width = w + "px";
    canvas.style.height = h + "px";
    return dpr;
  }

  function drawMap() {
    const ctx = mapCanvas.getContext("2d");
    const sx = mapCanvas.width / view.boxW;
    const sy = mapCanvas.height / view.boxH;
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(0, 0, mapCanvas.width, mapCanvas.height);
    ctx.imageSmoothingEnabled = false;
    const [u0, v0, u1, v1] = view.visible();
    if (u1 > u0 && v1 > v0) {
      const [x0, y0] = view.toBox(u0, v0);
      const [x1, y1] = view.toBox(u1, v1);
      ctx.drawImage(image, u0, v0, u1 - u0, v1 - v0, x0 * sx, y0 * sy, (x1 - x0) * sx, (y1 - y0) * sy);
    }
    mapCanvas.dataset.zoom = String(view.zoom);
    drawOverlay();
    drawScaleBar();
  }

  function drawOverlay(preview) {
    const ctx = overlay.getContext("2d");
    const dpr = overlay.width / view.boxW;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, view.boxW, view.boxH);
    const line = preview && preview.kind === "profile" ? preview : profile;
    const box = preview && preview.kind === "region" ? preview : region;
    const stroke = (path) => {
      ctx.lineWidth = 3;
      ctx.strokeStyle = "#000000";
      path();
      ctx.stroke();
      ctx.lineWidth = 1.5;
      ctx.strokeStyle = "#ffffff";
      path();
      ctx.stroke();
    };
    if (line) {
      const [x0, y0] = view.toBox(line.from[0] + 0.5, line.from[1] + 0.5);
      const [x1, y1] = view.toBox(line.to[0] + 0.5, line.to[1] + 0.5);
      stroke(() => {
        ctx.beginPath();
        ctx.moveTo(x0, y0);
        ctx.lineTo(x1, y1);
      });
    }
    if (box) {
      const [x0, y0] = view.toBox(box.c0, box.r0);
      const [x1, y1] = view.toBox(box.c1 + 1, box.r1 + 1);
      stroke(() => {
        ctx.beginPath();
        ctx.rect(x0, y0, x1 - x0, y1 - y0);
      });
    }
  }

  function drawScaleBar() {
    const scale = RES_X > 0 ? scaleLength((W / view.zoom) * RES_X) : null;
    $("scale-bar").hidden = !scale;
    if (scale) {
      $("scale-length").style.width = (scale.metres / RES_X) * view.scaleX() + "px";
      $("scale-label").textContent = trimmed(scale.number, 6) + (scale.inMm ? " mm" : " \u00b5m");
    }
  }

  // The colour bar in SVG: the 256 colours from the lowest (bottom) to the
  // highest (top), round ticks in nm, and triangles where heights fall
  // outside the range.
  function drawColourBar() {
    const barTop = 30;
    const barH = Math.max(view.boxH - barTop - 8, 160);
    const bottom = barTop + barH;
    const barW = 20;
    const el = (name, attrs, parent) => {
      const e = document.createElementNS(SVG, name);
      for (const [k, v] of Object.entries(attrs)) {
        e.setAttribute(k, String(v));
      }
      parent.appendChild(e);
      return e;
    };
    const svg = document.createElementNS(SVG, "svg");
    el("text", { x: 0, y: 13, "font-size": 13 }, svg).textContent = "nm";
    const bands = el("g", { id: "colour-bands", "shape-rendering": "crispEdges" }, svg);
    for (let e = 0; e < 256; ++e) {
      const top = bottom - (barH * (e + 1)) / 256;
      el("rect", { x: 0, y: top, width: barW, height: barH / 256 + 0.5, fill: css(meta.colours[e]) },
        bands);
    }
    const marker = (id, y, tip, colour, title) => {
      const d = `M0 ${y}L${barW / 2} ${tip}L${barW} ${y}Z`;
      el("path", { id, d, fill: css(colour) }, svg).appendChild(document.createElementNS(SVG, "title"))
        .textContent = title;
    };
    if (meta.max > range.hi) {
      marker("above-range", barTop - 2, barTop - 10, meta.colours[255], "heights above the range");
    }
    if (meta.min < range.lo) {
      marker("below-range", bottom + 2, bottom + 10, meta.colours[0], "heights below the range");
    }
    const ticks = el("g", { id: "ticks", transform: `translate(${barW} 0)` }, svg);
    let labelW = 16;
    const tick = (y, label) => {
      el("line", { x1: 0, y1: y, x2: 5, y2: y, stroke: "#000000" }, ticks);
      el("text", { x: 8, y: y + 4 }, ticks).textContent = label;
      labelW = Math.max(labelW, label.length * 7);
    };
    const span = range.hi - range.lo;
    const t = colourTicks(range.lo, range.hi);
    if (t) {
      for (const v of t.values) {
        tick(bottom - ((v - range.lo) / span) * barH, trimmed(v, t.decimals));
      }
    } else if (span === 0) {
      tick(bottom - barH / 2, sig(range.lo, 4));
    } else {
      tick(bottom, sig(range.lo, 4));
      tick(barTop, sig(range.hi, 4));
    }
    svg.setAttribute("width", String(barW + 8 + labelW));
    svg.setAttribute("height", String(bottom + 12));
    $("colour-bar").replaceChildren(svg);
  }

  // ---------------------------------------------------------------------
  // Histogram: 256 bins over the map's full range (the colour bins of the
  // full range), each bar in the colour its middle gets now.
  let bins = null;
  function countBins() {
    const bin = binner(meta.min, meta.max);
    bins = new Float64Array(256);
    for (let i = 0; i < counts.length; ++i) {
      if (counts[i] < INVALID) {
        bins[bin(counts[i])] += 1;
      }
    }
  }

  function drawHistogram() {
    if (!bins) {
      return;
    }
    const canvas = $("histogram");
    const ctx = canvas.getContext("2d");
    const w = canvas.width;
    const h = canvas.height;
    ctx.clearRect(0, 0, w, h);
    const top = Math.max(...bins);
    const span = meta.max - meta.min;
    const colourOf = binner(range.lo, range.hi);
    for (let k = 0; k < 256; ++k) {
      const middle = span > 0 ? meta.min + ((k + 0.5) / 256) * span : meta.min;
      ctx.fillStyle = css(meta.colours[colourOf(middle / NPC)]);
      const barH = top > 0 ? (bins[k] / top) * (h - 4) : 0;
      ctx.fillRect((k * w) / 256, h - barH, w / 256 + 0.3, barH);
    }
    // The colour range: shaded outside, a line at each end.
    const at = (nm) => (span > 0 ? ((nm - meta.min) / span) * w : w / 2);
    const x0 = Math.min(Math.max(at(range.lo), 0), w);
    const x1 = Math.min(Math.max(at(range.hi), 0), w);
    ctx.fillStyle = "rgba(0, 0, 0, 0.15)";
    ctx.fillRect(0, 0, x0, h);
    ctx.fillRect(x1, 0, w - x1, h);
    ctx.fillStyle = "#b00020";
    ctx.fillRect(x0 - 1, 0, 2, h);
    ctx.fillRect(x1 - 1, 0, 2, h);
    $("histogram-lo").textContent = sig(meta.min, 6) + " nm";
    $("histogram-hi").textContent = sig(meta.max, 6) + " nm";
    canvas.setAttribute("aria-label", `Histogram of the heights from ${sig(meta.min, 6)} to ` +
      `${sig(meta.max, 6)} nm; colour range ${sig(range.lo, 6)} to ${sig(range.hi, 6)} nm`);
  }

  // ---------------------------------------------------------------------
  // Percentiles of the heights, as numpy's default (linear between the two
  // nearest ranks), from exact order statistics: a histogram of the counts
  // finds the bucket of a rank, and only that bucket is sorted.
  let buckets = null;
  function orderStatistic(k) {
    const lo = meta.base;
    const width = Math.ceil((meta.top - lo + 1) / 65536);
    if (!buckets) {
      buckets = { width, count: new Float64Array(65536) };
      for (let i = 0; i < counts.length; ++i) {
        if (counts[i] < INVALID) {
          buckets.count[Math.floor((counts[i] - lo) / width)] += 1;
        }
      }
    }
    let b = 0;
    let before = 0;
    while (before + buckets.count[b] <= k) {
      before += buckets.count[b++];
    }
    const inBucket = new Int32Array(buckets.count[b]);
    let n = 0;
    for (let i = 0; i < counts.length; ++i) {
      const v = counts[i];
      if (v < INVALID && Math.floor((v - lo) / width) === b) {
        inBucket[n++] = v;
      }
    }
    inBucket.sort();
    return inBucket[k - before];
  }

  function percentile(p) {
    const n = meta.valid;
    const heightAt = (k) => height(orderStatistic(NPC >= 0 ? k : n - 1 - k));
    const position = (p / 100) * (n - 1);
    const k = Math.floor(position);
    const g = position - k;
    const a = heightAt(k);
    const b = k + 1 < n ? heightAt(k + 1) : a;
    return g >= 0.5 ? b - (b - a) * (1 - g) : a + (b - a) * g;
  }

  // ---------------------------------------------------------------------
  // The colour range.
  function setRange(lo, hi, how) {
    range.lo = lo;
    range.hi = hi;
    range.how = how;
    colourise();
    drawMap();
    drawColourBar();
    drawHistogram();
    $("range-min").value = String(lo);
    $("range-max").value = String(hi);
    $("range-full").setAttribute("aria-pressed", String(how === "full"));
    $("range-clip").setAttribute("aria-pressed", String(how === "clip"));
    const names = { full: "full range", clip: "percentile clip", typed: "typed", given: "--range" };
    $("range-note").textContent = `Colours over ${sig(lo, 6)} .. ${sig(hi, 6)} nm (${names[how]}).`;
  }

  function applyTyped() {
    const lo = Number($("range-min").value);
    const hi = Number($("range-max").value);
    if ($("range-min").value === "" || $("range-max").value === "" || !Number.isFinite(lo) ||
      !Number.isFinite(hi) || lo > hi) {
      $("range-note").textContent = "The range needs two numbers, min not above max.";
      return;
    }
    setRange(lo, hi, "typed");
  }

  function applyClip() {
    const a = Number($("clip-low").value);
    const b = Number($("clip-high").value);
    if (!(a >= 0 && b <= 100 && a < b)) {
      $("range-note").textContent = "The clip needs two percentages 0 <= from < to <= 100.";
      return;
    }
    setRange(percentile(a), percentile(b), "clip");
  }

  // ---------------------------------------------------------------------
  // Readout, profile and region: all in pixels from the viewport.
  function showReadout() {
    const out = $("readout");
    const at = pointer ? view.pixelAt(pointer[0], pointer[1]) : null;
    if (!at || !at.inside) {
      out.dataset.col = "";
      out.dataset.row = "";
      out.dataset.nm = "";
      out.textContent = at ? "Outside the map." : "Point at the map to read a height.";
      return;
    }
    const col = meta.x + at.col;
    const row = meta.y + at.row;
    const v = counts[at.row * W + at.col];
    out.dataset.col = String(col);
    out.dataset.row = String(row);
    out.dataset.nm = v < INVALID ? String(height(v)) : "";
    const where = RES_X > 0
      ? ` \u00b7 x ${sig(col * RES_X * 1e6, 6)} \u00b5m, y ${sig(row * RES_Y * 1e6, 6)} \u00b5m`
      : "";
    const what = v < INVALID ? `${sig(height(v), 6)} nm` : "no data";
    out.textContent = `column ${col}, row ${row}${where} \u00b7 ${what}`;
  }

  // The pixels from one to the other, both included, each an 8-neighbour
  // of the one before: one step a pixel along the longer axis, the other
  // rounded to the nearest pixel (halves away from the start).
  function linePixels(from, to) {
    const dc = to[0] - from[0];
    const dr = to[1] - from[1];
    const n = Math.max(Math.abs(dc), Math.abs(dr));
    const share = (d, i) => Math.sign(d) * Math.floor((2 * Math.abs(d) * i + n) / (2 * n));
    const pixels = [];
    for (let i = 0; i <= n; ++i) {
      pixels.push(n === 0 ? from : [from[0] + share(dc, i), from[1] + share(dr, i)]);
    }
    return pixels;
  }

  function showProfile() {
    const pixels = linePixels(profile.from, profile.to);
    const [c0, r0] = pixels[0];
    const rows = ["distance_um,col,row,nm"];
    const points = [];
    for (const [c, r] of pixels) {
      const v = counts[r * W + c];
      const d = RES_X > 0 ? Math.hypot((c - c0) * RES_X, (r - r0) * RES_Y) * 1e6 : null;
      const nm = v < INVALID ? height(v) : null;
      points.push([d === null ? Math.hypot(c - c0, r - r0) : d, nm]);
      rows.push(`${d === null ? "" : d},${meta.x + c},${meta.y + r},${nm === null ? "" : nm}`);
    }
    const link = $("profile-csv");
    link.href = "data:text/csv;charset=utf-8," + encodeURIComponent(rows.join("\n") + "\n");
    link.hidden = false;
    const valid = points.filter((p) => p[1] !== null).length;
    $("profile-info").textContent =
      `From column ${meta.x + c0}, row ${meta.y + r0} to column ${meta.x + pixels[pixels.length - 1][0]}, ` +
      `row ${meta.y + pixels[pixels.length - 1][1]}: ${pixels.length} pixels, ${valid} with data.`;
    plotProfile(points, RES_X > 0 ? "\u00b5m" : "px");
  }

  function plotProfile(points, unit) {
    const canvas = $("profile");
    const ctx = canvas.getContext("2d");
    const w = canvas.width;
    const h = canvas.height;
    const left = 54;
    const bottom = h - 20;
    ctx.clearRect(0, 0, w, h);
    ctx.font = "10px sans-serif";
    ctx.fillStyle = "#000000";
    const nms = points.map((p) => p[1]).filter((v) => v !== null);
    const dMax = points[points.length - 1][0] || 1;
    let lo = Math.min(...nms);
    let hi = Math.max(...nms);
    if (!nms.length) {
      ctx.fillText("no data along the line", left, h / 2);
      return;
    }
    if (hi === lo) {
      lo -= 1;
      hi += 1;
    }
    const x = (d) => left + (d / dMax) * (w - left - 8);
    const y = (nm) => bottom - ((nm - lo) / (hi - lo)) * (bottom - 8);
    ctx.strokeStyle = "#888888";
    ctx.beginPath();
    ctx.moveTo(left, 4);
    ctx.lineTo(left, bottom);
    ctx.lineTo(w - 4, bottom);
    ctx.stroke();
    ctx.textAlign = "right";
    ctx.fillText(sig(hi, 5), left - 3, 12);
    ctx.fillText(sig(lo, 5), left - 3, bottom);
    ctx.fillText("nm", left - 3, (bottom + 8) / 2);
    ctx.textAlign = "center";
    ctx.fillText("0", left, h - 6);
    ctx.fillText(`${sig(dMax, 5)} ${unit}`, w - 30, h - 6);
    // Gaps where there is no data; a lone pixel with data is a dot.
    ctx.strokeStyle = "#2a788e";
    ctx.fillStyle = "#2a788e";
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    let open = false;
    points.forEach(([d, nm], i) => {
      if (nm === null) {
        open = false;
        return;
      }
      const lone = (i === 0 || points[i - 1][1] === null) &&
        (i === points.length - 1 || points[i + 1][1] === null);
      if (lone) {
        ctx.fillRect(x(d) - 1.5, y(nm) - 1.5, 3, 3);
      }
      if (open) {
        ctx.lineTo(x(d), y(nm));
      } else {
        ctx.moveTo(x(d), y(nm));
      }
      open = true;
    });
    ctx.stroke();
  }

  // PV, RMS (deviation from the mean), mean and valid count of the
  // pixels in c0..c1 x r0..r1, as kelvorin-info computes them: the exact
  // integer sum of the counts (kept in two exact parts) rounded once, then
  // the squared deviations in row order.
  function statistics(c0, r0, c1, r1) {
    let valid = 0;
    let high = 0;
    let low = 0;
    let lo = INVALID;
    let hi = -0x80000000;
    for (let r = r0; r <= r1; ++r) {
      for (let i = r * W + c0, end = r * W + c1; i <= end; ++i) {
        const v = counts[i];
        if (v < INVALID) {
          ++valid;
          const h = Math.floor(v / 65536);
          high += h;
          low += v - h * 65536;
          lo = v < lo ? v : lo;
          hi = v > hi ? v : hi;
        }
      }
    }
    if (valid === 0) {
      return { valid: 0 };
    }
    const mean = (high * 65536 + low) / valid;
    let squares = 0;
    for (let r = r0; r <= r1; ++r) {
      for (let i = r * W + c0, end = r * W + c1; i <= end; ++i) {
        const v = counts[i];
        if (v < INVALID) {
          const d = v - mean;
          squares += d * d;
        }
      }
    }
    const scale = Math.abs(NPC);
    return { valid, pv: (hi - lo) * scale, rms: Math.sqrt(squares / valid) * scale, mean: mean * NPC };
  }

  function showStatistics(cells, s) {
    for (const key of ["pv", "rms", "mean"]) {
      $(`${cells}-${key}`).textContent = s.valid > 0 ? sig(s[key], 6) : "\u2013";
    }
    $(`${cells}-valid`).textContent = String(s.valid);
  }

  function showRegion() {
    const s = statistics(region.c0, region.r0, region.c1, region.r1);
    const out = $("region-stats");
    for (const key of ["pv", "rms", "mean"]) {
      out.dataset[key] = s.valid > 0 ? String(s[key]) : "";
    }
    out.dataset.valid = String(s.valid);
    out.textContent = `Region: columns ${meta.x + region.c0} to ${meta.x + region.c1}, rows ` +
      `${meta.y + region.r0} to ${meta.y + region.r1}, ${s.valid} pixels with data` +
      `${s.valid ? "" : " (no statistics)"}.`;
    showStatistics("region", s);
  }

  // ---------------------------------------------------------------------
  // Pointer, wheel and keys.
  const boxPoint = (e) => {
    const rect = mapCanvas.getBoundingClientRect();
    return [(e.clientX - rect.left) * (view.boxW / rect.width),
      (e.clientY - rect.top) * (view.boxH / rect.height)];
  };
  const clampPixel = (p) => [Math.min(Math.max(p.col, 0), W - 1), Math.min(Math.max(p.row, 0), H - 1)];

  function setMode(next) {
    mode = next;
    for (const m of ["pan", "profile", "region"]) {
      $(`mode-${m}`).setAttribute("aria-pressed", String(m === mode));
    }
    mapCanvas.classList.toggle("drawing", mode !== "pan");
  }

  // The shape a drag from the press to pixel p draws.
  function dragShape(p) {
    const to = clampPixel(p);
    if (drag.kind === "profile") {
      return { kind: "profile", from: drag.from, to };
    }
    return {
      kind: "region", c0: Math.min(drag.from[0], to[0]), r0: Math.min(drag.from[1], to[1]),
      c1: Math.max(drag.from[0], to[0]), r1: Math.max(drag.from[1], to[1]),
    };
  }

  function onPointerDown(e) {
    if (e.button !== 0) {
      return;
    }
    e.preventDefault();
    mapCanvas.setPointerCapture(e.pointerId);
    pointer = boxPoint(e);
    const kind = e.shiftKey ? "profile" : mode;
    drag = { kind, last: pointer, from: clampPixel(view.pixelAt(pointer[0], pointer[1])) };
    mapCanvas.classList.toggle("dragging", kind === "pan");
  }

  function onPointerMove(e) {
    pointer = boxPoint(e);
    if (drag && drag.kind === "pan") {
      view.panBy(pointer[0] - drag.last[0], pointer[1] - drag.last[1]);
      drag.last = pointer;
      drawMap();
    } else if (drag) {
      drawOverlay(dragShape(view.pixelAt(pointer[0], pointer[1])));
    }
    showReadout();
  }

  function onPointerUp(e) {
    if (!drag) {
      return;
    }
    pointer = boxPoint(e);
    const shape = drag.kind === "pan" ? null : dragShape(view.pixelAt(pointer[0], pointer[1]));
    drag = null;
    mapCanvas.classList.remove("dragging");
    if (shape && shape.kind === "profile") {
      profile = shape;
      showProfile();
    } else if (shape) {
      region = shape;
      showRegion();
    }
    drawOverlay();
    showReadout();
  }

  function onWheel(e) {
    e.preventDefault();
    pointer = boxPoint(e);
    const notches = e.deltaMode === 0 ? e.deltaY / 100 : e.deltaY;
    view.zoomAt(pointer[0], pointer[1], Math.pow(1.25, -notches));
    drawMap();
    showReadout();
  }

  function zoomCentre(factor) {
    view.zoomAt(view.boxW / 2, view.boxH / 2, factor);
    drawMap();
    showReadout();
  }

  function onKey(e) {
    const pan = { ArrowLeft: [40, 0], ArrowRight: [-40, 0], ArrowUp: [0, 40], ArrowDown: [0, -40] };
    if (pan[e.key]) {
      view.panBy(...pan[e.key]);
      drawMap();
    } else if (e.key === "+" || e.key === "=") {
      zoomCentre(1.25);
    } else if (e.key === "-") {
      zoomCentre(0.8);
    } else if (e.key === "0") {
      view.reset();
      drawMap();
    } else {
      return;
    }
    e.preventDefault();
  }

  function listen() {
    mapCanvas.addEventListener("pointerdown", onPointerDown);
    mapCanvas.addEventListener("pointermove", onPointerMove);
    mapCanvas.addEventListener("pointerup", onPointerUp);
    mapCanvas.addEventListener("pointercancel", onPointerUp);
    mapCanvas.addEventListener("pointerleave", () => {
      if (!drag) {
        pointer = null;
        showReadout();
      }
    });
    mapCanvas.addEventListener("wheel", onWheel, { passive: false });
    $("view").addEventListener("keydown", onKey);
    for (const m of ["pan", "profile", "region"]) {
      $(`mode-${m}`).addEventListener("click", () => setMode(mode === m && m !== "pan" ? "pan" : m));
    }
    $("zoom-in").addEventListener("click", () => zoomCentre(1.25));
    $("zoom-out").addEventListener("click", () => zoomCentre(0.8));
    $("zoom-reset").addEventListener("click", () => {
      view.reset();
      drawMap();
      showReadout();
    });
    $("range-full").addEventListener("click", () => setRange(meta.min, meta.max, "full"));
    $("range-clip").addEventListener("click", applyClip);
    $("range-apply").addEventListener("click", applyTyped);
    for (const id of ["range-min", "range-max"]) {
      $(id).addEventListener("keydown", (e) => e.key === "Enter" && applyTyped());
    }
    for (const id of ["clip-low", "clip-high"]) {
      $(id).addEventListener("keydown", (e) => e.key === "Enter" && applyClip());
    }
  }

  // ---------------------------------------------------------------------
  async function start() {
    counts = await decodeCounts();
    const boxW = Number(mapCanvas.getAttribute("width"));
    const boxH = Number(mapCanvas.getAttribute("height"));
    view = makeViewport(boxW, boxH);
    sizeCanvas(mapCanvas, boxW, boxH);
    sizeCanvas(overlay, boxW, boxH);
    image = document.createElement("canvas");
    image.width = W;
    image.height = H;
    imageData = new ImageData(W, H);
    showStatistics("map", meta);
    setRange(meta.lo, meta.hi, meta.hasRange ? "given" : "full");
    listen();
    $("status").textContent = "";
    document.body.dataset.ready = "1";
    // The histogram once the map answers.
    setTimeout(() => {
      countBins();
      drawHistogram();
    }, 0);
  }

  start().catch((err) => {
    const status = $("status");
    status.textContent = "This browser cannot show the map: " + err.message;
    status.classList.add("error");
  });
})();
