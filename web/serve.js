// A static file server for the page, bound to 127.0.0.1 only: it serves the
// files of one folder (no listing, nothing outside it) with the content
// types that ES modules and WebAssembly need.
//
//   node web/serve.js FOLDER [PORT]      (PORT 0: any free port)
//
// Also used by the browser tests: require('./serve.js').serve(folder, port)
// resolves to the listening server.
'use strict';
const http = require('node:http');
const fs = require('node:fs');
const path = require('node:path');

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.json': 'application/json',
  '.txt': 'text/plain; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
};

function serve(folder, port = 8080, host = '127.0.0.1') {
  const root = path.resolve(folder);
  const server = http.createServer((req, res) => {
    let rel;
    try {
      rel = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    } catch {
      res.writeHead(400).end();
      return;
    }
    if (rel.endsWith('/')) rel += 'index.html';
    const file = path.resolve(root, '.' + rel);
    if (file !== root && !file.startsWith(root + path.sep)) {
      res.writeHead(404).end();
      return;
    }
    fs.readFile(file, (err, body) => {
      if (err) {
        res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
        return;
      }
      res.writeHead(200, {
        'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
        'Cache-Control': 'no-cache',
        'X-Content-Type-Options': 'nosniff',
      });
      res.end(req.method === 'HEAD' ? undefined : body);
    });
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => resolve(server));
  });
}

module.exports = { serve };

if (require.main === module) {
  const folder = process.argv[2] || path.join(__dirname, '..', 'build', 'web');
  const port = Number(process.argv[3] || 8080);
  serve(folder, port).then(
    (server) => {
      const { port: p } = server.address();
      console.log(`Serving ${folder} at http://127.0.0.1:${p}/ (only this machine can reach it; Ctrl-C stops)`);
    },
    (err) => {
      console.error(`web/serve.js: cannot listen on 127.0.0.1:${port}: ${err.message}`);
      process.exit(1);
    },
  );
}
