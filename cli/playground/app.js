// The playground page: builds "metadata", "render" and "tile" calls, sends them to the local
// server (which passes them over the channel to the plug-in) and shows what comes back.
'use strict';

const $ = (id) => document.getElementById(id);

// The first load's address carries the server's token, now kept in a cookie the page cannot
// read; it is taken out of the address bar and the history.
if (new URLSearchParams(window.location.search).has('token')) {
  window.history.replaceState(null, '', '/');
}

const state = {
  photos: [],
  outputs: '',
  photo: null,   // {name, path}
  meta: null,    // "metadata" result of the photo
  turns: 0,
  crop: [0, 0, 1, 1],
  strokes: [],
  drag: null,    // the crop or stroke being drawn
  counter: 0,
  previewToken: 0,
};

// ---- talking to the server -------------------------------------------------------------

function showMemory(body) {
  if (body && typeof body.rssKiB === 'number') {
    $('memory').textContent = `server memory: ${(body.rssKiB / 1024).toFixed(1)} MiB`;
  }
}

async function api(path, options = {}) {
  const response = await fetch(path, options);
  let body = null;
  try {
    body = await response.json();
  } catch (e) {
    body = { refused: `HTTP ${response.status}` };
  }
  showMemory(body);
  return body;
}

function call(method, args) {
  return api('/api/call', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ method, args }),
  });
}

// A catalogue error reads "code: message"; a refusal by the server says so.
function problemOf(body) {
  if (body.refused) {
    const inner = body.error ? ` (${body.error.code}: ${body.error.message})` : '';
    return `${body.refused}${inner}`;
  }
  if (body.error) return `${body.error.code}: ${body.error.message}`;
  if (body.notImplemented) return 'not implemented';
  return null;
}

function nextDestination(kind) {
  state.counter += 1;
  return `${state.outputs}/${kind}-${Date.now().toString(36)}-${state.counter}`;
}

// ---- numbers ---------------------------------------------------------------------------

const round4 = (v) => Math.round(v * 10000) / 10000;
const clamp01 = (v) => Math.min(1, Math.max(0, v));

function argbOf(hex) {
  return (0xff000000 | parseInt(hex.slice(1), 16)) >>> 0;
}

function cssOf(argb) {
  const a = ((argb >>> 24) & 0xff) / 255;
  return `rgba(${(argb >>> 16) & 0xff}, ${(argb >>> 8) & 0xff}, ${argb & 0xff}, ${a})`;
}

// The photo's size after the quarter turns: the space the crop and the strokes live in.
function orientedSize() {
  if (!state.meta) return [1, 1];
  const { width, height } = state.meta;
  return state.turns % 2 ? [height, width] : [width, height];
}

function fitInside(w, h, box) {
  const scale = Math.min(1, box / Math.max(w, h));
  return [Math.max(1, Math.round(w * scale)), Math.max(1, Math.round(h * scale))];
}

// ---- the request -----------------------------------------------------------------------

function watermark() {
  if (!$('wm-enabled').checked) return null;
  const style = $('wm-style').value;
  const map = { enabled: true, style, text: $('wm-text').value };
  if (style === 'diagonalRepeat') {
    map.opacity = Number($('wm-opacity').value);
    map.density = Number($('wm-density').value);
  }
  if (style === 'cornerStamp') {
    map.gradientColors = [argbOf($('wm-color1').value), argbOf($('wm-color2').value)];
  }
  return map;
}

function renderArgs(destination) {
  const recipe = {
    crop: state.crop.map(round4),
    quarterTurns: state.turns,
  };
  if (state.strokes.length) recipe.strokes = state.strokes;
  const mark = watermark();
  if (mark) recipe.watermark = mark;
  return {
    path: state.photo ? state.photo.path : '',
    destination,
    width: Number($('out-width').value),
    height: Number($('out-height').value),
    maxFileBytes: Number($('max-bytes').value),
    recipe,
  };
}

// Indented JSON with each list of numbers on one line, so points and crops stay readable.
function prettyJson(value) {
  return JSON.stringify(value, null, 2).replace(/\[\s+([-+.\deE,\s]*?)\s+\]/g,
    (_, inner) => `[${inner.replace(/,\s+/g, ', ')}]`);
}

