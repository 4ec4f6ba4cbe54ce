// kelvorin-info's page: decodes the counts the page carries, draws the map
// in the colour table, and answers the pointer: height readout, zoom and
// pan, line profiles, region statistics, colour range and histogram.
// Every height is count x nmPerCount, as kelvorin-info computes it, and the
// statistics follow its formulas. Plain DOM and canvas; no network. This
// file holds the state, the tools and the start; it shares one scope with
// html_page_measure.js and html_page_draw.js, which come before it.

// ---------------------------------------------------------------------
// State.
let counts = null;
let view = null;
const range = { lo: meta.lo, hi: meta.hi, how: "full" };
let mode = "pan";
let profile = null; // { from: [col, row], to: [col, row] } in the window
let region = null; // { c0, r0, c1, r1 } inclusive, in the window
let pointer = null; // last pointer position on #map, CSS px
let drag = null;

// ---------------------------------------------------------------------
// The colour range.
function setRange(lo, hi, how) {
  range.lo = lo;
  range.hi = hi;
  range.how = how;
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
  showStatistics("map", meta);
  setRange(meta.lo, meta.hi, meta.hasRange ? "given" : "full");
  listen();
  $("status").textContent = "";
  document.body.dataset.ready = "1";
  performance.mark("kelvorin-ready"); // for timing from outside
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
