// The WebAssembly build writes the native build's bytes: every corpus file,
// under layouts whose numbers have fractions (sheet sizes, margins, gaps,
// frames), through the JavaScript wrapper in Node and through the native
// command-line program. The WebAssembly build formats and reads reals with
// the library's own exact conversions, the native one with the C++
// library's, so this is where a difference between them would show.
//
//   SHEETLAY_WEB_DIR   the built module (default build/web)
//   SHEETLAY_CLI       the native command-line program (default build/tools/sheetlay)
//   SHEETLAY_CORPUS_DIR
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { pathToFileURL } from 'node:url';

const repo = path.resolve(import.meta.dirname, '../..');
const webDir = process.env.SHEETLAY_WEB_DIR || path.join(repo, 'build/web');
const cli = process.env.SHEETLAY_CLI || path.join(repo, 'build/tools/sheetlay');
const corpus = process.env.SHEETLAY_CORPUS_DIR || path.join(repo, '../shared/corpus');

// Each layout as wrapper options and as command-line flags.
const LAYOUTS = [
  { name: 'default 2x2', options: {}, flags: [] },
  { name: 'A4 3x3 margin gap border', options: { n: 9, size: 'a4', margin: 28.35, gap: 8.5, border: 0.75 },
    flags: ['-n', '9', '--size', 'a4', '--margin', '28.35', '--gap', '8.5', '--border', '0.75'] },
  { name: 'letter landscape 3x1 rtl', options: { grid: [3, 1], size: 'letter', orientation: 'landscape', order: 'rtl' },
    flags: ['--grid', '3x1', '--size', 'letter', '--landscape', '--rtl'] },
  { name: 'booklet on A5', options: { booklet: true, size: 'a5', margin: 10.3 },
    flags: ['--booklet', '--size', 'a5', '--margin', '10.3'] },
  { name: 'plain 2x1 shrink', options: { n: 2, plain: true, shrink_only: true, size: [500.5, 433.25] },
    flags: ['-n', '2', '--plain', '--shrink-only', '--size', '500.5x433.25'] },
];

const files = fs.existsSync(corpus) ? fs.readdirSync(corpus).filter((f) => f.endsWith('.pdf')).sort() : [];
const ready = fs.existsSync(path.join(webDir, 'sheetlay.wasm')) && fs.existsSync(cli);

test('the WebAssembly build writes the native build\'s bytes', { skip: !ready ? 'module or native program not built'
  : files.length === 0 ? 'no corpus' : false }, async () => {
  const { loadSheetlay } = await import(pathToFileURL(path.join(webDir, 'sheetlay-api.js')).href);
  const lib = await loadSheetlay();
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'sheetlay-web-'));
  let compared = 0;
  let failedBoth = 0;
  try {
    for (const file of files) {
      const data = fs.readFileSync(path.join(corpus, file));
      for (const layout of LAYOUTS) {
        const out = path.join(tmp, 'native.pdf');
        fs.rmSync(out, { force: true });
        const native = spawnSync(cli, [...layout.flags, path.join(corpus, file), out], { encoding: 'utf8' });
        let wasm = null;
        let message = null;
        try {
          wasm = lib.nup(data, layout.options);
        } catch (e) {
          message = e.message;
        }
        const where = `${file}, ${layout.name}`;
        if (native.status !== 0) {
          // The same refusal: the native message names the path, the
          // module's the input.
          assert.equal(wasm, null, `${where}: native failed (${native.stderr.trim()}) but the module did not`);
          failedBoth++;
          continue;
        }
        assert.equal(message, null, `${where}: the module failed: ${message}`);
        const expected = fs.readFileSync(out);
        assert.equal(Buffer.compare(Buffer.from(wasm), expected), 0,
          `${where}: ${wasm.length} bytes from the module, ${expected.length} from the native program`);
        compared++;
      }
    }
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
  console.log(`# identical outputs: ${compared} (corpus files x layouts), refused by both: ${failedBoth}`);
  assert.ok(compared >= files.length * 3);
});

test('several inputs: the module joins them as the native program does', { skip: !ready ? 'not built'
  : files.length < 3 ? 'no corpus' : false }, async (t) => {
  const { loadSheetlay } = await import(pathToFileURL(path.join(webDir, 'sheetlay-api.js')).href);
  const lib = await loadSheetlay();
  if (!lib.severalInputs) {
    t.skip('this build of the library has no several-inputs call');
    return;
  }
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'sheetlay-web-'));
  try {
    const trio = ['pdflatex-4-pages.pdf', 'pdflatex-outline.pdf', 'annotated_pdf.pdf'].map((f) => path.join(corpus, f))
      .filter((f) => fs.existsSync(f));
    const out = path.join(tmp, 'joined.pdf');
    const native = spawnSync(cli, ['-n', '6', '--size', 'a4', '--margin', '14.2', ...trio, out], { encoding: 'utf8' });
    assert.equal(native.status, 0, native.stderr);
    const wasm = lib.nup(trio.map((f) => fs.readFileSync(f)), { n: 6, size: 'a4', margin: 14.2 });
    assert.equal(Buffer.compare(Buffer.from(wasm), fs.readFileSync(out)), 0);
    // Each input's own selection, and the options' selection for the others.
    const mixed = lib.nup([{ data: fs.readFileSync(trio[0]), pages: 'z' }, fs.readFileSync(trio[1])], { pages: '1' });
    fs.writeFileSync(out, mixed);
    const nativeMixed = spawnSync(cli, ['--pages', '1', trio[0], '--pages', 'z', trio[1], path.join(tmp, 'n.pdf')]);
    assert.equal(nativeMixed.status, 0);
    assert.equal(Buffer.compare(Buffer.from(mixed), fs.readFileSync(path.join(tmp, 'n.pdf'))), 0);
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
});

test('the wrapper checks its arguments and reports the library\'s messages', { skip: !ready ? 'not built' : false },
  async () => {
    const { loadSheetlay, SheetlayError } = await import(pathToFileURL(path.join(webDir, 'sheetlay-api.js')).href);
    const lib = await loadSheetlay();
    assert.match(lib.version, /^\d+\.\d+\.\d+$/);
    const cases = [
      [() => lib.nup(new Uint8Array(10), { n: 5 }), SheetlayError, /n must be 2, 4, 6, 9 or 16 \(got 5\)/],
      [() => lib.nup(new Uint8Array(10), { colour: 1 }), TypeError, /unknown option colour/],
      [() => lib.nup(new Uint8Array(10), { size: 'b5' }), RangeError, /size must be one of/],
      [() => lib.nup('report.pdf', {}), TypeError, /must be a Uint8Array/],
      [() => lib.nup(new TextEncoder().encode('plain text'), {}), SheetlayError, /not a PDF/],
      [() => lib.nup(new Uint8Array(10), { columns: 40, rows: 1 }), SheetlayError, /columns/],
      [() => lib.nup(new Uint8Array(10), { booklet: true, n: 4 }), TypeError, /booklet places pages 2x1/],
    ];
    for (const [call, type, message] of cases) assert.throws(call, (e) => e instanceof type && message.test(e.message));
    // Memory is returned: many failing calls do not grow the heap.
    for (let i = 0; i < 2000; ++i) assert.throws(() => lib.nup(new Uint8Array(100000), {}));
  });
