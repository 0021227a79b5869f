// The whole chain: the official OpenAI Node SDK -> `veilrelay proxy` ->
// veilrelay-router -> a model server (model_server.mjs) that records what it
// receives. The SDK must get the model server's answers and error classes,
// and the model server must get the SDK's chat payload and nothing else.
//
// Environment: PROXY_URL (a proxy in front of the router), PINNED_PROXY_URL
// (one started with --pin and the router's fingerprint), WRONG_PIN_PROXY_URL
// (one pinned to another key), API_KEY (the router's key, given by the SDK),
// UPSTREAM_API_KEY (the router's key for the model server), RECORD_FILE,
// DOWN_PROXY_URL (one started with --lazy in front of a router that is down).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import OpenAI from 'openai';
import { longText, midStreamError } from './shared.mjs';

const { PROXY_URL, PINNED_PROXY_URL, WRONG_PIN_PROXY_URL, DOWN_PROXY_URL, API_KEY, UPSTREAM_API_KEY, RECORD_FILE } =
  process.env;

const sdk = (baseURL, maxRetries = 0) => new OpenAI({ baseURL, apiKey: API_KEY, maxRetries, timeout: 30000 });

// The model server's error object, as the SDK must see it: unchanged.
function assertUpstreamError(error, status) {
  assert.equal(error.status, status);
  assert.equal(error.error?.type, 'upstream_error');
  assert.equal(error.code, `upstream_${status}`);
  assert.equal(error.param, 'messages');
  assert.match(error.message, new RegExp(`upstream refused with ${status}`));
}

function records() {
  if (!fs.existsSync(RECORD_FILE)) return [];
  return fs.readFileSync(RECORD_FILE, 'utf8').split('\n').filter(Boolean).map((line) => JSON.parse(line));
}

// Runs `call` and returns what it resolved to and the one request the model
// server received meanwhile (exactly one: no retries, no extra requests).
async function withUpstream(call) {
  const before = records().length;
  const outcome = await call();
  const seen = records().slice(before);
  assert.equal(seen.length, 1, `the model server got ${seen.length} requests for one call`);
  return { outcome, seen: seen[0] };
}

// What the model server must receive for `params` sent by the SDK: the same
// members in the same order; a streamed call asks the model server for a
// stream with the SDK's stream options, a plain one never does (a
// `stream: false` the router may add is tolerated).
function assertForwarded(seen, params) {
  assert.equal(seen.method, 'POST');
  assert.equal(seen.url, '/v1/chat/completions');
  assert.match(seen.content_type ?? '', /^application\/json/);
  assert.equal(seen.authorization, `Bearer ${UPSTREAM_API_KEY}`, 'the router sends its own model server key');
  const body = JSON.parse(seen.body);
  const { stream, stream_options, ...payload } = params;
  if (stream) {
    assert.equal(body.stream, true, 'a streamed call asks the model server for a stream');
    assert.deepEqual(body.stream_options, stream_options);
    delete body.stream_options;
  } else {
    assert.notEqual(body.stream, true, 'the model server was asked to stream');
  }
  delete body.stream;
  for (const field of ['encrypted_payload', 'encrypted_key', 'iv', 'tag', 'cipher_suite', 'processed_at'])
    assert.ok(!(field in body), `package field ${field} reached the model server`);
  // Compared as text: member order counts, and so does every value.
  assert.equal(JSON.stringify(body), JSON.stringify(payload));
}

const ask = (content, extra = {}) => ({
  model: 'chain-model',
  messages: [
    { role: 'system', content: 'Answer briefly.' },
    { role: 'user', content },
  ],
  ...extra,
});

