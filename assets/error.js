// The error page: says why the chat cannot be shown, and goes back to it as soon as the
// service answers again.
//
// Reachability is probed with an image: REMOTE/favicon.ico with a cache-busting query. It
// loads when the service answers, errors when it does not; a probe that does neither within
// 7 seconds counts as failed, and whatever settles it first wins. The Try again button runs
// one probe at a time. For network and server trouble the page also retries by itself: every
// 8 seconds one attempt is counted, and every odd attempt probes (so in effect every
// 16 seconds), while no probe of the button is running and the page is visible.
//
// config.js, served by the program, gives the chat's origin (REMOTE), the public website and
// the time scale of test runs, which speeds up the page's own retry ticks but not the probe's
// limit: that waits on the network, which no test clock makes faster. The fragment only ever
// selects one of four known reasons; its text is never put into the page.
(function () {
  'use strict';

  var config = window.kavorPages || {};
  var speedup = Math.max(1, Number(config.speedup) || 1);
  var PROBE_LIMIT_MS = 7000;
  var RETRY_EVERY_MS = 8000 / speedup;

  function webAddress(text) {
    return typeof text === 'string' && /^https?:\/\//i.test(text) ? text : null;
  }
  var REMOTE = webAddress(config.remote);
  var WEBSITE = webAddress(config.website);

  var REASONS = {
    offline: { fa: 'شبکه', en: 'NETWORK', code: 'KAVOR-NET-01', retries: true },
    server: { fa: 'سرور', en: 'SERVER', code: 'KAVOR-SRV-02', retries: true },
    memory: { fa: 'حافظه', en: 'MEMORY', code: 'KAVOR-MEM-03', retries: false },
    crash: { fa: 'صفحه', en: 'PAGE', code: 'KAVOR-UI-04', retries: false }
  };
  var MESSAGES = {
    checking: ['داریم اتصال را بررسی میکنیم…', 'Checking the connection…'],
    online: ['اتصال برقرار است. در حال باز کردن دستیار زبان کاور…', 'Connected. Opening Kavor Agent…'],
    offline: ['هنوز اتصالی نداریم؛ خودمان دوباره تلاش میکنیم.', 'Still offline; we keep trying by ourselves.'],
    failed: ['باز کردن صفحه ناموفق بود. یک بار دیگر تلاش کنید.', 'Could not open the page. Please try once more.'],
    wait: ['تا دوباره وصل شویم صبر کنید.', 'Please wait while we reconnect.']
  };

  function byId(id) {
    return document.getElementById(id);
  }

  // 1. The reason.
  var name = location.hash.replace(/^#/, '');
  if (!Object.prototype.hasOwnProperty.call(REASONS, name)) name = 'crash';
  var reason = REASONS[name];
  document.documentElement.setAttribute('data-reason', name);

  // 2. Badge and event code.
  byId('badge-fa').textContent = reason.fa;
  byId('badge-en').textContent = reason.en;
  byId('code-fa').textContent = reason.code;
  byId('code-en').textContent = reason.code;
  var website = byId('website');
  if (WEBSITE) {
    website.href = WEBSITE;
    website.hidden = false;
  }

  function say(key) {
    var pair = Object.prototype.hasOwnProperty.call(MESSAGES, key) ? MESSAGES[key] : MESSAGES.offline;
    byId('status-fa').textContent = pair[0];
    byId('status-en').textContent = pair[1];
  }

  // 3. Reachability probe; `done` is called once, with true when the service answered.
  function probe(done) {
    var settled = false;
    var image = new Image();
    var timer = setTimeout(function () { settle(false); }, PROBE_LIMIT_MS);
    function settle(ok) {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      image.onload = image.onerror = null;
      done(ok);
    }
    image.onload = function () { settle(true); };
    image.onerror = function () { settle(false); };
    if (!REMOTE) {
      settle(false);
      return;
    }
    image.src = REMOTE + 'favicon.ico?ping=' + Date.now();
  }

  var button = byId('retry');
  var busy = false;
  var attempts = 0;
  var ticker = null;

  function setBusy(on) {
    busy = on;
    button.disabled = on;
    button.setAttribute('aria-busy', on ? 'true' : 'false');
  }
  function openRemote() {
    say('online');
    location.replace(REMOTE);
  }

  // 4. The button.
  button.addEventListener('click', function () {
    if (busy) return;
    setBusy(true);
    say('checking');
    probe(function (ok) {
      if (ok) {
        openRemote();
      } else {
        setBusy(false);
        say('offline');
      }
    });
  });

  // 5. Retrying by itself, for network and server trouble only.
  if (reason.retries) {
    say('wait');
    ticker = setInterval(function () {
      if (busy || document.hidden) return;
      attempts += 1;
      if (attempts % 2 === 0) return;
      probe(function (ok) {
        if (!ok || busy) return;
        clearInterval(ticker);
        setBusy(true);
        openRemote();
      });
    }, RETRY_EVERY_MS);
  }

  // The program moves the window from one reason to another by changing the fragment alone,
  // which keeps this document: start afresh for the new reason.
  window.addEventListener('hashchange', function () {
    location.reload();
  });

  // For tests and support: what the page is doing.
  window.kavorErrorPage = {
    reason: name,
    attempts: function () { return attempts; },
    busy: function () { return busy; }
  };
})();
