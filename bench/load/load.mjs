// Load scenarios for veilrelay-router and `veilrelay proxy`, loopback only,
// bounded in count and time. Node's own http/net modules; the streaming
// scenarios also drive the OpenAI Node SDK, installed in SDK_DIR.
//
//   node load.mjs model-server PORT HOLD_MS        a model server holding each answer HOLD_MS
//                                                    and streaming on "stream": true (see streamAnswer)
//   node load.mjs concurrent URL KIND N PID         N requests at once (KIND router: replays
//                                                    PACKAGE_DIR's package; proxy: plain chat)
//   node load.mjs idle PORT N PID                   N keep-alive connections held open
//   node load.mjs slow PORT N SECONDS PID           N trickling heads while one request a second is timed
//   node load.mjs burst PORT N                      N connections opened at once, each one request
//   node load.mjs first-chunk MODEL_URL PROXY_URL   first-chunk latency, direct and through the proxy
//   node load.mjs long PROXY_URL SECONDS PPID RPID  one stream of SECONDS (a chunk every 2 s)
//   node load.mjs streams PROXY_URL N PPID RPID     N streams of 50 chunks at once
//
// Each scenario prints one JSON line of figures; PID is the server measured
// (peak RSS from VmHWM, peak thread count sampled every 50 ms).
import http from 'node:http';
import net from 'node:net';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { isDeepStrictEqual } from 'node:util';

const [mode, ...args] = process.argv.slice(2);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Milliseconds on the clock every process of this machine shares.
const now = () => performance.timeOrigin + performance.now();

// CPU seconds (user and system, at 100 ticks a second) the process has
// used, and those every CPU of the machine has spent busy.
function cpuSeconds(pid) {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) / 100;
  } catch { return 0; }
}
function machineBusySeconds() {
  const [, user, nice, system, idle, iowait, ...rest] = fs.readFileSync('/proc/stat', 'utf8').split('\n')[0].trim().split(/\s+/).map(Number);
  return (user + nice + system + rest.slice(0, 3).reduce((a, b) => a + b, 0)) / 100;
}

function sampler(pid) {
  const cpuBefore = cpuSeconds(pid);
  const machineBefore = machineBusySeconds();
  let threads = 0;
  const read = () => {
    try {
      const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
      threads = Math.max(threads, Number(/Threads:\s+(\d+)/.exec(status)[1]));
      return status;
    } catch { return ''; }
  };
  const timer = setInterval(read, 50);
  return {
    stop() {
      clearInterval(timer);
      const status = read();
      const kib = (name) => Number((new RegExp(`${name}:\\s+(\\d+)`).exec(status) || [0, 0])[1]);
      return {
        peak_rss_mib: +(kib('VmHWM') / 1024).toFixed(1), rss_mib: +(kib('VmRSS') / 1024).toFixed(1), peak_threads: threads,
        cpu_seconds: +(cpuSeconds(pid) - cpuBefore).toFixed(2),
        machine_busy_cpu_seconds: +(machineBusySeconds() - machineBefore).toFixed(2),
      };
    },
  };
}

