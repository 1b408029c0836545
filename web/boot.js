// Runs before the page's module (a classic deferred script) and checks,
// once the document is parsed and every deferred script has run or failed,
// that the module started. Opened from file:// the browser blocks module
// scripts: the page would look normal and do nothing.
'use strict';
document.addEventListener('DOMContentLoaded', function () {
  if (document.body.dataset.started === 'true') return;
  var status = document.getElementById('status');
  status.className = 'error';
  status.textContent = location.protocol === 'file:'
    ? 'This page cannot work when opened as a file: browsers block its module there. Serve it instead ' +
      '(node web/serve.mjs, then open the address it prints) or put it on any web server.'
    : 'The page\u2019s program could not be loaded, so nothing can be decrypted or encrypted here. Reload the page.';
  document.getElementById('run').disabled = true;
});
