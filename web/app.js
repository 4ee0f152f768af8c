// The page: files in, layout chosen, one job in the worker, the result
// previewed with pdf.js and offered for download. Nothing is sent anywhere:
// the files are read in this tab and handed to the worker.
import * as pdfjs from './pdf.min.mjs';

pdfjs.GlobalWorkerOptions.workerSrc = new URL('./pdf.worker.min.mjs', import.meta.url).href;

const $ = (id) => document.getElementById(id);
const MM = 72 / 25.4;
const SIZES = {
  a4: [595.28, 841.89], a3: [841.89, 1190.55], a5: [419.53, 595.28],
  letter: [612, 792], legal: [612, 1008], tabloid: [792, 1224],
};
const PREVIEW_SHEETS = 4;

const state = {
  files: [],         // { file, pages } in order
  firstPage: null,   // [w, h] of the first file's first page, as displayed
  several: false,
  downloadUrl: null,
  busy: false,
  ready: false,
};

// --- the viewer: one pdf.js worker for the page's lifetime -----------------
let viewerWorker = null;
function openPdf(data) {
  if (!viewerWorker) viewerWorker = new pdfjs.PDFWorker();
  return pdfjs.getDocument({
    data, worker: viewerWorker, isEvalSupported: false, enableXfa: false,
    useSystemFonts: true, disableAutoFetch: true, disableStream: true,
  }).promise;
}

// --- the library's worker ----------------------------------------------------
const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
const pending = new Map();
let nextId = 1;
function call(message, transfer = []) {
  return new Promise((resolve) => {
    const id = nextId++;
    pending.set(id, resolve);
    worker.postMessage({ ...message, id }, transfer);
  });
}
worker.onmessage = (e) => {
  const done = pending.get(e.data.id);
  pending.delete(e.data.id);
  if (done) done(e.data);
};
worker.onerror = (e) => {
  e.preventDefault();
  for (const done of pending.values()) done({ ok: false, message: 'the PDF module could not be loaded' });
  pending.clear();
};

function setStatus(text, kind = '') {
  const s = $('status');
  s.textContent = text;
  s.className = kind;
}

// --- the options -----------------------------------------------------------------
function parseGrid() {
  const m = /^\s*(\d{1,3})\s*[x×X*]\s*(\d{1,3})\s*$/.exec($('grid').value);
  return m ? [Number(m[1]), Number(m[2])] : null;
}

function mm(id) {
  const v = Number($(id).value);
  return Number.isFinite(v) && v > 0 ? v : 0;
}

function options() {
  const booklet = $('booklet').checked;
  const o = {
    size: $('size').value,
    orientation: $('orientation').value,
    margin: mm('margin') * MM,
    gap: mm('gap') * MM,
    booklet,
  };
  if (!booklet) o.grid = parseGrid();
  if (!$('trim').disabled && $('trim').checked) o.trim = 'each';
  return o;
}

// --- the drawing of one sheet ---------------------------------------------------
function sheetGeometry() {
  const booklet = $('booklet').checked;
  const [c, r] = booklet ? [2, 1] : (parseGrid() || [2, 2]).map((v) => Math.min(Math.max(v, 1), 32));
  const page = state.firstPage || SIZES.a4;
  let base = $('size').value === 'first' ? page : SIZES[$('size').value];
  const margin = mm('margin') * MM;
  const gap = mm('gap') * MM;
  const layout = (w, h) => {
    const cw = (w - 2 * margin - (c - 1) * gap) / c;
    const ch = (h - 2 * margin - (r - 1) * gap) / r;
    const scale = Math.max(0, Math.min(cw / page[0], ch / page[1]));
    return { w, h, cw, ch, scale };
  };
  const portrait = [Math.min(...base), Math.max(...base)];
  const landscape = [portrait[1], portrait[0]];
  const orient = booklet && $('orientation').value === 'auto' ? 'auto' : $('orientation').value;
  if (orient === 'portrait') base = portrait;
  else if (orient === 'landscape') base = landscape;
  else if (orient === 'auto') {
    const a = layout(...portrait);
    const b = layout(...landscape);
    base = b.scale > a.scale ? landscape : portrait;
  }
  return { ...layout(...base), c, r, margin, gap, page, booklet };
}

function svg(name, attrs, parent) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', name);
  for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, v);
  if (parent) parent.appendChild(el);
  return el;
}