// A streamed answer, shaped by the last user message
// "stream tag=T chunks=N gap=MS first=MS": N content chunks "T:0;", "T:1;",
// ... (so a lost or reordered chunk shows), GAP ms apart, the first FIRST ms
// after the head; then the finish chunk, the usage chunk when
// stream_options.include_usage asks for it, and [DONE]. The time the first
// chunk was written is kept for GET /timing/T.
const firstWrites = new Map();
function streamAnswer(request, res) {
  const last = String((request.messages ?? []).filter((m) => m.role === 'user').at(-1)?.content ?? '');
  const p = Object.fromEntries([...last.matchAll(/(\w+)=(\S+)/g)].map((m) => [m[1], m[2]]));
  const tag = p.tag ?? 'stream';
  const chunks = Number(p.chunks ?? 20);
  const gap = Number(p.gap ?? 200);
  const usage = request.stream_options?.include_usage === true;
  const base = { id: `chatcmpl-${tag}`, object: 'chat.completion.chunk', created: 1765000000, model: request.model };
  const event = (choices, extra = {}) =>
    `data: ${JSON.stringify({ ...base, choices, ...(usage ? { usage: null } : {}), ...extra })}\n\n`;
  res.writeHead(200, { 'content-type': 'text/event-stream', 'cache-control': 'no-cache' });
  res.flushHeaders();
  let sent = 0;
  let timer;
  const tick = () => {
    const delta = { ...(sent === 0 ? { role: 'assistant' } : {}), content: `${tag}:${sent};` };
    let out = event([{ index: 0, delta, logprobs: null, finish_reason: null }]);
    if (++sent === chunks) {
      out += event([{ index: 0, delta: {}, logprobs: null, finish_reason: 'stop' }]);
      if (usage) out += event([], { usage: { prompt_tokens: 5, completion_tokens: chunks, total_tokens: chunks + 5 } });
      out += 'data: [DONE]\n\n';
    }
    if (sent === 1 && p.stamp) {
      if (firstWrites.size > 1000) firstWrites.clear();
      firstWrites.set(tag, now());
    }
    res.write(out);
    if (sent === chunks) res.end(); else timer = setTimeout(tick, gap);
  };
  timer = setTimeout(tick, Number(p.first ?? gap));
  res.on('close', () => clearTimeout(timer));
}

function modelServer(port, holdMs) {
  const completion = (model) => JSON.stringify({
    id: 'chatcmpl-load', object: 'chat.completion', created: 0, model,
    choices: [{ index: 0, message: { role: 'assistant', content: 'held answer' }, finish_reason: 'stop' }],
    usage: { prompt_tokens: 1, completion_tokens: 2, total_tokens: 3 },
  });
  const server = http.createServer((req, res) => {
    let body = '';
    req.on('data', (d) => { body += d; });
    req.on('end', () => {
      if (req.url.endsWith('/models')) {
        res.writeHead(200, { 'content-type': 'application/json' });
        return res.end(JSON.stringify({ object: 'list', data: [{ id: 'load-model', object: 'model', created: 0, owned_by: 'load' }] }));
      }
      if (req.url.startsWith('/timing/')) {
        const tag = req.url.slice('/timing/'.length);
        res.writeHead(200, { 'content-type': 'application/json' });
        res.end(JSON.stringify({ first_write: firstWrites.get(tag) ?? null }));
        return firstWrites.delete(tag);
      }
      let request = {};
      try { request = JSON.parse(body); } catch { /* answered as held */ }
      if (request.stream === true) return streamAnswer(request, res);
      const model = request.model || 'load-model';
      setTimeout(() => {
        res.writeHead(200, { 'content-type': 'application/json' });
        res.end(completion(model));
      }, holdMs);
    });
  });
  server.maxConnections = 20000;
  server.keepAliveTimeout = 65000;
  server.listen(port, '127.0.0.1');
}

function request(url, { method = 'POST', headers = {}, body = '', agent, timeoutMs = 30000 }) {
  return new Promise((resolve) => {
    const req = http.request(url, { method, headers, agent }, (res) => {
      res.resume();
      res.on('end', () => resolve({ status: res.statusCode }));
      res.on('error', (e) => resolve({ error: e.code || e.message }));
    });
    req.setTimeout(timeoutMs, () => req.destroy(new Error('timeout')));
    req.on('error', (e) => resolve({ error: e.code || e.message }));
    req.end(body);
  });
}

function requestFor(kind) {
  if (kind === 'router') {
    const dir = process.env.PACKAGE_DIR;
    const body = fs.readFileSync(`${dir}/package.json`);
    const key = encodeURIComponent(fs.readFileSync(`${dir}/client_public.pem`, 'utf8'));
    return (i) => ({
      path: '/v1/chat/secure_completion',
      headers: { 'content-type': 'application/octet-stream', 'x-payload-id': `load-${i}`, 'x-public-key': key, 'content-length': body.length },
      body,
    });
  }
  const body = JSON.stringify({ model: 'load-model', messages: [{ role: 'user', content: 'Hello under load' }] });
  return () => ({ path: '/v1/chat/completions', headers: { 'content-type': 'application/json', 'content-length': Buffer.byteLength(body) }, body });
}

