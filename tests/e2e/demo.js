// The whole road of a tool call, driven through the agent's window as a person would drive it.
//
// The local service and the agent run as they do for a user, the agent in a private home folder.
// Only for this test the agent's webview listens for a DevTools client on a loopback port
// (QTWEBENGINE_REMOTE_DEBUGGING), and playwright-core attaches to the page the window shows.
// The folder picker is a real dialog of the agent: the test answers it with the keyboard
// (xdotool types the folder's path and presses Enter), so no test-only code is in the agent.
//
// Run 1, mode "ask": link this computer, choose the workspace, ask for an edit; the approval
// shows its diff; allow it; the file changes on disk and the answer shows the result.
// Run 2, mode "readonly": a new chat asks for the same edit; the answer is the refusal and the
// file stays as it is. Then a command with a right-to-left override is shown with the override
// as a visible escape, on its card and in the message.
// Run 3, mode "ask": a new chat asks to run "cd ~ && ls"; the card and the list of waiting calls
// say why it asks (the home folder is outside the workspace); deny it.
//
//   node demo.js --agent build/kavor-agent --service build/kavor-service [--screenshot out.png]
//                [--outside-screenshot out.png]   (the card of run 3)
//                [--measure]   (only start-up time and memory, no runs)
'use strict';

const { chromium } = require('playwright-core');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const PICKER_TITLE = 'پوشهی کاری را انتخاب کنید';
const READONLY_REFUSAL = 'The user set this conversation to read-only, so nothing may be changed or run.';
const OUTSIDE_REASON = "'cd ~' leaves the workspace.";

function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function until(what, check, timeoutMs = 30000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check().catch(() => undefined);
    if (value) return value;
    if (Date.now() > end) throw new Error(`Timed out waiting for ${what}.`);
    await sleep(150);
  }
}

function start(program, env, name, args = []) {
  const child = spawn(program, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  child.log = '';
  const keep = (chunk) => { child.log += chunk; };
  child.stdout.on('data', keep);
  child.stderr.on('data', keep);
  child.exited = new Promise((resolve) => child.on('exit', resolve));
  child.label = name;
  return child;
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  const ended = await Promise.race([child.exited.then(() => true), sleep(10000)]);
  if (!ended) child.kill('SIGKILL');
}

// The webview's engine predates some of playwright's element checks (visibility among them), so
// the page is driven with real mouse and keyboard input at an element's place on the screen,
// and waited on with conditions evaluated in the page.
async function clickOn(page, selector) {
  const box = await page.evaluate((s) => {
    const element = [...document.querySelectorAll(s)].pop();
    if (!element) return null;
    element.scrollIntoView({ block: 'center' });
    const r = element.getBoundingClientRect();
    return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
  }, selector);
  if (!box) throw new Error(`Nothing to click: ${selector}`);
  await page.mouse.click(box.x, box.y);
}

async function typeInto(page, selector, text) {
  await clickOn(page, selector);
  await page.keyboard.type(text);
}

// A <select> opens a popup of the platform; its value is chosen as the keyboard would.
async function choose(page, selector, value) {
  await page.evaluate(([s, v]) => {
    const select = document.querySelector(s);
    select.value = v;
    select.dispatchEvent(new Event('change'));
  }, [selector, value]);
}

const text = (page, selector) =>
  page.evaluate((s) => [...document.querySelectorAll(s)].pop()?.textContent ?? null, selector);

async function waitForText(page, selector, wanted, what) {
  return until(what, async () => {
    const found = await text(page, selector);
    return found !== null && (wanted instanceof RegExp ? wanted.test(found) : found === wanted) &&
      found;
  });
}

// Answers the agent's folder picker: focus the dialog, type the folder, press Enter.
async function answerPicker(folder) {
  const dialog = await until('the folder picker', async () => {
    const ids = execFileSync('xdotool', ['search', '--onlyvisible', '--name', PICKER_TITLE])
      .toString().trim().split('\n').filter(Boolean);
    return ids[0];
  }, 15000);
  execFileSync('xdotool', ['windowfocus', '--sync', dialog]);
  execFileSync('xdotool', ['key', 'ctrl+a']);
  execFileSync('xdotool', ['type', '--delay', '15', folder]);
  execFileSync('xdotool', ['key', 'Return']);
}

// The private home of one agent: its configuration, data, runtime and temporary folders (the
// single-instance socket lives in the runtime folder, so a user's running agent is never
// reached).
function privateHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kavor-e2e-'));
  const dirs = { HOME: 'home', XDG_CONFIG_HOME: 'home/.config', XDG_DATA_HOME: 'home/.local/share',
    XDG_RUNTIME_DIR: 'runtime', TMPDIR: 'tmp' };
  const env = {};
  for (const [key, dir] of Object.entries(dirs)) {
    env[key] = path.join(home, dir);
    fs.mkdirSync(env[key], { recursive: true, mode: 0o700 });
  }
  return { root: home, env };
}

