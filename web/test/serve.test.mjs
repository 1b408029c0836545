// The page's small server: what it answers to requests a browser, a
// mistyped address or curl may send, and that it goes on answering.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { request } from 'node:http';
import { serve } from '../serve.mjs';

// A raw request (fetch would normalise a broken escape before sending it).
function ask(url, path, method = 'GET') {
  return new Promise((ok, fail) => {
    const req = request(new URL(url), { method, path }, (res) => {
      let body = '';
      res.on('data', (d) => (body += d));
      res.on('end', () => ok({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', fail);
    req.end();
  });
}

test('serves the page and the module, refuses the rest, and survives bad requests', async () => {
  const site = await serve(0);
  try {
    const cases = [
      ['GET', '/', 200],
      ['GET', '/app.mjs', 200],
      ['GET', '/boot.js', 200],
      ['GET', '/clscrypt/src/index.mjs', 200],
      ['GET', '/clscrypt/dist/clscrypt_wasm.mjs', 200],
      ['HEAD', '/', 200],
      ['GET', '/%E0%A4%A', 400],
      ['GET', '/%', 400],
      ['GET', '/test/browser.test.mjs', 404],
      ['GET', '/serve.mjs', 404],
      ['GET', '/clscrypt/package.json', 404],
      ['GET', '/clscrypt/test/api.test.mjs', 404],
      ['GET', '/../js/package.json', 404],
      ['GET', '/%2e%2e/js/package.json', 404],
      ['POST', '/', 405],
    ];
    for (const [method, path, status] of cases) {
      const r = await ask(site.url, path, method);
      assert.equal(r.status, status, `${method} ${path}`);
      if (status === 200) {
        assert.match(r.headers['content-security-policy'], /connect-src 'none'/, `${method} ${path}`);
        assert.ok(Number(r.headers['content-length']) > 0, `${method} ${path}`);
        assert.equal(r.body.length > 0, method === 'GET', `${method} ${path}: body`);
      }
    }
    // Still up after all of them.
    assert.equal((await ask(site.url, '/')).status, 200);
  } finally {
    await site.close();
  }
});
