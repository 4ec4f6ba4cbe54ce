// kelvorin-info's page, drawing: the map in the colour table, the overlay
// of profile and region, the scale bar, the colour bar, the histogram and
// the profile plot. Positions come from the viewport alone.

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
const outside = rgba(0xffffff); // the page around a map panned aside
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

// The map as the view shows it: each canvas pixel takes the colour of the
// map pixel under its centre (sharp blocks when enlarged), so that a frame
// costs the canvas's pixels, not the map's.
let frame = null;
function drawMap() {
  const cw = mapCanvas.width;
  const ch = mapCanvas.height;
  const ctx = mapCanvas.getContext("2d");
  if (!frame || frame.width !== cw || frame.height !== ch) {
    frame = ctx.createImageData(cw, ch);
  }
  const px = new Uint32Array(frame.data.buffer);
  const dx = view.boxW / cw; // CSS px per canvas pixel
  const dy = view.boxH / ch;
  const columns = new Int32Array(cw);
  for (let x = 0; x < cw; ++x) {
    const col = Math.floor(view.toImage((x + 0.5) * dx, 0)[0]);
    columns[x] = col >= 0 && col < W ? col : -1;
  }
  // binner's rule, written out: this loop runs over every canvas pixel.
  const span = range.hi - range.lo;
  const a = span > 0 ? NPC * (256 / span) : 0;
  const b = span > 0 ? -range.lo * (256 / span) : 128;
  for (let y = 0; y < ch; ++y) {
    const row = Math.floor(view.toImage(0, (y + 0.5) * dy)[1]);
    const at = y * cw;
    if (row < 0 || row >= H) {
      px.fill(outside, at, at + cw);
      continue;
    }
    const first = row * W;
    for (let x = 0; x < cw; ++x) {
      const col = columns[x];
      const v = col < 0 ? INVALID : counts[first + col];
      const t = v * a + b;
      px[at + x] = col < 0
        ? outside
        : v >= INVALID
          ? noData
          : palette[t > 0 ? (t >= 255 ? 255 : t | 0) : t === t ? 0 : 128];
    }
  }
  ctx.putImageData(frame, 0, 0);
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
