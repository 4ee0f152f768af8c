// The page in a real browser: Debian's Chromium, headless, driven through
// playwright-core (nothing downloads a browser), the page served from
// 127.0.0.1. Each case picks files, makes, and checks what a person gets:
// the download's bytes (%PDF, qpdf --check clean, the right sheet count),
// the status line, the preview; and that no request leaves the page's
// origin. A screenshot of the finished page goes to build/web-test/. The
// speed case prints the page's time next to the native program's.
//
//   SHEETLAY_WEB_DIR      the built page (default build/web)
//   SHEETLAY_CLI          the native command-line program, for the speed comparison
//   SHEETLAY_CORPUS_DIR   the corpus (default ../shared/corpus beside the repository)
//   SHEETLAY_CHROMIUM     the browser (default /usr/bin/chromium)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { spawnSync } from 'node:child_process';
import { pathToFileURL } from 'node:url';

const require = createRequire(import.meta.url);
const repo = path.resolve(import.meta.dirname, '../..');
const webDir = process.env.SHEETLAY_WEB_DIR || path.join(repo, 'build/web');
const shots = path.join(repo, 'build/web-test');
const cli = process.env.SHEETLAY_CLI || path.join(repo, 'build/tools/sheetlay');
const corpus = process.env.SHEETLAY_CORPUS_DIR || path.join(repo, '../shared/corpus');
const chromiumPath = process.env.SHEETLAY_CHROMIUM || '/usr/bin/chromium';
const qpdf = spawnSync('qpdf', ['--version']).status === 0 ? 'qpdf' : null;

const FOUR = path.join(corpus, 'pdflatex-4-pages.pdf');
const OUTLINE = path.join(corpus, 'pdflatex-outline.pdf');
const GEO = path.join(corpus, 'GeoTopo-komprimiert.pdf');

const missing = !fs.existsSync(path.join(webDir, 'index.html')) ? `the page is not built (${webDir})`
  : !fs.existsSync(chromiumPath) ? `no browser at ${chromiumPath}`
    : !fs.existsSync(FOUR) ? 'no corpus' : null;

let server;
let origin;
let browser;
let page;
let requests = [];
let tmp;

function pageCount(file) {
  const r = spawnSync('qpdf', ['--show-npages', file], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  return Number(r.stdout.trim());
}

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

async function fresh() {
  await page.goto(origin + '/');
  await page.waitForFunction(() => /^Ready/.test(document.getElementById('status').textContent));
}

// Makes with the files and settings, returns { status, bytes, name, file }.
async function make(files, settings = async () => {}) {
  await fresh();
  await page.setInputFiles('#files', files);
  await settings();
  await page.click('#make');
  await page.waitForFunction(() => {
    const s = document.getElementById('status');
    return s.className === 'done' || s.className === 'error';
  }, null, { timeout: 120000 });
  const status = await page.textContent('#status');
  if (await page.isHidden('#download')) return { status };
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
  const file = path.join(tmp, `out-${Date.now()}.pdf`);
  await download.saveAs(file);
  return { status, bytes: fs.readFileSync(file), name: download.suggestedFilename(), file };
}

function checkPdf(result, sheets) {
  assert.match(result.status, /^(\d+) sheets?, (\d+) KB in (\d+) ms$/);
  const [, n, kb] = /^(\d+) sheets?, (\d+) KB/.exec(result.status);
  assert.equal(result.bytes.subarray(0, 5).toString('latin1'), '%PDF-');
  assert.equal(Number(kb), Math.max(1, Math.round(result.bytes.length / 1024)));
  if (qpdf) {
    const check = spawnSync('qpdf', ['--check', result.file], { encoding: 'utf8' });
    assert.equal(check.status, 0, `qpdf --check: ${check.stdout}${check.stderr}`);
    assert.equal(pageCount(result.file), sheets);
  }
  assert.equal(Number(n), sheets);
}

before(async () => {
  if (missing) return;
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'sheetlay-page-'));
  const { serve } = require(path.join(repo, 'web/serve.js'));
  server = await serve(webDir, 0);
  origin = `http://127.0.0.1:${server.address().port}`;
  const { chromium } = await import('playwright-core');
  browser = await chromium.launch({ executablePath: chromiumPath, headless: true });
  const context = await browser.newContext({ acceptDownloads: true, viewport: { width: 1280, height: 860 } });
  page = await context.newPage();
  page.on('request', (r) => requests.push(r.url()));
  context.on('request', (r) => requests.push(r.url()));  // workers' requests too
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
  if (tmp) fs.rmSync(tmp, { recursive: true, force: true });
});

test('one file: made, previewed, downloaded under the right name', { skip: missing || false }, async () => {
  const r = await make(FOUR);
  checkPdf(r, 1);
  assert.equal(r.name, 'pdflatex-4-pages-nup.pdf');
  assert.equal(await page.getAttribute('#download', 'download'), 'pdflatex-4-pages-nup.pdf');
  assert.equal(await page.locator('#preview img').count(), 1);
  // The layout drawing shows the grid's four numbered cells.
  assert.deepEqual(await page.locator('#layout text').allTextContents(), ['1', '2', '3', '4']);
  fs.mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: path.join(shots, 'page.png'), fullPage: true });
  // The same on a phone's screen.
  await page.setViewportSize({ width: 390, height: 844 });
  await page.screenshot({ path: path.join(shots, 'phone.png'), fullPage: true });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth > window.innerWidth + 1);
  assert.equal(overflow, false, 'the page is wider than a phone\'s screen');
  await page.setViewportSize({ width: 1280, height: 860 });
});