function drawLayout() {
  const g = sheetGeometry();
  const box = $('layout');
  box.textContent = '';
  const root = svg('svg', { viewBox: `0 0 ${g.w} ${g.h}`, class: 'sheet', 'aria-hidden': 'true' }, box);
  svg('rect', { x: 0, y: 0, width: g.w, height: g.h, class: 'paper' }, root);
  const numbers = [];
  if (g.booklet) {
    numbers.push('last', '1');
  } else {
    for (let i = 1; i <= g.c * g.r; ++i) numbers.push(String(i));
  }
  const font = Math.max(8, Math.min(g.cw, g.ch) * 0.32);
  let k = 0;
  for (let row = 0; row < g.r; ++row) {
    for (let col = 0; col < g.c; ++col) {
      const x = g.margin + col * (g.cw + g.gap);
      const y = g.margin + row * (g.ch + g.gap);
      svg('rect', { x, y, width: Math.max(0, g.cw), height: Math.max(0, g.ch), class: 'cell' }, root);
      const pw = g.page[0] * g.scale;
      const ph = g.page[1] * g.scale;
      svg('rect', { x: x + (g.cw - pw) / 2, y: y + (g.ch - ph) / 2, width: pw, height: ph, class: 'page' }, root);
      const t = svg('text', { x: x + g.cw / 2, y: y + g.ch / 2, 'font-size': g.booklet && k === 0 ? font * 0.6 : font,
        class: 'num', 'text-anchor': 'middle', 'dominant-baseline': 'central' }, root);
      t.textContent = numbers[k++];
    }
  }
  const name = $('size').value === 'first' ? 'the first page\'s size' : $('size').selectedOptions[0].textContent;
  const orientation = g.w > g.h ? 'landscape' : 'portrait';
  const caption = g.booklet
    ? `Booklet: two pages a side, ${name}, ${orientation}; the first side holds the last page and page 1`
    : `One ${orientation} sheet, ${name}: ${g.c} x ${g.r}, pages in reading order`;
  $('layout-caption').textContent = caption;
  box.setAttribute('aria-label', caption);
}

// --- files ---------------------------------------------------------------------
function isPdfName(f) {
  return f.type === 'application/pdf' || /\.pdf$/i.test(f.name);
}

function renderFiles() {
  const list = $('filelist');
  list.textContent = '';
  state.files.forEach((entry, i) => {
    const li = document.createElement('li');
    const name = document.createElement('span');
    name.className = 'fname';
    name.textContent = entry.file.name;
    const size = document.createElement('span');
    size.className = 'hint';
    size.textContent = `${Math.max(1, Math.round(entry.file.size / 1024))} KB`;
    const pages = document.createElement('input');
    pages.type = 'text';
    pages.placeholder = 'pages: as above';
    pages.value = entry.pages;
    pages.setAttribute('aria-label', `Pages of ${entry.file.name}`);
    pages.addEventListener('input', () => { entry.pages = pages.value; });
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'remove';
    remove.textContent = '\u00d7';
    remove.title = `Remove ${entry.file.name}`;
    remove.setAttribute('aria-label', `Remove ${entry.file.name}`);
    remove.addEventListener('click', () => {
      state.files.splice(i, 1);
      filesChanged();
    });
    li.append(name, size, pages, remove);
    list.appendChild(li);
  });
  list.hidden = state.files.length === 0;
}

async function measureFirstPage() {
  state.firstPage = null;
  const first = state.files[0];
  if (first) {
    try {
      const doc = await openPdf(new Uint8Array(await first.file.arrayBuffer()));
      const page = await doc.getPage(1);
      const v = page.getViewport({ scale: 1 });
      if (state.files[0] === first) state.firstPage = [v.width, v.height];
      await doc.destroy();
    } catch {
      // Not readable here: the library will say what is wrong on make.
    }
  }
  drawLayout();
}

function filesChanged() {
  renderFiles();
  if (state.files.length > 1 && state.ready && !state.several) {
    setStatus('This build of the library makes one file at a time: remove all but one.', 'error');
  }
  measureFirstPage();
}

function addFiles(fileList, replace) {
  const picked = [...fileList].filter(isPdfName);
  if (replace) state.files = [];
  for (const file of picked) state.files.push({ file, pages: '' });
  if (fileList.length && !picked.length) setStatus('Only PDF files can be used.', 'error');
  filesChanged();
}

// --- the job -----------------------------------------------------------------------
function outputName() {
  const first = state.files[0].file.name;
  return first.replace(/\.pdf$/i, '') + '-nup.pdf';
}

async function preview(bytes) {
  const box = $('preview');
  box.textContent = '';
  const doc = await openPdf(bytes);
  const count = doc.numPages;
  const shown = Math.min(count, PREVIEW_SHEETS);
  for (let i = 1; i <= shown; ++i) {
    const page = await doc.getPage(i);
    const base = page.getViewport({ scale: 1 });
    const scale = Math.min(2, 900 / Math.max(base.width, base.height));
    const viewport = page.getViewport({ scale });
    const canvas = document.createElement('canvas');
    canvas.width = Math.ceil(viewport.width);
    canvas.height = Math.ceil(viewport.height);
    await page.render({ canvasContext: canvas.getContext('2d'), viewport }).promise;
    const img = document.createElement('img');
    img.src = canvas.toDataURL('image/png');
    img.alt = `Sheet ${i} of ${count}`;
    img.className = 'sheet-img';
    box.appendChild(img);
  }
  if (count > shown) {
    const more = document.createElement('p');
    more.className = 'hint';
    more.textContent = `and ${count - shown} more sheet${count - shown === 1 ? '' : 's'}`;
    box.appendChild(more);
  }
  await doc.destroy();
  return count;
}