const cases = {
  async 'a call without streaming returns the model server answer'() {
    const params = ask('plain question "quoted", naïve ✓', { temperature: 0.25, max_tokens: 32 });
    const { outcome: completion, seen } = await withUpstream(() => sdk(PROXY_URL).chat.completions.create(params));
    assert.equal(completion.choices[0].message.content, 'upstream saw: plain question "quoted", naïve ✓');
    assert.equal(completion.choices[0].finish_reason, 'stop');
    assert.match(completion.id, /^chatcmpl-upstream-\d+$/);
    assert.equal(completion.model, 'chain-model');
    assert.deepEqual(completion.usage, { prompt_tokens: 11, completion_tokens: 7, total_tokens: 18 });
    assertForwarded(seen, params);
  },

  async 'a streamed call yields the model server answer as chunks'() {
    const params = ask('streamed question', { stream: true, stream_options: { include_usage: true } });
    const { outcome: stream, seen } = await withUpstream(() => sdk(PROXY_URL).chat.completions.create(params));
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
    assert.equal(content, 'upstream saw: streamed question');
    assert.equal(finish, 'stop');
    assert.deepEqual(usage, { prompt_tokens: 11, completion_tokens: 7, total_tokens: 18 });
    assertForwarded(seen, params);
  },

  async 'a model server that misbehaves on a stream reaches the SDK whole, or as an error in its own words'() {
    // What the SDK yields and raises for each misbehaviour of model_server.mjs.
    const rows = [
      { how: 'whole', content: longText() },
      { how: 'one-event', content: longText() },
      { how: 'error', content: 'so far', error: midStreamError },
      { how: 'not-json', content: 'so far', message: 'Model server sent an event that is not a JSON object' },
      { how: 'cut', content: 'so far', message: 'Model server connection broke off mid-stream, before [DONE]' },
    ];
    for (const row of rows) {
      const params = ask(`misbehave ${row.how}`, { stream: true });
      const { outcome } = await withUpstream(async () => {
        let content = '';
        try {
          const stream = await sdk(PROXY_URL).chat.completions.create(params);
          for await (const chunk of stream) content += chunk.choices[0]?.delta?.content ?? '';
          return { content };
        } catch (error) {
          return { content, error };
        }
      }).catch((error) => {
        throw new Error(`${row.how}: ${error.message}`);
      });
      assert.ok(outcome.content === row.content, `${row.how}: ${outcome.content.length} of ${row.content.length} characters`);
      if (!row.error && !row.message) {
        assert.equal(outcome.error, undefined, `${row.how}: ${outcome.error}`);
        continue;
      }
      assert.ok(outcome.error instanceof OpenAI.APIError, `${row.how}: got ${outcome.error}`);
      if (row.error) assert.deepEqual(outcome.error.error, row.error, `${row.how}: the model server's own error object`);
      else assert.equal(outcome.error.error?.message, row.message, row.how);
    }
  },

  async 'a 429 of the model server raises the SDK rate-limit error with its Retry-After'() {
    const params = ask('fail 429');
    const { outcome: error, seen } = await withUpstream(() =>
      sdk(PROXY_URL).chat.completions.create(params).then(() => null, (e) => e));
    assert.ok(error instanceof OpenAI.RateLimitError, `got ${error?.constructor?.name}: ${error?.message}`);
    assertUpstreamError(error, 429);
    const headers = error.headers;
    assert.equal(typeof headers?.get === 'function' ? headers.get('retry-after') : headers?.['retry-after'], '2');
    assertForwarded(seen, params);
  },

  async 'the SDK waits the model server Retry-After before it retries'() {
    const before = records().length;
    const started = Date.now();
    const error = await sdk(PROXY_URL, 1).chat.completions.create(ask('fail 429')).then(() => null, (e) => e);
    const waited = Date.now() - started;
    assert.ok(error instanceof OpenAI.RateLimitError, `got ${error?.constructor?.name}: ${error?.message}`);
    assert.equal(records().length - before, 2, 'one call and one retry');
    assert.ok(waited >= 1900, `retried after ${waited} ms, not after the 2 s asked`);
  },

  async 'a 404 of the model server raises the SDK not-found error'() {
    const { outcome: error } = await withUpstream(() =>
      sdk(PROXY_URL).chat.completions.create(ask('fail 404')).then(() => null, (e) => e));
    assert.ok(error instanceof OpenAI.NotFoundError, `got ${error?.constructor?.name}: ${error?.message}`);
    assertUpstreamError(error, 404);
  },

  async 'a 500 of the model server raises the SDK server error, never success'() {
    const { outcome: error } = await withUpstream(() =>
      sdk(PROXY_URL).chat.completions.create(ask('fail 500')).then(() => null, (e) => e));
    assert.ok(error instanceof OpenAI.InternalServerError, `got ${error?.constructor?.name}: ${error?.message}`);
    assertUpstreamError(error, 500);
  },

  async 'a 422 of the model server keeps its status'() {
    const { outcome: error } = await withUpstream(() =>
      sdk(PROXY_URL).chat.completions.create(ask('fail 422')).then(() => null, (e) => e));
    assert.ok(error instanceof OpenAI.UnprocessableEntityError, `got ${error?.constructor?.name}: ${error?.message}`);
    assertUpstreamError(error, 422);
  },

  async 'a router that is down is a connection error, not an encryption failure'() {
    const before = records().length;
    const error = await sdk(DOWN_PROXY_URL).chat.completions.create(ask('nobody there')).then(() => null, (e) => e);
    assert.ok(error instanceof OpenAI.APIError, `got ${error?.constructor?.name}`);
    assert.equal(error.status, 502);
    assert.equal(error.error?.type, 'api_connection_error');
    assert.equal(records().length, before);
  },

  async 'the model list is the model server list'() {
    const models = [];
    for await (const model of sdk(PROXY_URL).models.list()) models.push(model.id);
    assert.deepEqual(models, ['chain-model']);
  },

  async 'a proxy pinned to the printed fingerprint reaches the model server'() {
    const params = ask('pinned question');
    const { outcome: completion, seen } = await withUpstream(() =>
      sdk(PINNED_PROXY_URL).chat.completions.create(params));
    assert.equal(completion.choices[0].message.content, 'upstream saw: pinned question');
    assertForwarded(seen, params);
  },

  async 'a proxy pinned to another key sends nothing to the model server'() {
    const before = records().length;
    await assert.rejects(sdk(WRONG_PIN_PROXY_URL).chat.completions.create(ask('must not arrive')), (error) => {
      assert.ok(error instanceof OpenAI.APIError, `got ${error?.constructor?.name}`);
      assert.equal(error.status, 502);
      assert.equal(error.error?.type, 'security_error');
      return true;
    });
    assert.equal(records().length, before, 'the model server got a request through a wrongly pinned proxy');
  },
};

let failed = 0;
for (const [name, run] of Object.entries(cases)) {
  try {
    await run();
    console.log(`ok   ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`FAIL ${name}\n     ${error?.stack ?? error}`);
  }
}
console.log(failed === 0 ? 'all chain cases passed' : `${failed} case(s) failed`);
process.exit(failed === 0 ? 0 : 1);
