// The test page's script: the published framework API package, used the way the chat web
// application uses it, plus a small record of outcomes that the window tests read back with
// runJavaScript (which cannot wait for promises itself).
import { invoke, isTauri } from '@tauri-apps/api/core';
import { listen, once } from '@tauri-apps/api/event';

const outcomes = {};
const settled = [];
const received = {};

// Runs `start` and records how its promise settled, as JSON text under `key`.
function track(key, start) {
  outcomes[key] = null;
  let promise;
  try {
    promise = Promise.resolve(start());
  } catch (error) {
    promise = Promise.reject(error);
  }
  promise.then(
    (value) => {
      outcomes[key] = JSON.stringify({ ok: true, value: value === undefined ? null : value });
      settled.push(key);
    },
    (error) => {
      outcomes[key] = JSON.stringify({ ok: false, error: String(error) });
      settled.push(key);
    },
  );
}

function outcome(key) {
  return outcomes[key] || '';
}

// The keys of the settled calls, in the order they settled.
function order() {
  return settled.join(' ');
}

// Records every event a listener receives under `key`.
function record(key) {
  received[key] = received[key] || [];
  return (event) => received[key].push(event);
}

function events(key) {
  return JSON.stringify(received[key] || []);
}

window.bridgeTest = {
  invoke, isTauri, listen, once, track, outcome, order, record, events,
};
