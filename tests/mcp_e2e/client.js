// `kavor-agent mcp` driven by the protocol's official TypeScript client, as an assistant on the
// user's computer drives it: over standard input and output (the client starts the program), or
// over the streamable HTTP transport on loopback with the bearer secret from its file.
//
// On a fresh workspace, in mode "ask": list the tools; read a file; edit it, the edit asked
// through elicitation (its diff shown) and allowed; run a command with its output as progress;
// cancel a long command and find its process gone; open a page in the private browser and get
// its screenshot as image content; a read outside the workspace is asked and declined, so it is
// refused. The client's answer to every question: allow, unless the call reaches outside the
// workspace. Then the client leaves and the program ends with nothing of it left running.
//
// With --transport http the HTTP transport's refusals are checked first, as a table: a foreign
// Host, a foreign Origin, no secret, a wrong secret, and (as root) another user of the machine.
//
//   node client.js --agent build/kavor-agent [--transport stdio|http] [--transcript FILE]
'use strict';

const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');
const { StreamableHTTPClientTransport } = require('@modelcontextprotocol/sdk/client/streamableHttp.js');
const { ElicitRequestSchema } = require('@modelcontextprotocol/sdk/types.js');
const { spawn, execFileSync } = require('child_process');
const assert = require('assert');
const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');

const TOOLS = ['browser', 'docker', 'edit_file', 'forget_memory', 'glob', 'grep', 'list_dir',
  'read_file', 'run_tests', 'save_memory', 'shell', 'write_file', 'wsl'];
const DENIED = 'The user denied this call, so it was not run.';

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : fallback;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, timeoutMs = 15000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await Promise.resolve().then(check).catch(() => undefined);
    if (value) return value;
    if (Date.now() > end) throw new Error(`Timed out waiting for ${what}.`);
    await sleep(100);
  }
}

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

const alive = (pid) => fs.existsSync(`/proc/${pid}`) &&
  !/^State:\s+Z/m.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));

const text = (result) => result.content.filter((c) => c.type === 'text').map((c) => c.text).join('');

// A page for the private browser, served on loopback.
function servePage() {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<title>MCP page</title><h1 style="color:#b00">Hello from the page</h1>');
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// The program's environment: a home of its own, and the browser without its sandbox as root.
function environment(home) {
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'),
    XDG_DATA_HOME: path.join(home, '.local/share'), XDG_CACHE_HOME: path.join(home, '.cache'),
    XDG_RUNTIME_DIR: path.join(home, 'run'), DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
  fs.mkdirSync(env.XDG_RUNTIME_DIR, { recursive: true, mode: 0o700 });
  if (process.getuid() === 0) env.KAVOR_AGENT_BROWSER_NO_SANDBOX = '1';
  return env;
}

// One raw HTTP request; its status.
function raw(port, headers, body = '{"jsonrpc":"2.0","id":1,"method":"ping"}') {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, path: '/mcp', method: 'POST', headers: {
      'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', ...headers } },
    (res) => { res.resume(); resolve(res.statusCode); });
    req.on('error', reject);
    req.end(body);
  });
}

async function refusals(port, secret) {
  const good = { Host: `127.0.0.1:${port}`, Authorization: `Bearer ${secret}` };
  const initialize = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
    params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
  const table = [
    ['a foreign Host (DNS rebinding)', { ...good, Host: `attacker.example:${port}` }, 403],
    ['a loopback name with another port', { ...good, Host: '127.0.0.1:1' }, 403],
    ['a foreign Origin (a web page)', { ...good, Origin: 'https://attacker.example' }, 403],
    ['no secret', { Host: good.Host }, 401],
    ['a wrong secret', { ...good, Authorization: `Bearer ${'0'.repeat(secret.length)}` }, 401],
    ['a secret as another scheme', { ...good, Authorization: `Basic ${secret}` }, 401],
    ['the right client', good, 200],
  ];
  for (const [why, headers, status] of table) {
    assert.strictEqual(await raw(port, headers, initialize), status, why);
  }
  if (process.getuid() === 0) {
    const user = `kavormcp${process.pid}`;
    execFileSync('useradd', ['--system', '--user-group', '--shell', '/bin/false', user]);
    try {
      const uid = execFileSync('id', ['-u', user]).toString().trim();
      const script = `const h=require('http');const r=h.request({host:'127.0.0.1',port:${port},path:'/mcp',` +
        `method:'POST',headers:{'Content-Type':'application/json',Accept:'application/json, text/event-stream',` +
        `Authorization:'Bearer ${secret}'}},(s)=>{console.log(s.statusCode);});` +
        `r.on('error',()=>console.log('closed'));r.end(${JSON.stringify(initialize)});`;
      const answer = execFileSync('setpriv', [`--reuid=${uid}`, `--regid=${uid}`, '--clear-groups', '--',
        process.execPath, '-e', script]).toString().trim();
      assert.strictEqual(answer, '403', 'another user of the machine, holding the secret');
    } finally {
      execFileSync('userdel', [user]);
    }
  }
  console.log(`HTTP refusals: ${table.length} requests answered as expected`);
}

