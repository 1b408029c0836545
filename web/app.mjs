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

// The keys entered, checked: an empty field is refused (a page that
// encrypted with no key would write data anyone can read) unless "No key"
// is ticked; encrypting, each key must match its repetition.
function enteredKeys(encrypting) {
  const fields = [...document.querySelectorAll('#keys li')];
  const keys = fields.map((li) => li.querySelector('input.key').value);
  if ($('no-key').checked) {
    if (keys.some((k) => k !== '')) throw new Explained('"No key" is ticked, but a key is entered: clear one or the other.');
    return [];
  }
  const empty = keys.findIndex((k) => k === '');
  if (empty >= 0) {
    throw new Explained(keys.length === 1
      ? 'Enter the key. (For legacy data written without a key, tick "No key".)'
      : `Key ${empty + 1} is empty: fill it in or remove it.`);
  }
  if (encrypting) {
    const differs = fields.findIndex((li) => li.querySelector('input.key').value !== li.querySelector('input.key-repeat').value);
    if (differs >= 0) throw new Explained(`Key ${differs + 1} and its repetition differ: type both again.`);
  }
  return keys;
}

let running = null; // the AbortController of the run under way

async function run(cls) {
  clearResult();
  const decrypting = mode() === 'decrypt';
  const codepage = Number($('codepage').value);
  const text = pasted.value;
  if (!chosen && text.trim() === '') {
    say('Choose a file or paste text first.', 'error');
    return;
  }
  let keys;
  try {
    keys = enteredKeys(!decrypting);
  } catch (e) {
    say(explain(e), 'error');
    return;
  }
  const controller = new AbortController();
  running = controller;
  runButton.disabled = true;
  $('cancel').disabled = false;
  say(decrypting ? 'Decrypting…' : 'Encrypting…');
  try {
    if (chosen) {
      // The file in pieces through the package's stream: bounded memory,
      // progress as the pieces are read, and a Cancel that stops it.
      const size = chosen.size;
      let read = 0;
      // Each piece waits for a turn of the event loop: the pipe would
      // otherwise run on promise callbacks alone, and neither the progress
      // bar nor the Cancel button would get a turn until the end.
      const counting = new TransformStream({
        async transform(piece, c) {
          read += piece.length;
          progress.value = size ? Math.floor((100 * read) / size) : 100;
          await new Promise((turn) => setTimeout(turn, 0));
          c.enqueue(piece);
        },
      });
      const options = { keys, codepage, length: size, signal: controller.signal };
      const convert = decrypting ? cls.decryptStream(options) : cls.encryptStream(options);
      const pieces = [];
      const out = chosen.stream().pipeThrough(counting).pipeThrough(convert, { signal: controller.signal });
      for await (const piece of out) pieces.push(piece);
      progress.value = 100;
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
    say(controller.signal.aborted ? 'Cancelled: nothing was written.' : explain(e), 'error');
  } finally {
    running = null;
    runButton.disabled = false;
    $('cancel').disabled = true;
  }
}

// Key fields: each with a Remove button (while more than one is left) and,
// when encrypting, a field to type it again.
function addKeyField() {
  const list = $('keys');
  const item = document.createElement('li');
  const field = (cls, text) => {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = $('show-keys').checked ? 'text' : 'password';
    input.className = cls;
    input.autocomplete = 'off';
    label.append(text, input);
    return label;
  };
  const repeat = field('key-repeat', 'Repeat key ');
  repeat.classList.add('repeat');
  const remove = document.createElement('button');
  remove.type = 'button';
  remove.className = 'remove-key';
  remove.textContent = 'Remove';
  remove.addEventListener('click', () => {
    item.remove();
    renumberKeys();
    $('keys').querySelector('input.key')?.focus();
  });
  item.append(field('key', 'Key '), repeat, remove);
  list.append(item);
  renumberKeys();
  return item;
}
function renumberKeys() {
  const items = [...$('keys').children];
  const encrypting = mode() === 'encrypt';
  items.forEach((li, i) => {
    li.querySelector('label').firstChild.textContent = `Key ${i + 1} `;
    li.querySelector('label.repeat').firstChild.textContent = `Repeat key ${i + 1} `;
    li.querySelector('label.repeat').hidden = !encrypting;
    li.querySelector('button.remove-key').hidden = items.length === 1;
    li.querySelector('button.remove-key').setAttribute('aria-label', `Remove key ${i + 1}`);
  });
}

async function main() {
  // The module started: boot.js reports a page whose module did not.
  document.body.dataset.started = 'true';
  addKeyField();
  let cls;
  try {
    cls = await load();
  } catch (e) {
    say(`This browser cannot run the page: ${e.message}`, 'error');
    runButton.disabled = true;
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
      renumberKeys();
    });
  }
  $('add-key').addEventListener('click', () => addKeyField().querySelector('input.key').focus());
  $('show-keys').addEventListener('change', (e) => {
    for (const k of document.querySelectorAll('input.key, input.key-repeat')) k.type = e.target.checked ? 'text' : 'password';
  });
  $('cancel').addEventListener('click', () => running?.abort());
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    run(cls);
  });
  document.body.dataset.ready = 'true';
}

main();
