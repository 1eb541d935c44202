// The local service's chat application. It reaches the agent only through the page interface
// the agent's window offers (window.__TAURI_INTERNALS__) and its own service through fetch.
'use strict';

const agent = window.__TAURI_INTERNALS__;
const $ = (id) => document.getElementById(id);

// Characters that make a text read otherwise than it is: controls other than tab and line feed
// (a carriage return that does not end a line, or an escape sequence, overwrites what came
// before), the direction marks, embeddings, overrides and isolates (a command could show one
// name and run another), the line and paragraph separators. Every text from the agent or the
// service is shown with each of them as a visible <U+XXXX>, as the agent shows them in what it
// writes.
const HIDING = /\r(?!\n)|[\u0000-\u0008\u000B\u000C\u000E-\u001F\u007F-\u009F\u061C\u200E\u200F\u2028-\u202E\u2066-\u2069]/g;
const visible = (text) => String(text).replace(HIDING,
  (c) => `<U+${c.charCodeAt(0).toString(16).toUpperCase().padStart(4, '0')}>`);

const el = (tag, cls, text) => {
  const node = document.createElement(tag);
  if (cls) node.className = cls;
  if (text !== undefined) node.textContent = visible(text);
  return node;
};

const state = {
  token: '',
  info: null,
  chats: JSON.parse(localStorage.getItem('chats') || '[]'),
  current: null,
  messages: new Map(), // chat -> messages from the service
  calls: new Map(), // call id -> last agent://call payload
  callMessage: new Map(), // call id -> the assistant message it answers (told by the service)
  working: new Map(), // chat -> assistant message id still working
  reads: new Map(), // chat -> number of the last read of its messages started
  following: new Set(), // chats whose open reply is being read until it is done
  openIndex: '',
};

// ---- talking to the agent ----

function notice(text) {
  const box = $('notice');
  box.textContent = visible(text);
  box.hidden = !text;
  clearTimeout(notice.timer);
  if (text) notice.timer = setTimeout(() => { box.hidden = true; }, 8000);
}

// Calls a command; a refusal is shown as it is ("not available" included) and passed on.
async function call(name, args = {}) {
  try {
    return await agent.invoke(name, args);
  } catch (error) {
    notice(`${name}: ${error}`);
    throw error;
  }
}

function listen(event, handler) {
  const id = agent.transformCallback((message) => handler(message.payload));
  return agent.invoke('plugin:event|listen', { event, target: { kind: 'Any' }, handler: id });
}

// ---- the service ----

