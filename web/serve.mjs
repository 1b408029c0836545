// A small static server for the page, on 127.0.0.1 only: node web/serve.mjs
// [port]. It serves this folder at / and the package's module at /clscrypt/
// (js/src and js/dist), with the page's Content-Security-Policy as a header
// too. Nothing else is served; nothing is received.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = fileURLToPath(new URL('.', import.meta.url));
const pkg = fileURLToPath(new URL('../js/', import.meta.url));
const types = {
  '.html': 'text/html; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.png': 'image/png',
};
export const csp =
  "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; img-src 'self' data: blob:; " +
  "connect-src 'none'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'";

// The file a URL path names, or null when it is outside what is served.
function resolve(path) {
  let root = here;
  let rest = path;
  if (path.startsWith('/clscrypt/')) {
    rest = path.slice('/clscrypt/'.length);
    if (!rest.startsWith('src/') && !rest.startsWith('dist/')) return null;
    root = pkg;
  } else if (path === '/') {
    rest = 'index.html';
  } else if (path.startsWith('/test/')) {
    return null; // the page's tests are not part of it
  }
  const file = normalize(join(root, rest));
  return file.startsWith(root) && !file.slice(root.length).split(sep).includes('..') ? file : null;
}

/** Starts the server; resolves to { url, close() }. Port 0 picks a free one. */
export function serve(port = 0) {
  const server = createServer(async (req, res) => {
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      res.writeHead(405, { Allow: 'GET, HEAD' }).end();
      return;
    }
    // A path that does not decode (a broken %-escape) is the client's
    // mistake: 400, and the server goes on.
    let path;
    try {
      path = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
    } catch {
      res.writeHead(400).end();
      return;
    }
    const file = resolve(path);
    const type = file && types[extname(file)];
    if (!type || file.endsWith('serve.mjs')) {
      res.writeHead(404).end();
      return;
    }
    try {
      const body = await readFile(file);
      res.writeHead(200, {
        'Content-Type': type,
        'Content-Length': body.length,
        'Content-Security-Policy': csp,
        'Cache-Control': 'no-store',
      });
      res.end(req.method === 'HEAD' ? undefined : body);
    } catch {
      res.writeHead(404).end();
    }
  });
  // A malformed request gets 400 from Node itself; it never stops the server.
  server.on('clientError', (_e, socket) => socket.destroy());
  return new Promise((ok, fail) => {
    server.once('error', fail);
    server.listen(port, '127.0.0.1', () => {
      ok({ url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((d) => server.close(d)) });
    });
  });
}

if (process.argv[1] && fileURLToPath(import.meta.url) === normalize(process.argv[1])) {
  const { url } = await serve(Number(process.argv[2] ?? 8080));
  console.log(`The page is at ${url} (Ctrl+C stops the server)`);
}