async function main() {
  const agent = path.resolve(option('--agent'));
  const transportName = option('--transport', 'stdio');
  const transcript = option('--transcript');
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kavor-mcp-'));
  const workspace = path.join(home, 'project');
  const outside = path.join(home, 'outside');
  fs.mkdirSync(workspace);
  fs.mkdirSync(outside);
  fs.writeFileSync(path.join(workspace, 'notes.txt'), 'first line\nsecond line\n');
  fs.writeFileSync(path.join(outside, 'secret.txt'), 'not for the assistant\n');
  const env = environment(home);
  const page = await servePage();
  const lines = [];
  const log = (line) => { lines.push(line); };

  const args = ['mcp', '--workspace', workspace, '--mode', 'ask'];
  let transport;
  let server;  // the program, when the test starts it itself (HTTP)
  if (transportName === 'http') {
    const port = await freePort();
    const secretFile = path.join(env.XDG_RUNTIME_DIR, 'mcp-secret');
    server = spawn(agent, [...args, '--http', `127.0.0.1:${port}`, '--secret-file', secretFile],
      { env, stdio: ['ignore', 'pipe', 'pipe'] });
    server.log = '';
    server.stdout.on('data', (c) => { server.log += c; });
    server.stderr.on('data', (c) => { server.log += c; });
    await until('the HTTP listener', () => server.log.includes('listening'));
    const secret = fs.readFileSync(secretFile, 'utf8').trim();
    assert.strictEqual(fs.statSync(secretFile).mode & 0o077, 0, 'the secret file is the user\'s alone');
    await refusals(port, secret);
    transport = new StreamableHTTPClientTransport(new URL(`http://127.0.0.1:${port}/mcp`),
      { requestInit: { headers: { Authorization: `Bearer ${secret}` } } });
  } else {
    transport = new StdioClientTransport({ command: agent, args, env, stderr: 'pipe' });
  }

  const client = new Client({ name: 'kavor-e2e', version: '1.0.0' }, { capabilities: { elicitation: { form: {} } } });
  const asked = [];
  client.setRequestHandler(ElicitRequestSchema, async (request) => {
    const message = request.params.message;
    asked.push(message);
    log(`<- elicitation/create: ${message.split('\n')[0]}`);
    const decision = message.includes('outside the workspace') ? 'deny' : 'allow';
    log(`-> ${decision}`);
    return { action: 'accept', content: { decision } };
  });
  await client.connect(transport);
  const pid = transportName === 'http' ? server.pid : transport.pid;
  log(`connected: ${client.getServerVersion().name} ${client.getServerVersion().version}, ` +
    `protocol ${transport.protocolVersion || '2025-11-25'}`);

  // The tools, with schemas and annotations.
  const { tools } = await client.listTools();
  assert.deepStrictEqual(tools.map((t) => t.name).sort(), TOOLS);
  const read = tools.find((t) => t.name === 'read_file');
  assert.strictEqual(read.inputSchema.properties.path.type, 'string');
  assert.strictEqual(read.annotations.readOnlyHint, true);
  assert.strictEqual(tools.find((t) => t.name === 'edit_file').annotations.destructiveHint, true);
  log(`tools/list: ${tools.length} tools`);

  const call = async (name, args, options) => {
    log(`-> tools/call ${name} ${JSON.stringify(args)}`);
    const result = await client.callTool({ name, arguments: args }, undefined, options);
    log(`<- ${result.isError ? 'error' : 'ok'}: ${text(result).trimEnd().split('\n').join(' | ')}`);
    return result;
  };

  // A read, then an edit asked with its diff and allowed.
  assert.strictEqual(text(await call('read_file', { path: 'notes.txt' })), '     1\tfirst line\n     2\tsecond line\n');
  const edited = await call('edit_file', { path: 'notes.txt', old_text: 'second', new_text: 'edited' });
  assert.strictEqual(edited.isError, false, text(edited));
  assert.ok(asked.at(-1).includes('-second line\n+edited line'), asked.at(-1));
  assert.strictEqual(fs.readFileSync(path.join(workspace, 'notes.txt'), 'utf8'), 'first line\nedited line\n');

  // A command with its output as progress.
  const progress = [];
  const ran = await call('shell', { command: 'for i in 1 2 3; do echo line $i; sleep 0.1; done' },
    { onprogress: (p) => progress.push(p) });
  assert.strictEqual(text(ran), 'line 1\nline 2\nline 3\n');
  assert.strictEqual(progress.map((p) => p.message).join(''), 'line 1\nline 2\nline 3\n');
  log(`progress: ${progress.length} notifications`);

  // A long command cancelled: the call ends and its process with it.
  const abort = new AbortController();
  const pidFile = path.join(workspace, 'long.pid');
  const long = call('shell', { command: `echo $$ > long.pid; exec sleep 120` },
    { signal: abort.signal, onprogress: () => {} });
  const sleeper = await until('the long command', () => fs.existsSync(pidFile) &&
    Number(fs.readFileSync(pidFile, 'utf8')));
  abort.abort('enough');
  await assert.rejects(long);
  await until('the cancelled command to end', () => !alive(sleeper));
  log('cancelled: the long command ended');

  // The private browser: a page opened, its screenshot as image content.
  const url = `http://127.0.0.1:${page.address().port}/`;
  const opened = await call('browser', { action: 'open', url });
  assert.strictEqual(opened.isError, false, text(opened));
  const shot = await call('browser', { action: 'screenshot' });
  const image = shot.content.find((c) => c.type === 'image');
  assert.ok(image && image.mimeType.startsWith('image/') && image.data.length > 1000, JSON.stringify(shot).slice(0, 300));
  log(`screenshot: ${image.mimeType}, ${Buffer.from(image.data, 'base64').length} bytes`);

  // Outside the workspace: asked, declined, refused.
  const refused = await call('read_file', { path: path.join(outside, 'secret.txt') });
  assert.strictEqual(refused.isError, true);
  assert.strictEqual(text(refused), DENIED);

  // The client leaves; the program ends, and nothing it started stays.
  await client.close();
  if (server) server.kill('SIGTERM');
  await until('the program to end', () => !alive(pid), 20000);
  page.close();
  if (transcript) fs.writeFileSync(transcript, lines.join('\n') + '\n');
  fs.rmSync(home, { recursive: true, force: true });
  console.log(lines.join('\n'));
  console.log(`mcp over ${transportName}: 1 passed, 0 failed`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