function showRequest(args) {
  $('request-json').textContent = prettyJson(args);
  const quoted = JSON.stringify(args).replace(/'/g, `'\\''`);
  $('request-cli').textContent = `velmo-image-tools call render '${quoted}'`;
}

function refreshRequest() {
  showRequest(renderArgs(`${state.outputs}/render-next`));
}

function followCrop() {
  if (!$('keep-aspect').checked || !state.meta) return;
  const [w, h] = orientedSize();
  const width = Number($('out-width').value) || 1;
  const aspect = (state.crop[3] * h) / (state.crop[2] * w);
  $('out-height').value = Math.max(1, Math.min(16380, Math.round(width * aspect)));
}

function defaultOutputWidth() {
  const [w] = orientedSize();
  $('out-width').value = Math.max(1, Math.min(1600, Math.round(w * state.crop[2])));
  followCrop();
}

// ---- photo and preview -----------------------------------------------------------------

function fillPhotoLists() {
  for (const id of ['photo', 'tile-photo']) {
    const select = $(id);
    const keep = select.value;
    select.textContent = '';
    for (const photo of state.photos) {
      const option = document.createElement('option');
      option.value = photo.path;
      option.textContent = photo.name;
      select.append(option);
    }
    if (keep) select.value = keep;
  }
}

async function loadPhotos() {
  const body = await api('/api/photos');
  state.outputs = body.outputs;
  state.photos = body.photos.sort((a, b) => a.name.localeCompare(b.name));
  fillPhotoLists();
  const still = state.photos.find((p) => /\.(jpe?g|heic|webp)$/i.test(p.path)) || state.photos[0];
  const long = state.photos.find((p) => /long/i.test(p.name)) || state.photos[0];
  if (long) $('tile-photo').value = long.path;
  if (still) {
    $('photo').value = still.path;
    await choosePhoto(still);
  }
}

async function choosePhoto(photo) {
  state.photo = photo;
  state.meta = null;
  state.turns = 0;
  state.crop = [0, 0, 1, 1];
  state.strokes = [];
  $('turns').textContent = '0 quarter turns';
  const body = await call('metadata', { path: photo.path });
  const problem = problemOf(body);
  if (problem) {
    $('photo-info').textContent = problem;
    return;
  }
  state.meta = body.result;
  $('photo-info').textContent =
    `${body.result.width} × ${body.result.height} px, orientation ${body.result.orientation}`;
  defaultOutputWidth();
  await renderPreview();
}

// The editing surface is itself a "render" of the whole photo, turned, at screen size: the
// page never reads a file the server did not make.
async function renderPreview() {
  if (!state.meta) return;
  const token = ++state.previewToken;
  const [w, h] = fitInside(...orientedSize(), 900);
  const body = await call('render', {
    path: state.photo.path,
    destination: nextDestination('preview'),
    width: w,
    height: h,
    recipe: { quarterTurns: state.turns },
  });
  if (token !== state.previewToken) return;
  const problem = problemOf(body);
  if (problem) {
    $('stage-note').textContent = `preview: ${problem}`;
    return;
  }
  const img = $('preview');
  img.onload = () => {
    const canvas = $('overlay');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    img.dataset.ready = String(token);
    drawOverlay();
  };
  img.src = body.url;
  refreshRequest();
}

// ---- drawing on the preview ------------------------------------------------------------

function currentTool() {
  return document.querySelector('input[name=tool]:checked').value;
}

function pointOf(event) {
  const rect = $('overlay').getBoundingClientRect();
  return [
    round4((event.clientX - rect.left) / rect.width),
    round4((event.clientY - rect.top) / rect.height),
  ];
}

function strokePath(ctx, stroke, W, H) {
  const pts = stroke.points.map(([x, y]) => [x * W, y * H]);
  const [f, l] = [pts[0], pts[pts.length - 1]];
  const box = [Math.min(f[0], l[0]), Math.min(f[1], l[1]), Math.abs(l[0] - f[0]), Math.abs(l[1] - f[1])];
  ctx.beginPath();
  switch (stroke.shape) {
    case 'rectangle':
      ctx.rect(...box);
      break;
    case 'circle':
      ctx.ellipse(box[0] + box[2] / 2, box[1] + box[3] / 2, box[2] / 2, box[3] / 2, 0, 0, 2 * Math.PI);
      break;
    case 'line':
    case 'arrow': {
      ctx.moveTo(...f);
      ctx.lineTo(...l);
      if (stroke.shape === 'arrow') {
        const angle = Math.atan2(l[1] - f[1], l[0] - f[0]);
        const head = ctx.lineWidth * 4;
        for (const a of [angle - Math.PI / 6, angle + Math.PI / 6]) {
          ctx.moveTo(...l);
          ctx.lineTo(l[0] - head * Math.cos(a), l[1] - head * Math.sin(a));
        }
      }
      break;
    }
    default:
      ctx.moveTo(...pts[0]);
      for (const p of pts.slice(1)) ctx.lineTo(...p);
      if (pts.length === 1) ctx.lineTo(pts[0][0] + 0.01, pts[0][1]);
  }
  ctx.stroke();
}

function drawOverlay() {
  const canvas = $('overlay');
  const ctx = canvas.getContext('2d');
  const W = canvas.width;
  const H = canvas.height;
  ctx.clearRect(0, 0, W, H);
  const strokes = state.drag && state.drag.stroke ? [...state.strokes, state.drag.stroke] : state.strokes;
  for (const stroke of strokes) {
    ctx.save();
    ctx.lineCap = 'round';
    ctx.lineJoin = 'round';
    ctx.lineWidth = Math.max(1, stroke.widthFraction * Math.min(W, H));
    ctx.strokeStyle = stroke.shape === 'blur' ? 'rgba(200, 200, 210, 0.75)' : cssOf(stroke.colorARGB);
    strokePath(ctx, stroke, W, H);
    ctx.restore();
  }
  const [x, y, w, h] = state.crop;
  if (!(x === 0 && y === 0 && w === 1 && h === 1)) {
    ctx.save();
    ctx.fillStyle = 'rgba(0, 0, 0, 0.45)';
    ctx.beginPath();
    ctx.rect(0, 0, W, H);
    ctx.rect(x * W, y * H, w * W, h * H);
    ctx.fill('evenodd');
    ctx.setLineDash([6, 4]);
    ctx.strokeStyle = '#fff';
    ctx.lineWidth = 1.5;
    ctx.strokeRect(x * W, y * H, w * W, h * H);
    ctx.restore();
  }
}

function onPointerDown(event) {
  if (!state.meta) return;
  event.preventDefault();
  $('overlay').setPointerCapture?.(event.pointerId);
  const start = pointOf(event);
  const tool = currentTool();
  if (tool === 'crop') {
    state.drag = { crop: true, start };
  } else {
    state.drag = {
      stroke: {
        shape: tool,
        points: [start],
        colorARGB: argbOf($('stroke-color').value),
        widthFraction: Number($('stroke-width').value),
      },
    };
  }
}

function onPointerMove(event) {
  const drag = state.drag;
  if (!drag) return;
  const p = pointOf(event);
  if (drag.crop) {
    const [sx, sy] = drag.start.map(clamp01);
    const [px, py] = p.map(clamp01);
    drag.rect = [Math.min(sx, px), Math.min(sy, py), Math.abs(px - sx), Math.abs(py - sy)].map(round4);
    if (drag.rect[2] > 0 && drag.rect[3] > 0) state.crop = drag.rect;
  } else {
    const points = drag.stroke.points;
    if (drag.stroke.shape === 'freehand' || drag.stroke.shape === 'blur') {
      const last = points[points.length - 1];
      if (Math.hypot(p[0] - last[0], p[1] - last[1]) > 0.003) points.push(p);
    } else {
      drag.stroke.points = [points[0], p];
    }
  }
  drawOverlay();
}

function onPointerUp(event) {
  const drag = state.drag;
  if (!drag) return;
  onPointerMove(event);
  state.drag = null;
  if (drag.crop) {
    // A click without a drag, or a sliver, keeps the whole photo.
    if (!drag.rect || drag.rect[2] < 0.01 || drag.rect[3] < 0.01) state.crop = [0, 0, 1, 1];
    followCrop();
  } else {
    state.strokes.push(drag.stroke);
  }
  drawOverlay();
  refreshRequest();
}

// ---- render ----------------------------------------------------------------------------

// In English, for the developer: why the call failed and what the plug-in forgave.
function explanationOf(body) {
  const lines = (body.warnings || []).map((warning) => `warning: ${warning}`);
  if (body.why) lines.push(`why: ${body.why}`);
  return lines.join('\n');
}

function showResult(body, roundTripMs) {
  const problem = problemOf(body);
  $('error').hidden = !problem;
  $('error').textContent = problem || '';
  const explanation = explanationOf(body);
  $('why').hidden = !explanation;
  $('why').textContent = explanation;
  const table = $('result-map');
  table.textContent = '';
  if (body.request) showRequest(body.request.args);
  if (problem) {
    $('result').removeAttribute('src');
    $('result-stats').textContent = body.ms ? `${body.ms.toFixed(1)} ms in the plug-in` : '';
    return;
  }
  for (const [key, value] of Object.entries(body.result)) {
    const row = table.insertRow();
    row.insertCell().textContent = key;
    row.insertCell().textContent = JSON.stringify(value);
  }
  $('result').src = body.url;
  $('result').dataset.url = body.url;
  const bytes = body.result.byteSize;
  $('result-stats').textContent =
    `${bytes.toLocaleString('en')} bytes (${(bytes / 1024).toFixed(1)} KiB) · ` +
    `${body.ms.toFixed(1)} ms through the channel · ${roundTripMs.toFixed(0)} ms for the page`;
}

async function render() {
  const button = $('render');
  button.disabled = true;
  $('result-stats').textContent = 'rendering…';
  const started = performance.now();
  try {
    const body = await call('render', renderArgs(nextDestination('render')));
    showResult(body, performance.now() - started);
  } finally {
    button.disabled = false;
  }
}

async function upload(file) {
  const body = await api(`/api/upload?name=${encodeURIComponent(file.name)}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/octet-stream' },
    body: file,
  });
  const problem = problemOf(body);
  if (problem) {
    $('photo-info').textContent = problem;
    return;
  }
  state.photos.push(body.photo);
  fillPhotoLists();
  $('photo').value = body.photo.path;
  await choosePhoto(body.photo);
}

