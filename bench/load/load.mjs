// Load scenarios for veilrelay-router and `veilrelay proxy`, loopback only,
// bounded in count and time. Node's own http/net modules, no packages.
//
//   node load.mjs model-server PORT HOLD_MS        a model server holding each answer HOLD_MS
//   node load.mjs concurrent URL KIND N PID         N requests at once (KIND router: replays
//                                                    PACKAGE_DIR's package; proxy: plain chat)
//   node load.mjs idle PORT N PID                   N keep-alive connections held open
//   node load.mjs slow PORT N SECONDS PID           N trickling heads while one request a second is timed
//   node load.mjs burst PORT N                      N connections opened at once, each one request
//
// Each scenario prints one JSON line of figures; PID is the server measured
// (peak RSS from VmHWM, peak thread count sampled every 50 ms).
import http from 'node:http';
import net from 'node:net';
import fs from 'node:fs';

const [mode, ...args] = process.argv.slice(2);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function sampler(pid) {
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
      return { peak_rss_mib: +(kib('VmHWM') / 1024).toFixed(1), rss_mib: +(kib('VmRSS') / 1024).toFixed(1), peak_threads: threads };
    },
  };
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
      let model = 'load-model';
      try { model = JSON.parse(body).model || model; } catch { /* the answer says which */ }
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

const n = (x) => Number(x);
switch (mode) {
  case 'model-server': modelServer(n(args[0]), n(args[1])); break;
  case 'concurrent': await concurrent(args[0], args[1], n(args[2]), args[3]); break;
  case 'idle': await idle(n(args[0]), n(args[1]), args[2]); break;
  case 'slow': await slow(n(args[0]), n(args[1]), n(args[2]), args[3]); break;
  case 'burst': await burst(n(args[0]), n(args[1])); break;
  default: console.error('unknown mode; see the head of load.mjs'); process.exit(2);
}
