// The page interface the chat web application is written against: window.__TAURI_INTERNALS__
// (invoke, transformCallback and the callback table) and the event plug-in's hooks, carried
// over the Qt web channel to the agent. Injected into the main frame at document creation, in
// the page's own world, after the web channel client; the agent calls installPageBridge with
// the page secret and the application URL.
//
// Commands travel as JSON text so that the agent sees exactly what the page sent (whole
// numbers stay whole, keys keep their order). Listening is handled here: the agent sends every
// event once and this script hands it to the listeners of that name.
function installPageBridge(QWebChannel, config) {
  'use strict';

  // Captured before any page script runs, so that later changes to the globals do not matter.
  var URLCtor = window.URL;
  var parseJson = JSON.parse;
  var toJson = JSON.stringify;
  var crypto = window.crypto;
  var location = window.location;
  var schedule = window.setTimeout.bind(window);

  var DENIED = 'This page may not call the agent.';
  // The framework's own rule for event names.
  var EVENT_NAME = /^[A-Za-z0-9\-/:_]+$/;
  // Objects may say how they want to be sent by a method under this key.
  var IPC_KEY = '__TAURI_TO_IPC_KEY__';

  // True when the document's URL is the application URL followed by anything; the agent
  // checks the same again for every call.
  function mayCall(href) {
    var page;
    var app;
    try {
      page = new URLCtor(href);
      app = new URLCtor(config.appUrl);
    } catch (e) {
      return false;
    }
    if (page.protocol !== 'http:' && page.protocol !== 'https:') return false;
    if (page.protocol !== app.protocol || page.hostname !== app.hostname) return false;
    if (page.port !== app.port) return false;
    if (page.username !== app.username || page.password !== app.password) return false;
    var tail = page.pathname + page.search + page.hash;
    return tail.indexOf(app.pathname + app.search + app.hash) === 0;
  }

  if (!mayCall(location.href)) return;
  // Qt gives every main-frame document the transport before its scripts run; taken now, it
  // cannot be swapped for something else later.
  var transport = window.qt && window.qt.webChannelTransport;
  if (!transport || window.__TAURI_INTERNALS__) return;

  function randomId() {
    var word = new Uint32Array(1);
    crypto.getRandomValues(word);
    return word[0];
  }

  function randomText() {
    var words = new Uint32Array(4);
    crypto.getRandomValues(words);
    return Array.prototype.map.call(words, function (w) { return w.toString(16); }).join('-');
  }

  // Callbacks the host side refers to by number.
  var callbacks = new Map();

  function transformCallback(callback, once) {
    var id = randomId();
    while (callbacks.has(id)) id = randomId();
    callbacks.set(id, function (data) {
      if (once) callbacks.delete(id);
      return callback && callback(data);
    });
    return id;
  }

  function unregisterCallback(id) {
    callbacks.delete(id);
  }

  function runCallback(id, data) {
    var callback = callbacks.get(id);
    if (callback) callback(data);
  }

  // Listeners of the event plug-in: event id -> { event, handler (a callback id) }.
  var listeners = new Map();
  var nextEventId = 1;

  function listen(args) {
    if (!args || typeof args.event !== 'string' || !EVENT_NAME.test(args.event)) {
      throw 'The event name ' + toJson(args && args.event) + ' is not valid.';
    }
    if (typeof args.handler !== 'number') throw 'Listening needs a callback.';
    var id = nextEventId++;
    listeners.set(id, { event: args.event, handler: args.handler });
    return id;
  }

  function unlisten(args) {
    var entry = args && listeners.get(args.eventId);
    if (entry && entry.event === args.event) listeners.delete(args.eventId);
    return null;
  }

  function unregisterListener(event, eventId) {
    var entry = listeners.get(eventId);
    if (!entry || entry.event !== event) return;
    listeners.delete(eventId);
    unregisterCallback(entry.handler);
  }

  function deliver(name, payloadText) {
    var targets = [];
    listeners.forEach(function (entry, id) {
      if (entry.event === name) targets.push([id, entry.handler]);
    });
    targets.forEach(function (target) {
      // Each listener gets its own copy, so one cannot change what the next one sees.
      var envelope = { event: name, id: target[0], payload: parseJson(payloadText) };
      try {
        runCallback(target[1], envelope);
      } catch (error) {
        // A failing listener must not keep the event from the others; its error still shows.
        schedule(function () { throw error; });
      }
    });
  }

  // Calls: answers are matched by document and id, so an answer meant for a page that has
  // since been replaced never settles a call of the new one.
  var documentId = randomText();
  var nextCallId = 1;
  var waiting = new Map();
  var queued = [];
  var bridge = null;

  function encode(args) {
    if (args === undefined) return '{}';
    var text = toJson(args, function (key, value) {
      if (value !== null && typeof value === 'object' && typeof value[IPC_KEY] === 'function') {
        return value[IPC_KEY]();
      }
      return value;
    });
    // Not JSON at all (a function, say): the agent refuses it as arguments that are no object.
    return text === undefined ? '' : text;
  }

  function send(call) {
    // The answer comes as a signal; the empty callback stops the channel client from making a
    // promise of its own for the method's empty return value.
    bridge.call(config.secret, documentId, call.id, call.cmd, call.args, function () {});
  }

  function onAnswer(document, id, ok, value) {
    if (document !== documentId) return;
    var call = waiting.get(id);
    if (!call) return;
    waiting.delete(id);
    if (!ok) {
      call.reject(value);
      return;
    }
    var result;
    try {
      result = parseJson(value);
    } catch (e) {
      call.reject('The agent sent an answer that is not JSON.');
      return;
    }
    call.resolve(result);
  }

  // The framework's third argument (request options such as headers) has no meaning here.
  function invoke(cmd, args) {
    return new Promise(function (resolve, reject) {
      if (typeof cmd !== 'string') throw 'The command name must be a string.';
      if (!mayCall(location.href)) throw DENIED;
      if (cmd === 'plugin:event|listen') {
        resolve(listen(args));
        return;
      }
      if (cmd === 'plugin:event|unlisten') {
        resolve(unlisten(args));
        return;
      }
      var call = { id: nextCallId++, cmd: cmd, args: encode(args) };
      waiting.set(call.id, { resolve: resolve, reject: reject });
      // Calls made before the channel is up wait for it.
      if (bridge) send(call);
      else queued.push(call);
    });
  }

  new QWebChannel(transport, function (channel) {
    var object = channel.objects.bridge;
    if (!object) return;
    object.answered.connect(onAnswer);
    object.event_emitted.connect(deliver);
    bridge = object;
    var pending = queued;
    queued = [];
    pending.forEach(send);
  });

  window.__TAURI_INTERNALS__ = {
    invoke: invoke,
    transformCallback: transformCallback,
    unregisterCallback: unregisterCallback,
    runCallback: runCallback,
    callbacks: callbacks,
    metadata: {
      currentWindow: { label: 'main' },
      currentWebview: { windowLabel: 'main', label: 'main' },
    },
  };
  window.__TAURI_EVENT_PLUGIN_INTERNALS__ = { unregisterListener: unregisterListener };
  window.isTauri = true;
}