async function make(event) {
  if (event) event.preventDefault();
  if (state.busy) return;
  if (!state.files.length) {
    setStatus('Choose one or more PDF files first.', 'error');
    $('files').focus();
    return;
  }
  const opts = options();
  if (!opts.booklet && !opts.grid) {
    setStatus('Pages per sheet must be columns x rows, such as 2x2 or 3x2.', 'error');
    $('grid').focus();
    return;
  }
  state.busy = true;
  $('make').disabled = true;
  $('download').hidden = true;
  if (state.downloadUrl) URL.revokeObjectURL(state.downloadUrl);
  state.downloadUrl = null;
  try {
    setStatus(`Reading ${state.files.length} file${state.files.length === 1 ? '' : 's'}\u2026`, 'busy');
    const common = $('pages').value.trim();
    const inputs = await Promise.all(state.files.map(async (entry) => ({
      data: new Uint8Array(await entry.file.arrayBuffer()),
      pages: entry.pages.trim() || common || null,
    })));
    setStatus('Making the sheets\u2026', 'busy');
    const r = await call({ type: 'nup', inputs, options: opts }, inputs.map((i) => i.data.buffer));
    if (!r.ok) {
      setStatus(r.message, 'error');
      return;
    }
    const bytes = r.data;
    const blob = new Blob([bytes], { type: 'application/pdf' });
    state.downloadUrl = URL.createObjectURL(blob);
    const a = $('download');
    a.href = state.downloadUrl;
    a.download = outputName();
    a.textContent = `Download ${a.download}`;
    const kb = Math.max(1, Math.round(bytes.length / 1024));
    setStatus(`Previewing\u2026`, 'busy');
    let sheets;
    try {
      sheets = await preview(bytes);
    } catch (e) {
      sheets = '?';
    }
    setStatus(`${sheets} ${sheets === 1 ? 'sheet' : 'sheets'}, ${kb} KB in ${Math.round(r.ms)} ms`, 'done');
    a.hidden = false;
  } catch (e) {
    setStatus(e && e.message ? e.message : String(e), 'error');
  } finally {
    state.busy = false;
    $('make').disabled = false;
  }
}

// --- wiring ------------------------------------------------------------------------
function init() {
  $('form').addEventListener('submit', make);
  $('files').addEventListener('change', (e) => {
    addFiles(e.target.files, true);
    e.target.value = '';
  });
  const drop = $('drop');
  for (const t of ['dragenter', 'dragover']) {
    drop.addEventListener(t, (e) => { e.preventDefault(); drop.classList.add('over'); });
  }
  for (const t of ['dragleave', 'drop']) drop.addEventListener(t, () => drop.classList.remove('over'));
  drop.addEventListener('drop', (e) => {
    e.preventDefault();
    addFiles(e.dataTransfer.files, false);
  });
  // A file dropped beside the zone must not make the browser open it.
  window.addEventListener('dragover', (e) => e.preventDefault());
  window.addEventListener('drop', (e) => e.preventDefault());
  for (const id of ['grid', 'size', 'orientation', 'margin', 'gap', 'booklet']) {
    $(id).addEventListener('input', () => {
      const bad = id === 'grid' && !parseGrid();
      $('grid').setAttribute('aria-invalid', bad ? 'true' : 'false');
      $('grid-help').hidden = !bad;
      $('grid-help').textContent = bad ? 'Write columns x rows, such as 2x2 or 3x2.' : '';
      $('grid').disabled = $('booklet').checked;
      drawLayout();
    });
  }
  window.addEventListener('resize', drawLayout);
  drawLayout();
  renderFiles();

  $('make').disabled = true;
  call({ type: 'hello' }).then((r) => {
    if (!r.ok) {
      setStatus(`The PDF module could not start: ${r.message}`, 'error');
      return;
    }
    state.several = r.several;
    state.ready = true;
    $('version').textContent = `sheetlay ${r.version}`;
    const trim = $('trim');
    if (r.trim !== 'ready') {
      trim.disabled = true;
      trim.checked = false;
      $('trim-label').hidden = true;
    }
    $('make').disabled = false;
    setStatus('Ready. Choose PDF files, then Make PDF.');
  });
}

init();
