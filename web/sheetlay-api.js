// sheetlay for JavaScript: the WebAssembly build of the library behind one
// call, in browsers (a Web Worker is the place for it) and in Node.js.
//
//   import { nup } from './sheetlay-api.js';
//   const out = await nup([bytesA, { data: bytesB, pages: '1-3' }], { n: 4, size: 'a4' });
//
// Inputs: one PDF or a list; an item is a Uint8Array/ArrayBuffer, or
// { data, pages, password }. Options use the Python module's keyword names
// (n, grid, columns, rows, order, columns_first, bottom_up, size, orientation,
// shrink_only, fit, margin, gap, border, pages, booklet, keep, compress,
// password, plain, and with a 0.3 library signature, duplex, turn, marks,
// trim, trim_margin). Lengths are in points. `pages` and `password` given
// as options apply to every input without its own. The result is the
// output PDF's bytes; a failure throws SheetlayError with the library's
// message, a bad argument TypeError or RangeError before the library runs.

import createSheetlay from './sheetlay.js';

export class SheetlayError extends Error {
  constructor(message) {
    super(message);
    this.name = 'SheetlayError';
  }
}

const inNode = typeof process === 'object' && !!(process.versions && process.versions.node) &&
  typeof self === 'undefined';

async function instantiate(moduleArg) {
  const arg = { ...moduleArg };
  if (inNode) {
    // emscripten 3.1.6's ES module reaches for CommonJS's require and
    // __dirname under Node, and reads the .wasm itself only by path.
    const { createRequire } = await import('node:module');
    const { fileURLToPath } = await import('node:url');
    const path = await import('node:path');
    const fs = await import('node:fs');
    if (typeof globalThis.require === 'undefined') globalThis.require = createRequire(import.meta.url);
    if (typeof globalThis.__dirname === 'undefined') {
      globalThis.__dirname = path.dirname(fileURLToPath(import.meta.url));
    }
    if (!arg.wasmBinary) arg.wasmBinary = fs.readFileSync(new URL('./sheetlay.wasm', import.meta.url));
  }
  return createSheetlay(arg);
}

const SIZES = {
  first: [0, 0], a4: [595.28, 841.89], a3: [841.89, 1190.55], a5: [419.53, 595.28],
  letter: [612, 792], legal: [612, 1008], tabloid: [792, 1224],
};
const GRIDS = { 2: [2, 1], 4: [2, 2], 6: [3, 2], 9: [3, 3], 16: [4, 4] };
const ORIENTATIONS = { auto: 0, portrait: 1, landscape: 2, 'as-given': 3, as_given: 3 };
const KEEP = { links: 1, annotations: 2, outline: 4, info: 8 };
const FITS = { scale: 0, shrink: 1, same: 2 };
const DUPLEX = { short: 0, long: 1 };
const TURNS = { none: 0, left: 1, right: 2 };
const MARKS = { crop: 1, cut: 2 };
const TRIMS = { none: 0, each: 1, same: 2 };
const KNOWN = new Set(['n', 'grid', 'columns', 'rows', 'order', 'columns_first', 'bottom_up', 'size',
  'orientation', 'shrink_only', 'fit', 'margin', 'gap', 'border', 'pages', 'booklet', 'keep', 'compress',
  'password', 'plain', 'signature', 'duplex', 'turn', 'marks', 'trim', 'trim_margin']);

function choice(value, table, what) {
  if (typeof value === 'string' && Object.prototype.hasOwnProperty.call(table, value.toLowerCase())) {
    return table[value.toLowerCase()];
  }
  throw new RangeError(`${what} must be one of ${Object.keys(table).join(', ')} (got ${JSON.stringify(value)})`);
}

function number(value, what) {
  if (typeof value !== 'number' || !Number.isFinite(value)) {
    throw new TypeError(`${what} must be a finite number (got ${JSON.stringify(value)})`);
  }
  return value;
}

function int32(value, what) {
  if (!Number.isInteger(value) || value < -2147483648 || value > 2147483647) {
    throw new TypeError(`${what} must be a 32-bit integer (got ${JSON.stringify(value)})`);
  }
  return value;
}

function text(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  return value;
}

function flags(value, table, what) {
  if (Number.isInteger(value) && value >= 0 && value < 2 ** 32) return value;  // the library refuses unknown bits
  const names = typeof value === 'string' ? [value] : value;
  if (!names || typeof names[Symbol.iterator] !== 'function') {
    throw new TypeError(`${what} must be an integer or a list of names`);
  }
  let bits = 0;
  for (const n of names) bits |= choice(n, table, what);
  return bits >>> 0;
}