async function main() {
  const agentProgram = option('--agent');
  const serviceProgram = option('--service');
  if (!agentProgram || !serviceProgram) throw new Error('usage: demo.js --agent PATH --service PATH');
  if (!process.env.DISPLAY) throw new Error('No display: run under xvfb-run.');

  const home = privateHome();
  const workspace = path.join(home.root, 'project');
  fs.mkdirSync(workspace);
  const notes = path.join(workspace, 'notes.txt');
  fs.writeFileSync(notes, 'Status: draft\nOwner: nobody\n');

  // The service hands its session secret to the agent through a file in the private home, as
  // scripts/run does through a private folder of its own.
  const sessionFile = path.join(home.env.XDG_RUNTIME_DIR, 'session');
  const cdpPort = await freePort();
  const env = {
    ...process.env,
    ...home.env,
    KAVOR_AGENT_SESSION_FILE: sessionFile,
    // No Secret Service and no notification service: the secret stays in device.json.
    DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent',
    QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${cdpPort}`,
  };
  let service;
  let agent;
  let browser;
  let chatPage; // the chat application's page, once found: its text is printed when a run fails
  try {
    service = start(serviceProgram, { ...process.env }, 'service', ['--session-file', sessionFile]);
    await until('the local service', async () => service.log.includes('ready'), 15000);

    const started = Date.now();
    agent = start(agentProgram, env, 'agent');
    browser = await until('the DevTools port', () =>
      chromium.connectOverCDP(`http://127.0.0.1:${cdpPort}`, { noDefaults: true }), 60000);
    // The window opens on the local loader page, then goes to the chat application.
    const page = chatPage = await until('the chat application', async () => {
      // The page's last line names the agent once it has answered.
      const pages = browser.contexts().flatMap((c) => c.pages());
      for (const p of pages) {
        if (p.url().startsWith('http://') && await text(p, '#about')) return p;
      }
      return undefined;
    }, 60000);
    const shown = Date.now() - started;

    if (process.argv.includes('--measure')) {
      await sleep(5000); // idle, page loaded
      const rss = (pid) => {
        const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
        return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
      };
      const children = execFileSync('ps', ['-o', 'pid=', '--ppid', String(agent.pid)])
        .toString().trim().split(/\s+/).filter(Boolean).map(Number);
      const own = rss(agent.pid);
      const all = own + children.reduce((sum, pid) => sum + rss(pid), 0);
      console.log(`start to chat page shown: ${shown} ms`);
      console.log(`idle agent resident memory: ${Math.round(own / 1024)} MiB ` +
        `(with its ${children.length} webview processes: ${Math.round(all / 1024)} MiB)`);
      return;
    }

    // ---- run 1: mode ask ----
    await clickOn(page, '#link');
    await waitForText(page, '#connection', /^Connected as /, 'the link');

    const pick = clickOn(page, '#pick-workspace');
    await answerPicker(workspace);
    await pick;
    await waitForText(page, '#workspace-path', workspace, 'the workspace');
    await waitForText(page, '#workspace-status', 'ready', 'the workspace check');

    await choose(page, '#mode', 'ask');
    await typeInto(page, '#text', '/edit notes.txt draft => final');
    await clickOn(page, '#send');

    await waitForText(page, '.call .state', 'pending', 'the approval');
    const diff = await text(page, '.call pre.diff');
    for (const line of ['-Status: draft', '+Status: final']) {
      if (!diff.includes(line)) throw new Error(`The approval's diff lacks "${line}":\n${diff}`);
    }
    if (fs.readFileSync(notes, 'utf8') !== 'Status: draft\nOwner: nobody\n') {
      throw new Error('The file changed before the edit was allowed.');
    }
    if (option('--screenshot')) await page.screenshot({ path: option('--screenshot') });
    await clickOn(page, '.call button.allow');

    const answer = await waitForText(page, '.message.assistant.done .body', /^edit_file notes.txt/,
      'the answer');
    if (!answer.startsWith('edit_file notes.txt: done.')) {
      throw new Error(`The answer does not show the result: ${answer}`);
    }
    await waitForText(page, '.call .state', 'done', 'the call to show it is done');
    const edited = fs.readFileSync(notes, 'utf8');
    if (edited !== 'Status: final\nOwner: nobody\n') throw new Error(`The file reads: ${edited}`);
    console.log('run 1 (ask): the edit was approved, applied and answered');

    // ---- run 2: mode readonly ----
    await clickOn(page, '#new-chat');
    await waitForText(page, '#workspace-path', 'none chosen', 'the new chat');
    const pickAgain = clickOn(page, '#pick-workspace');
    await answerPicker(workspace);
    await pickAgain;
    await waitForText(page, '#workspace-status', 'ready', 'the workspace of the new chat');
    await choose(page, '#mode', 'readonly');
    await typeInto(page, '#text', '/edit notes.txt final => gone');
    await clickOn(page, '#send');
    const refusal = await waitForText(page, '.message.assistant.done .body', /was not run/,
      'the refusal');
    if (!refusal.includes(READONLY_REFUSAL)) {
      throw new Error(`The answer does not show the refusal: ${refusal}`);
    }
    await waitForText(page, '.call .state', 'denied', 'the call to show it was refused');
    if (fs.readFileSync(notes, 'utf8') !== edited) throw new Error('A read-only chat changed the file.');
    console.log('run 2 (readonly): the edit was refused and the file left alone');

    // ---- a command that hides a direction override: the card and the message show it ----
    await typeInto(page, '#text', "/run echo 'txt.\u202Eexe'");
    await clickOn(page, '#send');
    const shownCommand = /echo 'txt\.<U\+202E>exe'/;
    await waitForText(page, '.call .summary', shownCommand, 'the command shown escaped');
    await waitForText(page, '.message.user .body', shownCommand, 'the message shown escaped');
    console.log('hidden characters: the command and the message show the override as <U+202E>');

    // ---- run 3: mode ask, a command outside the workspace says why it asks ----
    await clickOn(page, '#new-chat');
    await waitForText(page, '#workspace-path', 'none chosen', 'the third chat');
    const pickThird = clickOn(page, '#pick-workspace');
    await answerPicker(workspace);
    await pickThird;
    await waitForText(page, '#workspace-status', 'ready', 'the workspace of the third chat');
    await choose(page, '#mode', 'ask');
    await typeInto(page, '#text', '/run cd ~ && ls');
    await clickOn(page, '#send');
    await waitForText(page, '.call .state', 'pending', 'the approval of the command');
    await waitForText(page, '.call .reason', OUTSIDE_REASON, 'the reason on the card');
    await waitForText(page, '#pending .reason', OUTSIDE_REASON, 'the reason in the waiting list');
    if (option('--outside-screenshot')) {
      await page.screenshot({ path: option('--outside-screenshot') });
    }
    await clickOn(page, '.call button.deny');
    await waitForText(page, '.call .state', 'denied', 'the command to show it was denied');
    await waitForText(page, '.call .reason', OUTSIDE_REASON, 'the reason after the answer');
    console.log('run 3 (ask): the command outside the workspace showed why it asks, and was denied');
  } catch (error) {
    if (chatPage) {
      const seen = await chatPage.evaluate(() => document.body.innerText).catch((e) => String(e));
      console.error(`--- the page shows ---\n${String(seen).slice(-3000)}`);
    }
    if (agent) console.error(`--- agent output ---\n${agent.log.slice(-4000)}`);
    if (service) console.error(`--- service output ---\n${service.log.slice(-2000)}`);
    throw error;
  } finally {
    if (browser) await browser.close().catch(() => {});
    await stop(agent);
    await stop(service);
    fs.rmSync(home.root, { recursive: true, force: true });
  }
}

main().then(() => process.exit(0), (error) => {
  console.error(String(error.stack || error));
  process.exit(1);
});
