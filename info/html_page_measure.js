// kelvorin-info's page, measures: numbers as kelvorin-info prints them,
// the viewport (the one place where pointer positions and map pixels
// meet), the counts decoded from the page, and the figures computed from
// them: profile pixels, statistics, percentiles. The page's scripts share
// one scope (html_page.html wraps them in one function), in the order
// html_page_measure.js, html_page_draw.js, html_page.js.

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