function tally(results) {
  const counts = {};
  for (const r of results) {
    const key = r.status ? String(r.status) : `error:${r.error}`;
    counts[key] = (counts[key] || 0) + 1;
  }
  return counts;
}

async function concurrent(base, kind, n, pid) {
  const agent = new http.Agent({ keepAlive: false, maxSockets: Infinity });
  const make = requestFor(kind);
  const s = sampler(pid);
  const started = Date.now();
  const results = await Promise.all(Array.from({ length: n }, (_, i) => {
    const r = make(i);
    return request(base + r.path, { headers: r.headers, body: r.body, agent, timeoutMs: 60000 });
  }));
  const seconds = (Date.now() - started) / 1000;
  console.log(JSON.stringify({ scenario: `concurrent-${kind}`, requests: n, seconds, outcomes: tally(results), ...s.stop() }));
}

async function idle(port, n, pid) {
  const s = sampler(pid);
  const sockets = [];
  let answered = 0;
  // Distinct connections, each with one answered request, then left open;
  // opened in waves of 500 so the listen backlog is not the measure.
  for (let i = 0; i < n; i += 500) {
    await Promise.all(Array.from({ length: Math.min(500, n - i) }, () => new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1');
      let got = '';
      const timer = setTimeout(resolve, 30000);
      sock.on('error', () => { clearTimeout(timer); resolve(); });
      sock.on('connect', () => sock.write('GET /pki/public_key HTTP/1.1\r\nHost: load\r\n\r\n'));
      sock.on('data', (d) => {
        got += d;
        if (got.includes('END PUBLIC KEY')) { answered++; clearTimeout(timer); resolve(); }
      });
      sockets.push(sock);
    })));
  }
  await sleep(2000);
  const open = sockets.filter((sock) => !sock.destroyed).length;
  console.log(JSON.stringify({ scenario: 'idle-keep-alive', connections: n, answered, still_open: open, ...s.stop() }));
  for (const sock of sockets) sock.destroy();
}

async function slow(port, n, seconds, pid) {
  const s = sampler(pid);
  let closedByServer = 0;
  const sockets = [];
  for (let i = 0; i < n; i++) {
    const sock = net.connect(port, '127.0.0.1');
    sock.on('error', () => {});
    sock.on('close', () => { closedByServer++; });
    sock.on('data', () => {});
    sockets.push(sock);
  }
  const head = 'GET /pki/public_key HTTP/1.1\r\nHost: load\r\nX-Filler: ' + 'x'.repeat(200);
  let at = 0;
  const trickle = setInterval(() => {
    for (const sock of sockets) if (!sock.destroyed) sock.write(head[at % head.length]);
    at++;
  }, 2000);
  const agent = new http.Agent({ keepAlive: false });
  const latencies = [];
  const failures = [];
  for (let i = 0; i < seconds; i++) {
    const t0 = process.hrtime.bigint();
    const r = await request(`http://127.0.0.1:${port}/pki/public_key`, { method: 'GET', agent, timeoutMs: 5000 });
    const ms = Number(process.hrtime.bigint() - t0) / 1e6;
    if (r.status === 200) latencies.push(ms); else failures.push(r);
    await sleep(Math.max(0, 1000 - ms));
  }
  clearInterval(trickle);
  for (const sock of sockets) sock.destroy();
  latencies.sort((a, b) => a - b);
  console.log(JSON.stringify({
    scenario: 'slow-clients', slow_connections: n, probes: seconds, served: latencies.length, failed: failures.length,
    max_ms: +(latencies.at(-1) ?? 0).toFixed(1), median_ms: +(latencies[latencies.length >> 1] ?? 0).toFixed(1),
    slow_closed_by_server: closedByServer, ...s.stop(),
  }));
}