function grid(o) {
  const given = ['n', 'grid', 'columns', 'rows'].filter((k) => o[k] !== undefined && o[k] !== null);
  if (given.length > 1 && !(given.length === 2 && given.includes('columns') && given.includes('rows'))) {
    throw new TypeError(`give only one of n, grid and columns/rows (got ${given.join(' and ')})`);
  }
  let cr;
  if (o.n != null) {
    if (!GRIDS[o.n]) throw new SheetlayError(`n must be 2, 4, 6, 9 or 16 (got ${o.n})`);
    cr = GRIDS[o.n];
  } else if (o.grid != null) {
    if (typeof o.grid === 'string') {
      const m = /^\s*(\d+)\s*[x×]\s*(\d+)\s*$/i.exec(o.grid);
      if (!m) throw new RangeError(`grid must look like "3x2" (got ${JSON.stringify(o.grid)})`);
      cr = [Number(m[1]), Number(m[2])];
    } else if (Array.isArray(o.grid) && o.grid.length === 2) {
      cr = [int32(o.grid[0], 'columns'), int32(o.grid[1], 'rows')];
    } else {
      throw new TypeError('grid must be a [columns, rows] pair or a "CxR" string');
    }
  } else {
    cr = [o.columns == null ? 2 : int32(o.columns, 'columns'), o.rows == null ? 2 : int32(o.rows, 'rows')];
  }
  if (o.booklet) {
    // A booklet sheet is one sheet folded once: two pages side by side.
    if (given.length && (cr[0] !== 2 || cr[1] !== 1)) {
      throw new TypeError(`a booklet places pages 2x1; leave out ${given[0]}`);
    }
    cr = [2, 1];
  }
  return cr;
}

function bytesOf(data, what) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError(`${what} must be a Uint8Array or an ArrayBuffer`);
}

function normalInputs(inputs) {
  const list = Array.isArray(inputs) ? inputs : [inputs];
  if (list.length === 0) throw new TypeError('no input given');
  return list.map((item, i) => {
    const what = `input ${i + 1}`;
    if (item && typeof item === 'object' && 'data' in item && !ArrayBuffer.isView(item)) {
      return {
        data: bytesOf(item.data, what),
        pages: item.pages == null || item.pages === '' ? null : text(item.pages, `pages of ${what}`),
        password: item.password == null ? null : text(item.password, `password of ${what}`),
      };
    }
    return { data: bytesOf(item, what), pages: null, password: null };
  });
}

class Sheetlay {
  constructor(m) {
    this.m = m;
    this.version = m.UTF8ToString(m._sheetlay_version());
    this.fields = {};
    for (const part of m.UTF8ToString(m._sheetlay_web_fields()).split(',')) {
      const [name, type, at] = part.split(':');
      if (name === 'size') this.size = Number(type);
      else if (name === 'input') this.inputSize = Number(type);
      else if (name.startsWith('input.')) this.fields[name] = { type, at: Number(at) };
      else this.fields[name] = { type, at: Number(at) };
    }
    this.severalInputs = typeof m._sheetlay_nup_inputs_mem === 'function' && this.inputSize > 0;
  }

  // The options structure for the keywords, in memory the caller frees
  // (with every string it points to, listed in `blocks`).
  options(o, blocks) {
    for (const k of Object.keys(o)) {
      if (!KNOWN.has(k)) throw new TypeError(`unknown option ${k}`);
      if (!this.fields[k] && !['n', 'grid', 'columns', 'rows', 'order', 'columns_first', 'bottom_up', 'size',
        'shrink_only', 'plain', 'pages', 'password'].includes(k) && o[k] != null) {
        throw new TypeError(`option ${k} needs a newer library than ${this.version}`);
      }
    }
    const m = this.m;
    const p = m._malloc(this.size);
    if (!p) throw new SheetlayError('out of memory');
    blocks.push(p);
    m.HEAPU8.fill(0, p, p + this.size);
    if (m._sheetlay_options_init_sized) m._sheetlay_options_init_sized(p, this.size);
    else m._sheetlay_options_init(p);
    const view = () => new DataView(m.HEAPU8.buffer);
    const set = (name, v) => {
      const f = this.fields[name];
      const d = view();
      if (f.type === 'f64') d.setFloat64(p + f.at, v, true);
      else if (f.type === 'u32') d.setUint32(p + f.at, v >>> 0, true);
      else d.setInt32(p + f.at, v, true);  // i32 and 32-bit pointers
    };
    const plain = !!o.plain;
    const [c, r] = grid(o);
    set('columns', c);
    set('rows', r);
    set('flow', (o.order != null && choice(o.order, { ltr: 0, rtl: 1 }, 'order') ? 1 : 0) |
      (o.columns_first ? 2 : 0) | (o.bottom_up ? 4 : 0));
    let size = o.size == null ? 'first' : o.size;
    size = typeof size === 'string' ? choice(size, SIZES, 'size')
      : Array.isArray(size) && size.length === 2 ? [number(size[0], 'sheet width'), number(size[1], 'sheet height')]
        : (() => { throw new TypeError('size must be a name or a [width, height] pair in points'); })();
    set('sheet_width', size[0]);
    set('sheet_height', size[1]);
    set('orientation', choice(o.orientation == null ? (plain ? 'as-given' : 'auto') : o.orientation,
      ORIENTATIONS, 'orientation'));
    if (o.fit != null) set('fit', choice(o.fit, FITS, 'fit'));
    else if (o.shrink_only) set('fit', 1);
    for (const k of ['margin', 'gap', 'border']) if (o[k] != null) set(k, number(o[k], k));
    set('booklet', o.booklet ? 1 : 0);
    set('keep', o.keep != null ? flags(o.keep, KEEP, 'keep') : plain ? 0 : 15);
    set('compress', o.compress != null
      ? (typeof o.compress === 'boolean' ? Number(o.compress) : choice(o.compress, { compact: 1, none: 0 }, 'compress'))
      : plain ? 0 : 1);
    if (o.signature != null) set('signature', int32(o.signature, 'signature'));
    if (o.duplex != null) set('duplex', choice(o.duplex, DUPLEX, 'duplex'));
    if (o.turn != null) set('turn', choice(o.turn, TURNS, 'turn'));
    if (o.marks != null) set('marks', flags(o.marks, MARKS, 'marks'));
    if (o.trim != null) set('trim', o.trim === false ? 0 : o.trim === true ? 1 : choice(o.trim, TRIMS, 'trim'));
    if (o.trim_margin != null) set('trim_margin', number(o.trim_margin, 'trim_margin'));
    return p;
  }