// ---- the long image, tile by tile ------------------------------------------------------

const tiles = {
  photo: null,
  meta: null,
  zoom: 0.25,
  sample: 4,
  rows: 512,      // source rows per tile
  count: 0,
  shown: new Map(),   // index -> element
  waiting: new Set(), // indexes asked for
  queue: [],
  inFlight: 0,
  asked: 0,
  arrived: 0,
  lastMs: 0,
  generation: 0,
};

function hashOf(text) {
  let h = 2166136261;
  for (let i = 0; i < text.length; i++) h = Math.imul(h ^ text.charCodeAt(i), 16777619);
  return (h >>> 0).toString(16);
}

function showTileStats() {
  $('tile-stats').textContent =
    `sample ${tiles.sample} · ${tiles.count} tiles of ${tiles.rows} rows · ` +
    `asked ${tiles.asked}, arrived ${tiles.arrived}, on screen ${tiles.shown.size} · ` +
    `last ${tiles.lastMs.toFixed(1)} ms`;
}

async function setupTiles() {
  const path = $('tile-photo').value;
  tiles.generation += 1;
  tiles.shown.clear();
  tiles.waiting.clear();
  tiles.queue = [];
  $('tile-strip').textContent = '';
  const body = await call('metadata', { path });
  const problem = problemOf(body);
  if (problem) {
    $('tile-stats').textContent = problem;
    return;
  }
  tiles.photo = path;
  tiles.meta = body.result;
  tiles.zoom = Number($('tile-zoom').value);
  // The sample follows the zoom: the plug-in shrinks, the browser only draws what arrives.
  tiles.sample = Math.max(1, Math.floor(1 / tiles.zoom));
  while (tiles.meta.width / tiles.sample > 2048) tiles.sample += 1;
  tiles.rows = 256 * tiles.sample;
  tiles.count = Math.ceil(tiles.meta.height / tiles.rows);
  const strip = $('tile-strip');
  strip.style.width = `${Math.round(tiles.meta.width * tiles.zoom)}px`;
  strip.style.height = `${Math.round(tiles.meta.height * tiles.zoom)}px`;
  $('tile-scroller').scrollTop = 0;
  showTileStats();
  updateTiles();
}

