// Makes the chat page behave like an application rather than a web page: no text selection
// outside messages and fields, no dragging, no context menu, and none of the browser's
// reload, developer-tool, save, print or history shortcuts. Injected into every frame before
// the page's own scripts run.
(function () {
  'use strict';
  if (window.__kavorLocked) return;
  window.__kavorLocked = true;

  var READABLE = '.msg-body, .bubble';
  var EDITABLE = "input, textarea, select, [contenteditable]:not([contenteditable='false'])";

  var css =
    '*{-webkit-user-select:none;user-select:none;-webkit-user-drag:none;-webkit-touch-callout:none}' +
    '.msg-body,.msg-body *,.bubble,.bubble *,input,textarea,' +
    "[contenteditable]:not([contenteditable='false'])," +
    "[contenteditable]:not([contenteditable='false']) *" +
    '{-webkit-user-select:text;user-select:text}' +
    'img,svg,a{-webkit-user-drag:none}';

  function addStyle() {
    var style = document.createElement('style');
    style.textContent = css;
    document.documentElement.appendChild(style);
  }
  // At document creation the root element may not exist yet.
  if (document.documentElement) {
    addStyle();
  } else {
    var watcher = new MutationObserver(function () {
      if (document.documentElement) {
        watcher.disconnect();
        addStyle();
      }
    });
    watcher.observe(document, { childList: true });
  }

  function within(target, selector) {
    var el = target;
    if (el && el.nodeType === 3) el = el.parentElement;
    if (!el || typeof el.closest !== 'function') return false;
    return el.closest(selector) !== null;
  }

  function cancel(event) {
    event.preventDefault();
    event.stopImmediatePropagation();
  }

  window.addEventListener('contextmenu', cancel, true);
  window.addEventListener('dragstart', cancel, true);
  window.addEventListener('selectstart', function (event) {
    if (!within(event.target, READABLE) && !within(event.target, EDITABLE)) event.preventDefault();
  }, true);

  var SHIFT_KEYS = ['KeyI', 'KeyJ', 'KeyC', 'KeyK', 'KeyR', 'KeyP'];
  var ALT_KEYS = ['KeyI', 'KeyJ', 'KeyC', 'KeyU'];
  var PLAIN_KEYS = ['KeyU', 'KeyS', 'KeyP', 'KeyR', 'KeyG', 'KeyO'];

  function blocked(event) {
    var code = event.code;
    if (code === 'F12' || code === 'F5' || code === 'F7') return true;
    if (event.altKey && (code === 'ArrowLeft' || code === 'ArrowRight' || code === 'Home')) return true;
    if (!event.ctrlKey && !event.metaKey) return false;
    if (code === 'KeyA') return !within(event.target, EDITABLE);
    if (event.shiftKey && SHIFT_KEYS.indexOf(code) >= 0) return true;
    if (event.altKey && ALT_KEYS.indexOf(code) >= 0) return true;
    if (PLAIN_KEYS.indexOf(code) >= 0) return true;
    return false;
  }

  window.addEventListener('keydown', function (event) {
    if (blocked(event)) cancel(event);
  }, true);
  window.addEventListener('keyup', function (event) {
    if (event.code === 'F12') cancel(event);
  }, true);
})();