async function burst(port, n) {
  const request = 'GET /pki/public_key HTTP/1.1\r\nHost: load\r\nConnection: close\r\n\r\n';
  const outcomes = await Promise.all(Array.from({ length: n }, () => new Promise((resolve) => {
    const sock = net.connect(port, '127.0.0.1');
    let got = '';
    const timer = setTimeout(() => { sock.destroy(); resolve('hang'); }, 30000);
    sock.on('connect', () => sock.write(request));
    sock.on('data', (d) => { got += d; });
    sock.on('error', (e) => { clearTimeout(timer); resolve(got ? got.slice(9, 12) : `hang-up:${e.code}`); });
    sock.on('close', () => { clearTimeout(timer); resolve(got ? got.slice(9, 12) : 'hang-up'); });
  })));
  const counts = {};
  for (const o of outcomes) counts[o] = (counts[o] || 0) + 1;
  console.log(JSON.stringify({ scenario: 'burst', connections: n, outcomes: counts }));
}

// The SDK, as tests/proxy/node locks it, installed by run-load.sh.
const OpenAI = () => createRequire(`${process.env.SDK_DIR}/`)('openai');

// One streamed chat through the SDK: the chunks as received, when the first
// arrived, what finalChatCompletion() made of them, or the error.
async function sdkStream(client, shape) {
  const run = { chunks: [], first: null };
  try {
    const stream = client.chat.completions.stream({
      model: 'load-model', messages: [{ role: 'user', content: `stream ${shape}` }], stream_options: { include_usage: true },
    });
    for await (const chunk of stream) {
      run.first ??= now();
      run.chunks.push(chunk);
    }
    run.final = await stream.finalChatCompletion();
  } catch (e) {
    run.error = e.message;
  }
  return run;
}

// The members where two JSON values differ, as paths.
function differences(a, b, path = '$', out = []) {
  if (isDeepStrictEqual(a, b)) return out;
  if (a && b && typeof a === 'object' && typeof b === 'object' && Array.isArray(a) === Array.isArray(b)) {
    for (const key of new Set([...Object.keys(a), ...Object.keys(b)])) differences(a[key], b[key], `${path}.${key}`, out);
  } else {
    out.push(path);
  }
  return out;
}

// Which of the expected content chunks "T:0;" .. "T:N-1;" a stream lacks,
// got out of order, or got with another stream's content.
function check(run, tag, n) {
  const seqs = [];
  let foreign = 0;
  for (const chunk of run.chunks) {
    const content = chunk.choices?.[0]?.delta?.content;
    if (content === undefined || content === null) continue;
    const m = /^(.+):(\d+);$/.exec(content);
    if (!m || m[1] !== tag) foreign++; else seqs.push(Number(m[2]));
  }
  const reordered = seqs.filter((seq, i) => i > 0 && seq <= seqs[i - 1]).length;
  const lost = n - new Set(seqs.filter((seq) => seq < n)).size;
  return { lost, reordered, foreign };
}