function updateTiles() {
  if (!tiles.meta) return;
  const scroller = $('tile-scroller');
  const top = scroller.scrollTop / tiles.zoom;
  const bottom = (scroller.scrollTop + scroller.clientHeight) / tiles.zoom;
  const first = Math.max(0, Math.floor(top / tiles.rows) - 1);
  const last = Math.min(tiles.count - 1, Math.floor(bottom / tiles.rows) + 1);
  for (let i = first; i <= last; i++) {
    if (!tiles.shown.has(i) && !tiles.waiting.has(i)) {
      tiles.waiting.add(i);
      tiles.queue.push(i);
    }
  }
  // Tiles far from the view are dropped, so the page holds only a screenful or two.
  for (const [i, element] of tiles.shown) {
    if (i < first - 2 || i > last + 2) {
      element.remove();
      tiles.shown.delete(i);
    }
  }
  pumpTiles();
  showTileStats();
}

function pumpTiles() {
  while (tiles.inFlight < 2 && tiles.queue.length) {
    const index = tiles.queue.shift();
    fetchTile(index, tiles.generation);
  }
}

async function fetchTile(index, generation) {
  tiles.inFlight += 1;
  tiles.asked += 1;
  const y = index * tiles.rows;
  const height = Math.min(tiles.rows, tiles.meta.height - y);
  const args = {
    path: tiles.photo,
    destination: `${state.outputs}/tile-${hashOf(tiles.photo)}-s${tiles.sample}-${index}`,
    x: 0,
    y,
    width: tiles.meta.width,
    height,
    sample: tiles.sample,
  };
  try {
    const body = await call('tile', args);
    if (generation !== tiles.generation) return;
    tiles.waiting.delete(index);
    const problem = problemOf(body);
    if (problem) {
      $('tile-stats').textContent = `tile ${index}: ${problem}`;
      return;
    }
    tiles.arrived += 1;
    tiles.lastMs = body.ms;
    const img = document.createElement('img');
    img.className = 'tile';
    img.dataset.index = String(index);
    img.style.top = `${Math.round(y * tiles.zoom)}px`;
    img.style.width = `${Math.round(tiles.meta.width * tiles.zoom)}px`;
    img.style.height = `${Math.round(height * tiles.zoom)}px`;
    img.src = body.url;
    $('tile-strip').append(img);
    tiles.shown.set(index, img);
  } finally {
    tiles.inFlight -= 1;
    if (generation === tiles.generation) {
      pumpTiles();
      updateTiles();
    }
  }
}