  string(s, blocks) {
    const m = this.m;
    const n = m.lengthBytesUTF8(s) + 1;
    const p = m._malloc(n);
    if (!p) throw new SheetlayError('out of memory');
    blocks.push(p);
    m.stringToUTF8(s, p, n);
    return p;
  }

  copy(bytes, blocks) {
    const m = this.m;
    const p = m._malloc(Math.max(1, bytes.length));
    if (!p) throw new SheetlayError('out of memory');
    blocks.push(p);
    m.HEAPU8.set(bytes, p);
    return p;
  }

  // The output PDF's bytes for the inputs and options (see the top).
  nup(inputs, options = {}) {
    const list = normalInputs(inputs);
    const o = { ...options };
    const defaults = { pages: o.pages == null || o.pages === '' ? null : text(o.pages, 'pages'),
      password: o.password == null ? null : text(o.password, 'password') };
    delete o.pages;
    delete o.password;
    const m = this.m;
    const blocks = [];
    const ERR = 1024;
    try {
      const opt = this.options(o, blocks);
      const err = m._malloc(ERR);
      const outp = m._malloc(8);
      if (!err || !outp) throw new SheetlayError('out of memory');
      blocks.push(err, outp);
      m.HEAPU8.fill(0, outp, outp + 8);
      m.HEAPU8[err] = 0;
      let ok;
      if (list.length === 1) {
        const pages = list[0].pages ?? defaults.pages;
        const password = list[0].password ?? defaults.password;
        const d = new DataView(m.HEAPU8.buffer);
        if (pages != null) d.setUint32(opt + this.fields.pages.at, this.string(pages, blocks), true);
        if (password != null) d.setUint32(opt + this.fields.password.at, this.string(password, blocks), true);
        const data = this.copy(list[0].data, blocks);
        ok = m._sheetlay_nup_mem(data, list[0].data.length, outp, outp + 4, opt, err, ERR);
      } else if (this.severalInputs) {
        const F = this.fields;
        const arr = m._malloc(this.inputSize * list.length);
        if (!arr) throw new SheetlayError('out of memory');
        blocks.push(arr);
        m.HEAPU8.fill(0, arr, arr + this.inputSize * list.length);
        list.forEach((item, i) => {
          const at = arr + i * this.inputSize;
          const data = this.copy(item.data, blocks);
          const pages = item.pages ?? defaults.pages;
          const password = item.password ?? defaults.password;
          const ps = pages != null ? this.string(pages, blocks) : 0;
          const pw = password != null ? this.string(password, blocks) : 0;
          const d = new DataView(m.HEAPU8.buffer);
          d.setUint32(at + F['input.data'].at, data, true);
          d.setUint32(at + F['input.data_len'].at, item.data.length, true);
          d.setUint32(at + F['input.pages'].at, ps, true);
          d.setUint32(at + F['input.password'].at, pw, true);
        });
        ok = m._sheetlay_nup_inputs_mem(arr, list.length, outp, outp + 4, opt, err, ERR);
      } else {
        throw new SheetlayError(`this build of the library (${this.version}) takes one input at a time`);
      }
      const d = new DataView(m.HEAPU8.buffer);
      if (!ok) throw new SheetlayError(m.UTF8ToString(err) || 'failed (no reason given)');
      const out = d.getUint32(outp, true);
      const len = d.getUint32(outp + 4, true);
      const result = m.HEAPU8.slice(out, out + len);
      m._sheetlay_free(out);
      return result;
    } finally {
      for (const b of blocks) m._free(b);
    }
  }
}

let loading = null;

// Loads the module once (moduleArg: emscripten module settings, such as
// wasmBinary or locateFile) and resolves to an object with nup() and
// version.
export function loadSheetlay(moduleArg = {}) {
  if (!loading) loading = instantiate(moduleArg).then((m) => new Sheetlay(m));
  return loading;
}

// The output PDF's bytes (a Uint8Array) for one input or a list of inputs.
export async function nup(inputs, options = {}) {
  const lib = await loadSheetlay();
  return lib.nup(inputs, options);
}

export async function version() {
  return (await loadSheetlay()).version;
}