test('layout, size and selection reach the library', { skip: missing || false }, async () => {
  const pages = pageCount(GEO);
  const r = await make(GEO, async () => {
    await page.fill('#grid', '3x2');
    await page.selectOption('#size', 'a4');
    await page.selectOption('#orientation', 'landscape');
    await page.fill('#margin', '10');
    await page.fill('#gap', '4');
    await page.fill('#pages', '1-13');
  });
  checkPdf(r, 3);
  const info = spawnSync('qpdf', ['--json', '--json-key=pages', r.file], { encoding: 'utf8' });
  if (qpdf && info.status === 0) {
    // An A4 landscape media box on the first sheet.
    const box = spawnSync('qpdf', ['--show-object=' + JSON.parse(info.stdout).pages[0].object.split(' ')[0], r.file],
      { encoding: 'utf8' }).stdout;
    assert.match(box, /MediaBox \[ 0 0 841\.89(00)? 595\.28(00)? \]/);
  }
  assert.ok(pages > 13);
  assert.deepEqual(await page.locator('#layout text').allTextContents(), ['1', '2', '3', '4', '5', '6']);
});

test('two files at once', { skip: missing || false }, async (t) => {
  await fresh();
  const canJoin = await page.evaluate(() => new Promise((resolve) => {
    const w = new Worker('worker.js', { type: 'module' });
    w.onmessage = (e) => { resolve(e.data.several); w.terminate(); };
    w.postMessage({ id: 1, type: 'hello' });
  }));
  if (!canJoin) {
    t.skip('this build of the library has no several-inputs call');
    return;
  }
  const r = await make([FOUR, OUTLINE]);
  checkPdf(r, Math.ceil((pageCount(FOUR) + pageCount(OUTLINE)) / 4));
  assert.equal(r.name, 'pdflatex-4-pages-nup.pdf');
});

test('a booklet', { skip: missing || false }, async () => {
  const r = await make(FOUR, async () => page.check('#booklet'));
  checkPdf(r, 2);  // 4 pages: two sides of one folded sheet
  assert.ok(await page.isDisabled('#grid'));
});

test('a text file named .pdf: the library\'s message', { skip: missing || false }, async () => {
  const bad = path.join(tmp, 'notes.pdf');
  fs.writeFileSync(bad, 'These are my notes, not a PDF.\n');
  const r = await make(bad);
  assert.equal(r.bytes, undefined);
  const { loadSheetlay } = await import(pathToFileURL(path.join(webDir, 'sheetlay-api.js')).href);
  const lib = await loadSheetlay();
  let expected = null;
  try {
    lib.nup(fs.readFileSync(bad), {});
  } catch (e) {
    expected = e.message;
  }
  assert.ok(expected);
  assert.equal(r.status, expected);
  assert.equal(await page.getAttribute('#status', 'class'), 'error');
  assert.ok(await page.isHidden('#download'));
});

test('trim is offered only when the library has it', { skip: missing || false }, async () => {
  await fresh();
  const { loadSheetlay } = await import(pathToFileURL(path.join(webDir, 'sheetlay-api.js')).href);
  const lib = await loadSheetlay();
  let built = !!lib.fields.trim;
  try {
    if (built) lib.nup(new Uint8Array([37]), { trim: 'each' });
  } catch (e) {
    if (/not built/.test(e.message)) built = false;
  }
  assert.equal(await page.isVisible('#trim'), built);
  assert.equal(await page.isDisabled('#trim'), !built);
});

test('keyboard: the controls are reached with Tab and Make runs with Enter', { skip: missing || false }, async () => {
  await fresh();
  const order = [];
  for (let i = 0; i < 12; ++i) {
    await page.keyboard.press('Tab');
    order.push(await page.evaluate(() => document.activeElement && document.activeElement.id));
  }
  for (const id of ['files', 'grid', 'size', 'orientation', 'margin', 'gap', 'pages', 'booklet', 'make']) {
    assert.ok(order.includes(id), `${id} not reached by Tab (${order.join(', ')})`);
  }
  await page.setInputFiles('#files', FOUR);
  await page.focus('#grid');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('status').className === 'done', null, { timeout: 60000 });
});

test('no request leaves the page\'s origin', { skip: missing || false }, async () => {
  const foreign = requests.filter((u) => !u.startsWith(origin + '/') && !u.startsWith('blob:' + origin) &&
    !u.startsWith('data:'));
  assert.deepEqual(foreign, []);
  // After loading and one job nothing more is fetched.
  await make(FOUR);
  const seen = requests.length;
  await page.click('#make');
  await page.waitForFunction(() => document.getElementById('status').className === 'done');
  assert.deepEqual(requests.slice(seen).filter((u) => !u.startsWith('blob:')), []);
});

test('speed: the 117-page file 4-up in the page next to the native program', { skip: missing || false }, async () => {
  const times = [];
  await fresh();
  await page.setInputFiles('#files', GEO);
  for (let i = 0; i < 6; ++i) {
    await page.click('#make');
    await page.waitForFunction(() => document.getElementById('status').className === 'done', null,
      { timeout: 120000 });
    times.push(Number(/in (\d+) ms/.exec(await page.textContent('#status'))[1]));
  }
  const page5 = median(times.slice(1));
  let line = `# page: first make ${times[0]} ms (the module's first run), median of the next five ${page5} ms`;
  if (fs.existsSync(cli)) {
    const wall = [];
    const out = path.join(tmp, 'native.pdf');
    for (let i = 0; i < 5; ++i) {
      const t0 = process.hrtime.bigint();
      const r = spawnSync(cli, ['-n', '4', GEO, out]);
      wall.push(Number(process.hrtime.bigint() - t0) / 1e6);
      assert.equal(r.status, 0);
    }
    const native = median(wall);
    line += `; native command line median wall time ${native.toFixed(0)} ms; ratio ${(page5 / native).toFixed(2)}` +
      ` (goal: at most 2.5)`;
  }
  console.log(line);
});
