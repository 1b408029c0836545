// The page in a real browser: headless Chromium driven through
// chromedriver's WebDriver protocol (plain HTTP, no package needed), the
// page served on 127.0.0.1 by serve.mjs. Run: node --test web/test/
// CLSCRYPT_SCREENSHOT=path saves a screenshot of the decrypted result there.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:net';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { serve } from '../serve.mjs';

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const chromedriver = process.env.CHROMEDRIVER ?? '/usr/bin/chromedriver';
const known = JSON.parse(readFileSync(new URL('../../js/test/fixtures/known-answers.json', import.meta.url)));
const history = known.find((k) => k.name === 'key history of three');
const shared = JSON.parse(readFileSync(new URL('../../tests/data/conformance.json', import.meta.url), 'utf8'));
const fromHex = (h) => Buffer.from(h, 'hex');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const freePort = () =>
  new Promise((ok) => {
    const s = createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => ok(port));
    });
  });

let site;
let driver;
let base;
let session;
let scratch;
let downloads;

async function wd(method, path, body) {
  const res = await fetch(`${base}${path}`, {
    method,
    headers: { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const json = await res.json();
  if (!res.ok) throw new Error(`WebDriver ${method} ${path}: ${JSON.stringify(json.value)}`);
  return json.value;
}
const s = (path, body) => wd(body === undefined ? 'GET' : 'POST', `/session/${session}${path}`, body);
const ELEMENT = 'element-6066-11e4-a52e-4f735466cecf';
const find = async (css) => (await s('/element', { using: 'css selector', value: css }))[ELEMENT];
const run = (script, ...args) => s('/execute/sync', { script, args });
const click = async (css) => s(`/element/${await find(css)}/click`, {});
const type = async (css, text) => s(`/element/${await find(css)}/value`, { text });
async function until(what, check, ms = 20000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(100)) {
    const v = await check();
    if (v) return v;
  }
  throw new Error(`timed out waiting for ${what}`);
}
const statusOf = () => run("const s = document.getElementById('status'); return [s.className, s.textContent];");

before(async () => {
  scratch = mkdtempSync(join(tmpdir(), 'clscrypt-web-'));
  downloads = join(scratch, 'downloads');
  site = await serve(0);
  const port = await freePort();
  base = `http://127.0.0.1:${port}`;
  driver = spawn(chromedriver, [`--port=${port}`], { stdio: 'ignore' });
  await until('chromedriver', () => fetch(`${base}/status`).then((r) => r.ok, () => false));
  const created = await wd('POST', '/session', {
    capabilities: {
      alwaysMatch: {
        browserName: 'chrome',
        'goog:chromeOptions': {
          binary: chromium,
          args: ['--headless', '--no-sandbox', '--disable-gpu', '--window-size=820,1560', '--allow-file-access-from-files'],
          prefs: { 'download.default_directory': downloads, 'download.prompt_for_download': false },
        },
      },
    },
  });
  session = created.sessionId;
  // Every Content-Security-Policy violation of every page load is kept.
  await s('/goog/cdp/execute', {
    cmd: 'Page.addScriptToEvaluateOnNewDocument',
    params: {
      source: "window.__violations = []; document.addEventListener('securitypolicyviolation', " +
        "(e) => window.__violations.push(e.violatedDirective + ' ' + e.blockedURI.slice(0, 40)));",
    },
  });
  await s('/goog/cdp/execute', {
    cmd: 'Browser.setDownloadBehavior',
    params: { behavior: 'allow', downloadPath: downloads },
  });
});

after(async () => {
  if (session) await wd('DELETE', `/session/${session}`).catch(() => {});
  driver?.kill();
  await site?.close();
  rmSync(scratch, { recursive: true, force: true });
});

async function openPage() {
  await s('/url', { url: site.url });
  await until('the page to load the module', () => run('return document.body.dataset.ready === "true";'));
}
// Types the keys, and their repetitions when encrypting (`repeats`, or the
// keys themselves).
async function enterKeys(keys, repeats = keys) {
  for (let i = 1; i < keys.length; i++) await click('#add-key');
  const inputs = await s('/elements', { using: 'css selector', value: 'input.key' });
  assert.equal(inputs.length, keys.length);
  for (let i = 0; i < keys.length; i++) await s(`/element/${inputs[i][ELEMENT]}/value`, { text: keys[i] });
  const again = await s('/elements', { using: 'css selector', value: 'input.key-repeat' });
  for (let i = 0; i < keys.length; i++) {
    if (await s(`/element/${again[i][ELEMENT]}/displayed`)) {
      await s(`/element/${again[i][ELEMENT]}/value`, { text: repeats[i] });
    }
  }
}
const result = () =>
  until('a result', async () => {
    const st = await statusOf();
    return st[0] ? st : null;
  });

test('decrypts a dropped file written by the native library, with three keys in order, as a download', async () => {
  const file = join(scratch, 'greeting.txt.cls');
  writeFileSync(file, fromHex(history.cipher));
  await openPage();
  await type('#file', file);
  await enterKeys(history.keys);
  await click('#run');
  const [cls, text] = await until('a result', async () => {
    const st = await statusOf();
    return st[0] ? st : null;
  });
  assert.equal(cls, 'ok', text);
  assert.equal(await run("return document.getElementById('progress').value;"), 100);
  if (process.env.CLSCRYPT_SCREENSHOT) {
    writeFileSync(process.env.CLSCRYPT_SCREENSHOT, Buffer.from(await s('/screenshot'), 'base64'));
  }
  await click('#download');
  const got = await until('the download', () => {
    try {
      const names = readdirSync(downloads).filter((n) => !n.endsWith('.crdownload'));
      return names.length ? names : null;
    } catch {
      return null;
    }
  });
  assert.deepEqual(got, ['greeting.txt']);
  assert.equal(readFileSync(join(downloads, 'greeting.txt')).toString('hex').toUpperCase(), history.message);
});

test('a wrong key says so and offers nothing to download', async () => {
  const file = join(scratch, 'wrong.cls');
  writeFileSync(file, fromHex(history.cipher));
  await openPage();
  await type('#file', file);
  await enterKeys(['first', 'third', 'second']); // the right keys in the wrong order
  await click('#run');
  const [cls, text] = await until('a result', async () => {
    const st = await statusOf();
    return st[0] ? st : null;
  });
  assert.equal(cls, 'error');
  assert.match(text, /^Wrong key/);
  assert.match(text, /nothing to download/);
  assert.equal(await s(`/element/${await find('#download')}/displayed`), false, 'a download is offered');
});

test('on a phone-sized screen, from the keyboard: pasted hexadecimal text decrypts to text, and no request leaves', async () => {
  await s('/window/rect', { width: 375, height: 800 });
  await openPage();
  assert.ok(
    await run('return document.documentElement.scrollWidth <= document.documentElement.clientWidth;'),
    'the page scrolls sideways at phone width',
  );
  const k = known.find((c) => c.name === 'key in Windows-1251');
  await run("document.getElementById('codepage').value = arguments[0];", String(k.codepage));
  await type('#pasted', k.cipher.match(/../g).join(' '));
  await enterKeys(k.keys);
  await type('input.key', '\uE007'); // Enter in the key field runs it
  await until('a result', async () => (await statusOf())[0]);
  assert.deepEqual(await statusOf(), ['ok', 'Decrypted: the text is shown below.']);
  assert.equal(await run("return document.getElementById('output').value;"), fromHex(k.message).toString('latin1'));
  const requested = await run('return performance.getEntriesByType("resource").map((e) => e.name);');
  assert.ok(requested.every((u) => u.startsWith(site.url)), requested.join(', '));
});

// Keys (and texts) the chosen code page cannot carry are refused through the
// library, on both paths of the page: the file (the class) and the pasted
// text (the value functions). Nothing is shown or offered; the message names
// the position and a code page that has the character, never the character.
test('keys and texts the code page lacks are refused, for a file and for pasted text', async () => {
  const cases = [];
  for (const c of shared.unmappable_keys) {
    cases.push({ name: `${c.name}, a file`, c, file: true, keys: [c.key], what: 'the key' });
    cases.push({ name: `${c.name}, pasted hex`, c, pasted: c.cipher_with_replacement, keys: ['first', c.key], what: 'the key' });
  }
  const c = shared.unmappable_keys[1];
  cases.push({ name: 'a text to encrypt', c, pasted: c.key, keys: ['k'], encrypt: true, what: 'the text' });
  for (const t of cases) {
    await openPage();
    if (t.encrypt) await click('input[name=mode][value=encrypt]');
    await run("document.getElementById('codepage').value = arguments[0];", String(t.c.codepage));
    if (t.file) {
      const file = join(scratch, 'unmappable.cls');
      writeFileSync(file, fromHex(t.c.cipher_with_replacement));
      await type('#file', file);
    } else {
      await type('#pasted', t.pasted);
    }
    await enterKeys(t.keys);
    await click('#run');
    const [cls, text] = await until('a result', async () => {
      const st = await statusOf();
      return st[0] ? st : null;
    });
    assert.equal(cls, 'error', `${t.name}: ${text}`);
    assert.match(text, /^A character of a key or of the text is not in the chosen code page: /, t.name);
    assert.ok(text.includes(`${t.what} has a character at position ${t.c.position},`), `${t.name}: ${text}`);
    if (t.c.holder !== null) assert.ok(text.includes(`code page ${t.c.holder} has it`), `${t.name}: ${text}`);
    for (const ch of t.c.key) if (ch.codePointAt(0) >= 0x80) assert.ok(!text.includes(ch), `${t.name}: names it`);
    assert.equal(await s(`/element/${await find('#download')}/displayed`), false, `${t.name}: a download is offered`);
    assert.equal(await s(`/element/${await find('#output')}/displayed`), false, `${t.name}: a result is shown`);
  }
});

test('pasted text that is not ciphertext hex is refused by the library rule, naming the position', async () => {
  for (const c of shared.hex.filter((h) => 'error_position' in h && h.error_position <= h.text.length && h.text.trim())) {
    await openPage();
    await run("document.getElementById('pasted').value = arguments[0];", c.text);
    await enterKeys(['k']);
    await click('#run');
    const [cls, text] = await until('a result', async () => {
      const st = await statusOf();
      return st[0] ? st : null;
    });
    assert.equal(cls, 'error', `${JSON.stringify(c.text)}: ${text}`);
    assert.match(text, /^The pasted text is not hexadecimal ciphertext/, JSON.stringify(c.text));
    assert.ok(text.includes(`position ${c.error_position}`), `${JSON.stringify(c.text)}: ${text}`);
  }
});

test('encrypting refuses an empty key unless "No key" is ticked, and asks for each key twice', async () => {
  const cases = [
    ['an empty key', [''], [''], false, /^Enter the key/],
    ['an empty second key', ['k', ''], ['k', ''], false, /^Key 2 is empty/],
    ['a repetition that differs', ['secret'], ['secreT'], false, /^Key 1 and its repetition differ/],
    ['"No key" with a key entered', ['k'], ['k'], true, /^"No key" is ticked, but a key is entered/],
    ['the key twice', ['secret', 'more'], ['secret', 'more'], false, null],
    ['"No key" ticked', [''], [''], true, null],
  ];
  for (const [name, keys, repeats, noKey, refusal] of cases) {
    await openPage();
    await click('input[name=mode][value=encrypt]');
    await type('#pasted', 'Grüße');
    await enterKeys(keys, repeats);
    if (noKey) await click('#no-key');
    await click('#run');
    const [cls, text] = await result();
    if (refusal) {
      assert.equal(cls, 'error', `${name}: ${text}`);
      assert.match(text, refusal, name);
      assert.equal(await s(`/element/${await find('#output')}/displayed`), false, `${name}: a result is shown`);
      continue;
    }
    assert.equal(cls, 'ok', `${name}: ${text}`);
    const hex = await run("return document.getElementById('output').value;");
    const plain = fromHex(hex.replace(/\s/g, ''));
    // Read back here by the package, under exactly the keys entered.
    const { load } = await import('../../js/src/index.mjs');
    const pkg = await load();
    const [r] = pkg.decryptValues([plain], { keys: [keys.filter((k) => k !== '')], form: 'bytes' });
    assert.ok(r.ok, `${name}: ${r.error}`);
    assert.equal(r.value, 'Grüße', name);
  }
});

test('a key field can be removed; the rest are numbered again', async () => {
  await openPage();
  assert.equal(await s(`/element/${await find('button.remove-key')}/displayed`), false, 'the only key can be removed');
  await enterKeys(['first', 'wrong', 'second']);
  const removes = await s('/elements', { using: 'css selector', value: 'button.remove-key' });
  await s(`/element/${removes[1][ELEMENT]}/click`, {});
  assert.deepEqual(await run("return [...document.querySelectorAll('input.key')].map((k) => k.value);"), ['first', 'second']);
  assert.deepEqual(await run("return [...document.querySelectorAll('#keys li > label:first-child')].map((l) => l.firstChild.textContent.trim());"),
    ['Key 1', 'Key 2']);
});

test('a long run can be cancelled, and nothing is offered', async () => {
  const file = join(scratch, 'large.cls');
  const { load } = await import('../../js/src/index.mjs');
  const pkg = await load();
  writeFileSync(file, pkg.encrypt(new Uint8Array(256 * 1024 * 1024), { keys: ['k'] }));
  await openPage();
  await type('#file', file);
  await enterKeys(['k']);
  // The button looks disabled while it is.
  const opacity = () => run("return getComputedStyle(document.getElementById('cancel')).opacity;");
  assert.ok(Number(await opacity()) < 0.6, 'the disabled Cancel looks enabled');
  // Pressed from inside the page as soon as the run is under way (a
  // WebDriver round trip could come after the end).
  await run(`const cancel = document.getElementById('cancel');
    const bar = document.getElementById('progress');
    const poll = setInterval(() => {
      if (bar.value > 0 && !cancel.disabled) {
        clearInterval(poll);
        window.__pressed = [getComputedStyle(cancel).opacity, bar.value];
        cancel.click();
      }
    }, 1);`);
  await click('#run');
  const [look, at] = await until('the Cancel button pressed', () => run('return window.__pressed;'), 60000);
  assert.equal(look, '1', 'the enabled Cancel looks disabled');
  assert.ok(at < 100, `pressed at ${at} %`);
  const [cls, text] = await result();
  assert.deepEqual([cls, text], ['error', 'Cancelled: nothing was written.']);
  assert.ok((await run("return document.getElementById('progress').value;")) < 100, 'it ran to the end');
  assert.equal(await s(`/element/${await find('#download')}/displayed`), false);
  rmSync(file);
});

test('loading breaks none of the page\'s own Content-Security-Policy', async () => {
  await openPage();
  await sleep(300);
  assert.deepEqual(await run('return window.__violations;'), []);
});

test('at 320 px nothing scrolls sideways', async () => {
  await s('/goog/cdp/execute', {
    cmd: 'Emulation.setDeviceMetricsOverride',
    params: { width: 320, height: 700, deviceScaleFactor: 1, mobile: true },
  });
  try {
    await openPage();
    await click('#add-key');
    await click('input[name=mode][value=encrypt]');
    const widths = await run(`return [document.documentElement.scrollWidth, document.documentElement.clientWidth,
      ...[...document.querySelectorAll('fieldset')].map((f) => Math.ceil(f.getBoundingClientRect().right))];`);
    const [scroll, client, ...rights] = widths;
    assert.ok(scroll <= client, `the page is ${scroll} px wide at ${client} px`);
    for (const r of rights) assert.ok(r <= client, `a fieldset ends at ${r} px`);
  } finally {
    await s('/goog/cdp/execute', { cmd: 'Emulation.clearDeviceMetricsOverride', params: {} });
  }
});

test('opened from file://, the page says it must be served and offers no button', async () => {
  await s('/url', { url: new URL('../index.html', import.meta.url).href });
  const [cls, text] = await result();
  assert.equal(cls, 'error');
  assert.match(text, /cannot work when opened as a file/);
  assert.equal(await run("return document.getElementById('run').disabled;"), true);
});