// First-chunk latency, direct and through the proxy: the SDK's first chunk
// against the model server's first write, same clock. The model server
// writes its first chunk with its head (first0) or 200 ms after it
// (first200). The router opens its answer (head and header event) when the
// model server's first body bytes arrive, so in both the proxy's one RSA
// unwrap of the answer key lies between that write and the first chunk.
async function firstChunk(modelUrl, proxyUrl, repeats) {
  const clients = { direct: new (OpenAI())({ baseURL: modelUrl, apiKey: 'load', maxRetries: 0 }),
    proxy: new (OpenAI())({ baseURL: proxyUrl, apiKey: 'load', maxRetries: 0 }) };
  const firstWrite = async (tag) => (await (await fetch(`${modelUrl.replace(/\/v1$/, '')}/timing/${tag}`)).json()).first_write;
  for (const client of Object.values(clients)) await sdkStream(client, 'tag=warm chunks=2 gap=0');
  for (const first of [0, 200]) {
    const ms = { direct: [], proxy: [] };
    const runs = {};
    for (let r = 0; r < repeats; r++) {
      const tag = `fc${first}-${r}`;
      for (const [path, client] of Object.entries(clients)) {
        runs[path] = await sdkStream(client, `tag=${tag} chunks=20 gap=200 first=${first} stamp=1`);
        ms[path].push(+(runs[path].first - await firstWrite(tag)).toFixed(1));
      }
    }
    const { direct, proxy } = runs;  // the last repeat's runs, compared
    console.log(JSON.stringify({
      scenario: `first-chunk-first${first}`, first_chunk_ms: ms,
      chunks: { direct: direct.chunks.length, proxy: proxy.chunks.length }, errors: [direct.error, proxy.error].filter(Boolean),
      chunks_equal: isDeepStrictEqual(direct.chunks, proxy.chunks),
      final_equal: isDeepStrictEqual(direct.final, proxy.final), final_differs_in: differences(direct.final, proxy.final),
    }));
  }
}

async function longStream(proxyUrl, seconds, proxyPid, routerPid) {
  const s = { proxy: sampler(proxyPid), router: sampler(routerPid) };
  const n = Math.max(1, Math.round(seconds / 2));
  const client = new (OpenAI())({ baseURL: proxyUrl, apiKey: 'load', maxRetries: 0, timeout: (seconds + 120) * 1000 });
  const started = Date.now();
  const run = await sdkStream(client, `tag=long chunks=${n} gap=2000 first=2000`);
  const result = check(run, 'long', n);
  console.log(JSON.stringify({
    scenario: 'long-stream', seconds: (Date.now() - started) / 1000, completed: !run.error && result.lost === 0,
    error: run.error, content_chunks: n, chunks: run.chunks.length, ...result,
    proxy: s.proxy.stop(), router: s.router.stop(),
  }));
}

async function streams(proxyUrl, count, proxyPid, routerPid) {
  const s = { proxy: sampler(proxyPid), router: sampler(routerPid) };
  const client = new (OpenAI())({ baseURL: proxyUrl, apiKey: 'load', maxRetries: 0, timeout: 120000 });
  const started = Date.now();
  const runs = await Promise.all(Array.from({ length: count }, (_, i) => sdkStream(client, `tag=s${i} chunks=50 gap=50`)));
  const seconds = (Date.now() - started) / 1000;
  const outcomes = tally(runs.map((run) => (run.error ? { error: run.error } : { status: 'completed' })));
  const sum = { lost: 0, reordered: 0, foreign: 0 };
  runs.forEach((run, i) => {
    for (const [k, v] of Object.entries(check(run, `s${i}`, 50))) sum[k] += v;
  });
  console.log(JSON.stringify({
    scenario: 'concurrent-streams', streams: count, chunks_each: 50, seconds, outcomes,
    chunks_lost: sum.lost, chunks_reordered: sum.reordered, chunks_foreign: sum.foreign,
    proxy: s.proxy.stop(), router: s.router.stop(),
  }));
}

const n = (x) => Number(x);
switch (mode) {
  case 'model-server': modelServer(n(args[0]), n(args[1])); break;
  case 'concurrent': await concurrent(args[0], args[1], n(args[2]), args[3]); break;
  case 'idle': await idle(n(args[0]), n(args[1]), args[2]); break;
  case 'slow': await slow(n(args[0]), n(args[1]), n(args[2]), args[3]); break;
  case 'burst': await burst(n(args[0]), n(args[1])); break;
  case 'first-chunk': await firstChunk(args[0], args[1], n(process.env.REPEATS || 5)); break;
  case 'long': await longStream(args[0], n(args[1]), args[2], args[3]); break;
  case 'streams': await streams(args[0], n(args[1]), args[2], args[3]); break;
  default: console.error('unknown mode; see the head of load.mjs'); process.exit(2);
}