async function service(path, options = {}) {
  const response = await fetch(path, {
    ...options,
    headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${state.token}` },
  });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.message || `The service answered ${response.status}.`);
  return body;
}

// ---- link and connection ----

function showInfo(info) {
  state.info = info;
  const badge = $('connection');
  if (!info.device) {
    badge.textContent = 'Not linked';
    badge.className = 'badge off';
  } else if (info.connected) {
    badge.textContent = visible(`Connected as ${info.device.name}`);
    badge.className = 'badge on';
  } else {
    badge.textContent = 'Offline';
    badge.className = 'badge lost';
  }
  $('link').hidden = !!info.device;
  $('unlink').hidden = !info.device;
  $('about').textContent =
    visible(`Kavor Agent ${info.version} on ${info.os_version || info.os} (${info.arch})`);
}

const refreshInfo = () => call('agent_info').then(showInfo, () => {});

// ---- chats ----

function saveChats() {
  localStorage.setItem('chats', JSON.stringify(state.chats));
}

function currentChat() {
  return state.chats.find((c) => c.id === state.current);
}

function newChat() {
  const id = `chat-${Date.now().toString(36)}${Math.random().toString(36).slice(2, 6)}`;
  const chat = { id, title: `Chat ${state.chats.length + 1}`, workspace: '', mode: 'ask' };
  state.chats.push(chat);
  saveChats();
  selectChat(id);
}

function renderChats() {
  const list = $('chats');
  list.replaceChildren();
  for (const chat of state.chats) {
    const item = el('li', chat.id === state.current ? 'current' : '', chat.title);
    item.onclick = () => selectChat(chat.id);
    list.append(item);
  }
}

async function selectChat(id) {
  state.current = id;
  const chat = currentChat();
  renderChats();
  $('mode').value = chat.mode;
  showWorkspace(chat);
  // The agent keeps modes in memory: tell it again after every start.
  call('agent_set_mode', { chat: chat.id, mode: chat.mode }).catch(() => {});
  await loadMessages(id);
}

async function showWorkspace(chat) {
  $('workspace-path').textContent = visible(chat.workspace || 'none chosen');
  $('workspace-status').textContent = '';
  $('project').textContent = '';
  if (!chat.workspace) return;
  const status = await call('agent_path_status', { path: chat.workspace }).catch(() => '');
  const words = { ok: 'ready', missing: 'missing', not_folder: 'not a folder', invalid: 'invalid' };
  $('workspace-status').textContent = visible(words[status] || status);
  if (status !== 'ok') return;
  openIndex(chat.workspace);
  call('agent_project_context', { workspace: chat.workspace }).then(
    (context) => { $('project').textContent = visible(projectText(context)); },
    () => {});
}

function projectText(context) {
  if (!context || typeof context !== 'object') return '';
  const notes = Array.isArray(context.memories) ? context.memories.length : null;
  return notes === null ? '' : `Project memory: ${notes} note${notes === 1 ? '' : 's'}.`;
}

async function pickWorkspace() {
  const chat = currentChat();
  const folder = await call('agent_pick_folder').catch(() => null);
  if (!folder) return;
  chat.workspace = folder;
  saveChats();
  showWorkspace(chat);
}

// ---- messages and calls ----

// Several reads of one chat may be under way at once (the follower, a call's event, a send), and
// their answers may arrive in any order: only the answer of the read started last is shown, so an
// older view never replaces a newer one. A read that fails leaves what is shown as it was and tells
// the follower to try again while a reply is still open.
async function loadMessages(chatId) {
  const asked = (state.reads.get(chatId) || 0) + 1;
  state.reads.set(chatId, asked);
  let chat;
  let placed;
  try {
    chat = await service(`/chats/${chatId}`);
    placed = await service(`/api/chats/${chatId}/calls`);
  } catch {
    if (!state.messages.has(chatId)) state.messages.set(chatId, []);
    if (chatId === state.current) renderMessages();
    return state.working.has(chatId);
  }
  const open = (chat.messages || []).find((m) => m.role === 'assistant' && m.status === 'pending');
  if (state.reads.get(chatId) !== asked) return !!open;
  for (const [id, mid] of Object.entries(placed)) state.callMessage.set(id, mid);
  state.messages.set(chatId, chat.messages || []);
  if (open) state.working.set(chatId, open.id);
  else state.working.delete(chatId);
  if (chatId === state.current) renderMessages();
  if (open) follow(chatId);
  return !!open;
}

function renderMessages() {
  const box = $('messages');
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 20;
  box.replaceChildren();
  const messages = state.messages.get(state.current) || [];
  if (!messages.length) {
    box.append(el('div', 'message', 'Link this computer, choose a workspace folder, then ask ' +
      'something. Try /help, or "/edit notes.txt old => new".'));
  }
  for (const message of messages) {
    const node = el('div', `message ${message.role} ${message.status || ''}`);
    node.dataset.mid = message.id;
    node.append(el('div', 'who', message.role === 'user' ? 'You' : 'Assistant'));
    if (message.role === 'assistant') {
      for (const [id, mid] of state.callMessage) {
        if (mid === message.id && state.calls.get(id)?.chat === state.current) {
          node.append(callCard(state.calls.get(id)));
        }
      }
    }
    node.append(el('div', 'body', message.body));
    box.append(node);
  }
  if (atEnd) box.scrollTop = box.scrollHeight;
  $('send').disabled = !!state.working.get(state.current);
}

function diffView(text) {
  const pre = el('pre', 'diff');
  for (const line of text.split('\n')) {
    const cls = line.startsWith('@@') ? 'hunk' : line.startsWith('+') ? 'add'
      : line.startsWith('-') ? 'del' : '';
    pre.append(el('span', cls, `${line}\n`));
  }
  return pre;
}

// Shown on the card of a command the workspace fence cannot hold (a docker call, a command in a
// virtual machine): the user's answer is all that stands between it and the machine.
const UNFENCED_NOTE =
  'This runs outside the workspace fence: the fence does not reach the docker daemon or a virtual machine, so the command can change anything on this computer.';

function callCard(info) {
  const card = el('div', 'call');
  card.dataset.callId = info.call_id;
  const head = el('div', 'head');
  head.append(el('span', 'tool', info.tool), el('span', 'summary', info.summary),
    el('span', `state ${info.state}`, info.state));
  card.append(head);
  const flags = [];
  if (info.outside) flags.push('touches something outside the workspace');
  if (info.memory) flags.push('changes the project memory');
  if (info.cwd && info.cwd !== '.') flags.push(`in ${info.cwd}`);
  if (flags.length) card.append(el('div', 'flags', ` ${flags.join(' · ')}`));
  // Why the agent asks: the reason it gives for a call outside the workspace, after the flags.
  if (info.outside && info.reason) card.append(el('div', 'reason', info.reason));
  if (info.unfenced) card.append(el('div', 'unfenced', UNFENCED_NOTE));
  if (info.detail) {
    card.append(info.lang === 'diff' ? diffView(info.detail) : el('pre', 'detail', info.detail));
  }
  if (info.live || info.output) card.append(el('pre', 'output', info.output || info.live));
  if (info.image_data) {
    const img = el('img');
    img.src = `data:${info.image_mime || 'image/png'};base64,${info.image_data}`;
    img.alt = 'screenshot';
    card.append(img);
  }
  const actions = el('div', 'actions');
  if (info.state === 'pending') {
    for (const [answer, label, cls] of [['allow', 'Allow', 'primary'], ['always', 'Always allow', ''],
      ['deny', 'Deny', 'danger']]) {
      const button = el('button', `${answer} ${cls}`, label);
      button.onclick = () => decide(info.call_id, answer);
      actions.append(button);
    }
  } else if (info.state === 'running') {
    const button = el('button', 'stop danger', 'Stop');
    button.onclick = () => call('agent_stop', { callId: info.call_id }).catch(() => {});
    actions.append(button);
  }
  if (actions.childElementCount) card.append(actions);
  return card;
}

async function decide(callId, answer) {
  await call('agent_decide', { callId, answer }).catch(() => {});
  refreshPending();
}

function onCall(info) {
  const previous = state.calls.get(info.call_id) || {};
  state.calls.set(info.call_id, { ...previous, ...info, live: previous.live || '' });
  // The service knows which message a call answers; a new call is asked about.
  if (!state.callMessage.has(info.call_id)) loadMessages(info.chat);
  else if (info.chat === state.current) renderMessages();
  refreshPending();
}

function onOutput(event) {
  const info = state.calls.get(event.call_id);
  if (!info) return;
  info.live = (info.live || '') + event.chunk;
  const card = document.querySelector(`.call[data-call-id="${CSS.escape(event.call_id)}"]`);
  if (!card) return;
  let pre = card.querySelector('pre.output');
  if (!pre) {
    pre = el('pre', 'output');
    card.insertBefore(pre, card.querySelector('.actions'));
  }
  pre.textContent = visible(info.live);
  pre.scrollTop = pre.scrollHeight;
}

async function refreshPending() {
  const waiting = await call('agent_pending').catch(() => []);
  const box = $('pending');
  box.replaceChildren();
  if (!waiting.length) {
    box.textContent = 'Nothing is waiting.';
    return;
  }
  for (const info of waiting) {
    const chat = state.chats.find((c) => c.id === info.chat);
    const line = el('div', 'row');
    const go = el('button', '', `${info.tool} ${info.summary}`);
    go.title = visible(chat ? chat.title : info.chat);
    go.onclick = () => selectChat(info.chat);
    line.append(go);
    if (info.outside && info.reason) line.append(el('div', 'reason', info.reason));
    box.append(line);
    // A call pending from before this page was loaded still gets its card.
    if (!state.calls.has(info.call_id)) state.calls.set(info.call_id, { ...info, state: 'pending' });
  }
}

async function send(event) {
  event.preventDefault();
  const chat = currentChat();
  const text = $('text').value.trim();
  if (!text) return;
  $('send').disabled = true;
  try {
    const sent = await service(`/api/chats/${chat.id}/messages`, {
      method: 'POST',
      body: JSON.stringify({ text, workspace: chat.workspace }),
    });
    $('text').value = '';
    hideMentions();
    state.working.set(chat.id, sent.assistant);
    if (chat.title.startsWith('Chat ')) {
      chat.title = text.slice(0, 40);
      saveChats();
      renderChats();
    }
    // The agent follows the reply while the user is away from the window.
    call('agent_watch_reply', { chat: chat.id, mid: sent.assistant, token: state.token,
      title: chat.title }).catch(() => {});
    follow(chat.id);
  } catch (error) {
    notice(String(error.message || error));
  } finally {
    await loadMessages(chat.id);
  }
}

// Reads the chat until its reply is finished; one follower per chat. Any read that shows an open
// reply starts one, so a reply shown as open is always read again until it is done.
async function follow(chatId) {
  if (state.following.has(chatId)) return;
  state.following.add(chatId);
  try {
    while (await loadMessages(chatId)) await new Promise((r) => setTimeout(r, 700));
  } finally {
    state.following.delete(chatId);
  }
}

// ---- mentions ----

async function openIndex(root) {
  if (state.openIndex === root) return;
  if (state.openIndex) call('ws_index_close', { root: state.openIndex }).catch(() => {});
  state.openIndex = '';
  try {
    await agent.invoke('ws_index_open', { root });
    state.openIndex = root;
  } catch (error) {
    state.indexError = String(error);
  }
}

function mentionQuery() {
  const box = $('text');
  const before = box.value.slice(0, box.selectionStart);
  const match = /(^|\s)@([^\s@]*)$/.exec(before);
  return match ? { query: match[2], start: before.length - match[2].length - 1 } : null;
}

function hideMentions() {
  $('mentions').hidden = true;
}

function highlighted(path, ranges) {
  const line = el('span');
  let at = 0;
  for (const [from, to] of ranges) {
    line.append(visible(path.slice(at, from)), el('mark', '', path.slice(from, to)));
    at = to;
  }
  line.append(visible(path.slice(at)));
  return line;
}

async function updateMentions() {
  const wanted = mentionQuery();
  const chat = currentChat();
  const box = $('mentions');
  if (!wanted || !chat || !chat.workspace) return hideMentions();
  let reply;
  try {
    reply = await agent.invoke('ws_search', { root: chat.workspace, query: wanted.query, limit: 8 });
  } catch (error) {
    box.replaceChildren(el('div', 'info', String(error)));
    box.hidden = false;
    return;
  }
  box.replaceChildren();
  for (const hit of reply.hits) {
    const item = el('div');
    item.append(highlighted(hit.path + (hit.is_dir ? '/' : ''), hit.ranges));
    item.onmousedown = (e) => {
      e.preventDefault();
      pickMention(chat.workspace, wanted, hit.path);
    };
    box.append(item);
  }
  if (reply.indexing) box.append(el('div', 'info', `Indexing… ${reply.count} names so far.`));
  if (!reply.hits.length && !reply.indexing) box.append(el('div', 'info', 'No file matches.'));
  box.hidden = false;
}

function pickMention(root, wanted, path) {
  const box = $('text');
  const end = box.selectionStart;
  box.value = `${box.value.slice(0, wanted.start)}${path} ${box.value.slice(end)}`;
  box.focus();
  hideMentions();
  call('ws_mention_picked', { root, path }).catch(() => {});
}

// ---- notifications and import ----

async function loadPrefs() {
  const prefs = await call('agent_notify_prefs').catch(() => null);
  if (!prefs) return;
  $('pref-enabled').checked = prefs.enabled;
  $('pref-sound').checked = prefs.sound;
  $('pref-preview').checked = prefs.preview;
  $('pref-lang').value = prefs.lang;
}

function savePrefs() {
  const prefs = { enabled: $('pref-enabled').checked, sound: $('pref-sound').checked,
    preview: $('pref-preview').checked, lang: $('pref-lang').value };
  call('agent_set_notify_prefs', { prefs }).catch(() => {});
}

async function importArchive() {
  const path = await call('chatgpt_pick_export').catch(() => null);
  if (!path) return;
  $('import-status').textContent = 'Reading the archive…';
  $('import-progress').hidden = false;
  try {
    const result = await call('chatgpt_import', { path, token: state.token });
    const done = result && result.import ? result.import : result;
    $('import-status').textContent = visible(`Imported: ${JSON.stringify(done)}`);
  } catch (error) {
    $('import-status').textContent = visible(String(error));
  }
}

function onImport(progress) {
  const bar = $('import-progress');
  bar.hidden = false;
  if (progress.total) {
    bar.max = progress.total;
    bar.value = progress.done;
  }
  const kb = Math.round(progress.bytes / 1024);
  $('import-status').textContent = visible(progress.total
    ? `${progress.phase}: ${progress.done} of ${progress.total} (${kb} KiB)`
    : `${progress.phase} (${kb} KiB)`);
}

// ---- start ----

async function start() {
  if (!agent) {
    notice('Open this page in Kavor Agent to link a computer.');
    return;
  }
  state.token = (await service('/api/session')).token;

  $('link').onclick = () => call('agent_link', { token: state.token }).then(showInfo, () => {});
  $('unlink').onclick = () => call('agent_unlink', { token: state.token }).then(showInfo, () => {});
  $('new-chat').onclick = newChat;
  $('pick-workspace').onclick = pickWorkspace;
  $('mode').onchange = () => {
    const chat = currentChat();
    chat.mode = $('mode').value;
    saveChats();
    call('agent_set_mode', { chat: chat.id, mode: chat.mode }).catch(() => {});
  };
  $('composer').onsubmit = send;
  $('text').addEventListener('input', updateMentions);
  $('text').addEventListener('blur', () => setTimeout(hideMentions, 150));
  $('text').addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !e.shiftKey && $('mentions').hidden) send(e);
    if (e.key === 'Escape') hideMentions();
  });
  for (const id of ['pref-enabled', 'pref-sound', 'pref-preview', 'pref-lang']) $(id).onchange = savePrefs;
  $('notify-test').onclick = () => call('agent_notify', { kind: 'test', chat: '', text: 'A test from the chat application.', mid: '' })
    .then((shown) => notice(`Test notification: ${shown}.`), () => {});
  $('import').onclick = importArchive;

  await listen('agent://connection', refreshInfo);
  await listen('agent://device', refreshInfo);
  await listen('agent://call', onCall);
  await listen('agent://output', onOutput);
  await listen('chatgpt-import', onImport);
  await listen('ws-index-updated', () => { if (!$('mentions').hidden) updateMentions(); });

  // The agent's watchdog takes a page that stops saying this for a page that hangs.
  call('agent_alive').catch(() => {});
  setInterval(() => agent.invoke('agent_alive').catch(() => {}), 5000);

  if (!state.chats.length) newChat();
  else selectChat(state.chats[state.chats.length - 1].id);
  refreshInfo();
  refreshPending();
  loadPrefs();
  for (const chat of state.chats) {
    if (state.working.has(chat.id)) follow(chat.id);
  }
}

start().catch((error) => notice(String(error.message || error)));
