// The official OpenAI Node SDK against `veilrelay proxy`: the SDK changes
// nothing but its base URL and must see answers, streams and its own error
// classes. Also checks, with a raw relay between a proxy and the router,
// that no request or answer text crosses that connection in clear.
//
// Environment: PROXY_URL (a proxy in front of the development router),
// ROUTER_URL, API_KEY, VEILRELAY_EXE, KEYS_DIR.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import http from 'node:http';
import net from 'node:net';
import readline from 'node:readline';
import OpenAI from 'openai';

const { PROXY_URL, ROUTER_URL, API_KEY, VEILRELAY_EXE, KEYS_DIR } = process.env;
const children = [];
const servers = [];

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

// Starts `veilrelay proxy` in front of `router`; resolves to its base URL.
function startProxy(router) {
  const child = spawn(VEILRELAY_EXE, ['proxy', '--router', router, '--allow-http', '--listen', '127.0.0.1:0',
    '--keys', KEYS_DIR, '--model', 'echo'], { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(child);
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('proxy did not start')), 30000);
    readline.createInterface({ input: child.stdout }).once('line', (line) => {
      clearTimeout(timer);
      resolve(line.trim());
    });
    child.once('exit', (code) => reject(new Error(`proxy exited with ${code}`)));
  });
}

// A router that hands out the development router's key and answers every
// completion with 429.
async function startRateLimitedRouter() {
  const key = await (await fetch(`${ROUTER_URL}/pki/public_key`)).text();
  const server = http.createServer((req, res) => {
    if (req.method === 'GET' && req.url === '/pki/public_key') {
      res.writeHead(200, { 'Content-Type': 'text/plain' }).end(key);
    } else {
      req.resume();
      res.writeHead(429, { 'Content-Type': 'application/json' }).end(JSON.stringify({ detail: 'slow down' }));
    }
  });
  servers.push(server);
  return `http://127.0.0.1:${await listen(server)}`;
}

// Relays raw bytes to the development router and keeps what passes.
async function startWireRelay() {
  const target = new URL(ROUTER_URL);
  const wire = { up: [], down: [] };
  const server = net.createServer((client) => {
    const upstream = net.connect(Number(target.port), target.hostname);
    client.on('data', (chunk) => { wire.up.push(chunk); upstream.write(chunk); });
    upstream.on('data', (chunk) => { wire.down.push(chunk); client.write(chunk); });
    client.on('end', () => upstream.end());
    upstream.on('end', () => client.end());
    client.on('error', () => upstream.destroy());
    upstream.on('error', () => client.destroy());
  });
  servers.push(server);
  return { url: `http://127.0.0.1:${await listen(server)}`, wire };
}

const sdk = (baseURL, apiKey = API_KEY) => new OpenAI({ baseURL, apiKey, maxRetries: 0, timeout: 30000 });
const ask = (content, extra = {}) => ({ model: 'echo', messages: [{ role: 'user', content }], ...extra });

const cases = {
  async 'a call without streaming returns the echo'() {
    const completion = await sdk(PROXY_URL).chat.completions.create(ask('hello through the proxy'));
    assert.equal(completion.object, 'chat.completion');
    assert.equal(completion.choices[0].message.content, 'hello through the proxy');
    assert.equal(completion.choices[0].finish_reason, 'stop');
  },

  async 'a streamed call yields the same content through the stream iterator'() {
    const stream = await sdk(PROXY_URL).chat.completions.create(
      ask('streamed words arrive', { stream: true, stream_options: { include_usage: true } }));
    let content = '';
    let finish = null;
    let usage = null;
    for await (const chunk of stream) {
      assert.equal(chunk.object, 'chat.completion.chunk');
      for (const choice of chunk.choices) {
        content += choice.delta?.content ?? '';
        finish = choice.finish_reason ?? finish;
      }
      usage = chunk.usage ?? usage;
    }
    assert.equal(content, 'streamed words arrive');
    assert.equal(finish, 'stop');
    assert.equal(usage.completion_tokens, 3);
  },

  async 'the stream helper accumulates the final message'() {
    const runner = sdk(PROXY_URL).chat.completions.stream(ask('helper sees it'));
    const final = await runner.finalChatCompletion();
    assert.equal(final.choices[0].message.content, 'helper sees it');
  },

  async 'a wrong API key raises the SDK authentication error'() {
    await assert.rejects(sdk(PROXY_URL, 'wrong-key').chat.completions.create(ask('no')), (error) => {
      assert.ok(error instanceof OpenAI.AuthenticationError, `got ${error?.constructor?.name}`);
      assert.equal(error.status, 401);
      assert.equal(error.error?.type, 'authentication_error');
      return true;
    });
  },

  async 'a 429 of the router raises the SDK rate-limit error'() {
    const proxy = await startProxy(await startRateLimitedRouter());
    await assert.rejects(sdk(proxy).chat.completions.create(ask('too many')), (error) => {
      assert.ok(error instanceof OpenAI.RateLimitError, `got ${error?.constructor?.name}`);
      assert.equal(error.status, 429);
      assert.match(error.message, /Rate limit exceeded: slow down/);
      return true;
    });
  },

  async 'the X-Request-ID of the SDK comes back as the request id'() {
    const { data, response, request_id } = await sdk(PROXY_URL).chat.completions
      .create(ask('which id'), { headers: { 'X-Request-ID': 'interop-request-7' } })
      .withResponse();
    assert.equal(request_id, 'interop-request-7');
    assert.equal(response.headers.get('x-request-id'), 'interop-request-7');
    assert.equal(data._request_id, 'interop-request-7');
  },

  async 'the model list holds the configured names'() {
    const models = [];
    for await (const model of sdk(PROXY_URL).models.list()) models.push(model.id);
    assert.deepEqual(models, ['echo']);
  },

  async 'no request or answer text crosses the proxy-to-router connection in clear'() {
    const relay = await startWireRelay();
    const proxy = await startProxy(relay.url);
    const marker = 'plain-marker-4f1d9c';
    const completion = await sdk(proxy).chat.completions.create(ask(`secret ${marker} text`));
    assert.equal(completion.choices[0].message.content, `secret ${marker} text`);
    const up = Buffer.concat(relay.wire.up).toString('latin1');
    const down = Buffer.concat(relay.wire.down).toString('latin1');
    assert.ok(up.includes('POST /v1/chat/secure_completion'), 'the exchange went through the relay');
    assert.ok(up.includes('"encrypted_payload"'), 'the request body is a package');
    assert.ok(!up.includes(marker), 'request content crossed in clear');
    assert.ok(!down.includes(marker), 'answer content crossed in clear');
  },
};

let failed = 0;
try {
  for (const [name, run] of Object.entries(cases)) {
    try {
      await run();
      console.log(`ok   ${name}`);
    } catch (error) {
      failed += 1;
      console.log(`FAIL ${name}\n     ${error?.stack ?? error}`);
    }
  }
} finally {
  for (const child of children) child.kill('SIGTERM');
  for (const server of servers) server.close();
}
console.log(failed === 0 ? 'all interoperability cases passed' : `${failed} case(s) failed`);
process.exit(failed === 0 ? 0 : 1);
