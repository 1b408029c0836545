// The page: everything runs in this tab, through the clscrypt package.
import { load } from './clscrypt/src/index.mjs';

const $ = (id) => document.getElementById(id);
const form = $('form');
const fileInput = $('file');
const drop = $('drop');
const pasted = $('pasted');
const progress = $('progress');
const status = $('status');
const download = $('download');
const output = $('output');
const outputLabel = $('output-label');
const runButton = $('run');

let chosen = null; // the File to work on, if any
let downloadUrl = null;

const mode = () => form.querySelector('input[name=mode]:checked').value;

function say(text, kind = '') {
  status.textContent = text;
  status.className = kind;
}

function choose(file) {
  chosen = file ?? null;
  $('file-name').textContent = chosen ? `Chosen: ${chosen.name} (${chosen.size.toLocaleString()} bytes)` : '';
  if (chosen) pasted.value = '';
}

function clearResult() {
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = null;
  download.hidden = true;
  download.removeAttribute('href');
  output.hidden = true;
  outputLabel.hidden = true;
  output.value = '';
  progress.value = 0;
}

function offer(blob, name) {
  downloadUrl = URL.createObjectURL(blob);
  download.href = downloadUrl;
  download.download = name;
  download.textContent = `Download ${name}`;
  download.hidden = false;
}

function show(text) {
  output.value = text;
  output.hidden = false;
  outputLabel.hidden = false;
}

// A failure the page has already put into words.
class Explained extends Error {}

// The library's message without the legacy description before it.
function detail(e) {
  const prefix = `${e.description}: `;
  return e.message.startsWith(prefix) ? e.message.slice(prefix.length) : e.message;
}

// What a failure means to the person using the page.
function explain(e) {
  if (e instanceof Explained) return e.message;
  if (e && e.kind === 'WrongKeyOrDamaged') {
    return 'Wrong key: the data does not decrypt with the key(s) given. Check the key, the order of the keys and the ' +
      'code page; or the data is damaged or was not encrypted in this format. There is nothing to download.';
  }
  // The library refuses keys and texts the code page cannot carry (it never
  // turns them into "?" here); its message names the position, never the
  // character.
  if (e && e.kind === 'Unmappable') {
    return `A character of a key or of the text is not in the chosen code page: ${detail(e)}. ` +
      'Pick the code page the data was written with.';
  }
  if (e && e.kind === 'Overflow') return 'The data is too large for this format (2 GiB at most).';
  return `It did not work: ${e && e.message ? e.message : e}`;
}

function outputName(name, decrypting) {
  if (!decrypting) return `${name}.cls`;
  return /\.cls$/i.test(name) ? name.slice(0, -4) : `${name}.decrypted`;
}

async function run(cls) {
  clearResult();
  const decrypting = mode() === 'decrypt';
  const keys = [...document.querySelectorAll('input.key')].map((k) => k.value).filter((k) => k !== '');
  const codepage = Number($('codepage').value);
  const text = pasted.value;
  if (!chosen && text.trim() === '') {
    say('Choose a file or paste text first.', 'error');
    return;
  }
  runButton.disabled = true;
  say(decrypting ? 'Decrypting…' : 'Encrypting…');
  const cipher = new cls.clsToString({ codepage });
  try {
    if (chosen) {
      for (const k of keys) cipher.Key = k; // refuses what the code page lacks (kind Unmappable)
      cipher.Progress.subscribe((p) => {
        progress.value = p;
      });
      const pieces = [];
      const options = { onChunk: (b) => pieces.push(b) };
      if (decrypting) await cipher.decryptLarge(chosen, options);
      else await cipher.encryptLarge(chosen, options);
      const result = new Blob(pieces, { type: 'application/octet-stream' });
      offer(result, outputName(chosen.name, decrypting));
      say(`${decrypting ? 'Decrypted' : 'Encrypted'}: ${result.size.toLocaleString()} bytes, ready to download.`, 'ok');
    } else {
      const options = { keys: [keys], codepage, plain: 'text' };
      let r;
      if (decrypting) {
        // Pasted ciphertext hex is read by the library's one rule.
        let bytes;
        try {
          bytes = cls.readHex(text);
        } catch (e) {
          if (e.kind !== 'InvalidArgument') throw e;
          throw new Explained(`The pasted text is not hexadecimal ciphertext (pairs of the digits 0-9 and A-F): ${detail(e)}.`);
        }
        [r] = cls.decryptValues([bytes], { ...options, form: 'bytes' });
      } else {
        [r] = cls.encryptValues([text], { ...options, form: 'hex' });
      }
      if (!r.ok) throw r.error;
      progress.value = 100;
      show(r.value);
      offer(new Blob([r.value], { type: 'text/plain;charset=utf-8' }), decrypting ? 'decrypted.txt' : 'encrypted.txt');
      say(decrypting ? 'Decrypted: the text is shown below.' : 'Encrypted: the hexadecimal ciphertext is shown below.', 'ok');
    }
  } catch (e) {
    clearResult();
    say(explain(e), 'error');
  } finally {
    cipher.dispose();
    runButton.disabled = false;
  }
}

async function main() {
  let cls;
  try {
    cls = await load();
  } catch (e) {
    say(`This browser cannot run the page: ${e.message}`, 'error');
    return;
  }
  fileInput.addEventListener('change', () => choose(fileInput.files[0]));
  drop.addEventListener('dragover', (e) => {
    e.preventDefault();
    drop.classList.add('over');
  });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    if (e.dataTransfer.files.length) choose(e.dataTransfer.files[0]);
  });
  pasted.addEventListener('input', () => {
    if (pasted.value !== '') {
      fileInput.value = '';
      choose(null);
    }
  });
  for (const radio of form.querySelectorAll('input[name=mode]')) {
    radio.addEventListener('change', () => {
      runButton.textContent = mode() === 'decrypt' ? 'Decrypt' : 'Encrypt';
    });
  }
  $('add-key').addEventListener('click', () => {
    const list = $('keys');
    const item = document.createElement('li');
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = $('show-keys').checked ? 'text' : 'password';
    input.className = 'key';
    input.autocomplete = 'off';
    label.append(`Key ${list.children.length + 1} `, input);
    item.append(label);
    list.append(item);
    input.focus();
  });
  $('show-keys').addEventListener('change', (e) => {
    for (const k of document.querySelectorAll('input.key')) k.type = e.target.checked ? 'text' : 'password';
  });
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    run(cls);
  });
  document.body.dataset.ready = 'true';
}

main();
