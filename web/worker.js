// The page's worker: it alone loads and runs the WebAssembly module, so a
// long job never freezes the page. Messages:
//   { id, type: 'hello' }                   -> { id, ok, version, several, trim, loadMs }
//   { id, type: 'nup', inputs, options }    -> { id, ok, data, ms } or { id, ok: false, message }
// `trim` is 'absent' (the structure has no trim field), 'unbuilt' (the
// library refuses it as not built yet) or 'ready'.
import { loadSheetlay } from './sheetlay-api.js';

let lib = null;
let loadMs = 0;

async function library() {
  if (!lib) {
    const t0 = performance.now();
    lib = await loadSheetlay();
    loadMs = performance.now() - t0;
  }
  return lib;
}

function trimState(l) {
  if (!l.fields.trim) return 'absent';
  try {
    // Options are checked before the input is read: one byte is enough.
    l.nup(new Uint8Array([37]), { trim: 'each' });
  } catch (e) {
    if (/not built/.test(e.message)) return 'unbuilt';
  }
  return 'ready';
}

self.onmessage = async (event) => {
  const { id, type } = event.data;
  try {
    const l = await library();
    if (type === 'hello') {
      self.postMessage({ id, ok: true, version: l.version, several: l.severalInputs, trim: trimState(l), loadMs });
      return;
    }
    const t0 = performance.now();
    const data = l.nup(event.data.inputs, event.data.options);
    const ms = performance.now() - t0;
    self.postMessage({ id, ok: true, data, ms }, [data.buffer]);
  } catch (e) {
    self.postMessage({ id, ok: false, message: e && e.message ? e.message : String(e), kind: e && e.name });
  }
};