// ---- wiring ----------------------------------------------------------------------------

function showView(name) {
  $('view-editor').hidden = name !== 'editor';
  $('view-tiles').hidden = name !== 'tiles';
  $('tab-editor').classList.toggle('active', name === 'editor');
  $('tab-tiles').classList.toggle('active', name === 'tiles');
  if (name === 'tiles' && !tiles.meta) setupTiles();
}

function showSliderValues() {
  $('stroke-width-out').textContent = Number($('stroke-width').value).toFixed(3);
  $('wm-opacity-out').textContent = Number($('wm-opacity').value).toFixed(2);
  $('wm-density-out').textContent = Number($('wm-density').value).toFixed(2);
}

function wire() {
  const overlay = $('overlay');
  overlay.addEventListener('pointerdown', onPointerDown);
  overlay.addEventListener('pointermove', onPointerMove);
  overlay.addEventListener('pointerup', onPointerUp);
  $('photo').addEventListener('change', () => {
    const photo = state.photos.find((p) => p.path === $('photo').value);
    if (photo) choosePhoto(photo);
  });
  $('upload').addEventListener('change', () => {
    const file = $('upload').files[0];
    if (file) upload(file);
    $('upload').value = '';
  });
  $('turn').addEventListener('click', () => {
    state.turns = (state.turns + 1) % 4;
    state.crop = [0, 0, 1, 1];
    state.strokes = [];
    $('turns').textContent = `${state.turns} quarter turn${state.turns === 1 ? '' : 's'}`;
    defaultOutputWidth();
    renderPreview();
  });
  $('undo').addEventListener('click', () => {
    state.strokes.pop();
    drawOverlay();
    refreshRequest();
  });
  $('clear').addEventListener('click', () => {
    state.strokes = [];
    drawOverlay();
    refreshRequest();
  });
  $('reset-crop').addEventListener('click', () => {
    state.crop = [0, 0, 1, 1];
    followCrop();
    drawOverlay();
    refreshRequest();
  });
  $('out-width').addEventListener('input', followCrop);
  $('keep-aspect').addEventListener('change', followCrop);
  $('wm-latin').addEventListener('click', () => {
    $('wm-text').value = '© Velmo Studio';
    refreshRequest();
  });
  $('wm-chinese').addEventListener('click', () => {
    $('wm-text').value = '維爾莫影像 版權所有';
    refreshRequest();
  });
  for (const element of document.querySelectorAll('#controls input, #controls select')) {
    element.addEventListener('input', () => {
      showSliderValues();
      refreshRequest();
    });
  }
  $('render').addEventListener('click', render);
  $('copy').addEventListener('click', () => navigator.clipboard.writeText($('request-json').textContent));
  $('tab-editor').addEventListener('click', () => showView('editor'));
  $('tab-tiles').addEventListener('click', () => showView('tiles'));
  $('tile-scroller').addEventListener('scroll', updateTiles);
  $('tile-photo').addEventListener('change', setupTiles);
  $('tile-zoom').addEventListener('change', setupTiles);
  showSliderValues();
}

wire();
loadPhotos();
