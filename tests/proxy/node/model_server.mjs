// A stand-in OpenAI-compatible model server for the router's upstream side.
// Every request is appended to RECORD_FILE as one JSON line (method, URL,
// the headers that matter, the body as received), so the test can compare
// what the model server saw with what the SDK sent. POST /v1/chat/completions
// answers "upstream saw: <last user message>"; a last user message
// "fail NNN" gets status NNN with an error in the common JSON shape (and
// "Retry-After: 2" for 429 and 503). GET /v1/models lists "chain-model"
// and is not recorded (the router asks for it at start).
// A streamed request whose last user message is "misbehave <how>" gets a
// model server that misbehaves (see `misbehave` below); the long texts are
// longText() of shared.mjs.
// Prints its base URL (http://127.0.0.1:PORT/v1) and serves until SIGTERM.
//
// Usage: node model_server.mjs RECORD_FILE
import fs from 'node:fs';
import http from 'node:http';
import { longText, midStreamError } from './shared.mjs';

const recordFile = process.argv[2];
let served = 0;

function reply(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers }).end(JSON.stringify(body));
}

function completion(request, content) {
  served += 1;
  return {
    id: `chatcmpl-upstream-${served}`,
    object: 'chat.completion',
    created: Math.floor(Date.now() / 1000),
    model: request.model,
    choices: [{ index: 0, message: { role: 'assistant', content }, finish_reason: 'stop' }],
    usage: { prompt_tokens: 11, completion_tokens: 7, total_tokens: 18 },
  };
}

const chunk = (request, delta, finishReason = null) => ({
  id: 'chatcmpl-stream',
  object: 'chat.completion.chunk',
  created: Math.floor(Date.now() / 1000),
  model: request.model,
  choices: [{ index: 0, delta, finish_reason: finishReason }],
});

// The ways a model server answers a streamed request that the router must
// carry as they are: whole (1.5 MB), one 1.5 MB event, "so far" and then an
// error object, an event that is not JSON, or a cut connection.
function misbehave(res, request, how) {
  if (how === 'whole') {
    reply(res, 200, completion(request, longText()));
    return;
  }
  res.writeHead(200, { 'Content-Type': 'text/event-stream', ...(how === 'error' ? { 'Retry-After': '7' } : {}) });
  const send = (data) => res.write(`data: ${typeof data === 'string' ? data : JSON.stringify(data)}\n\n`);
  if (how === 'one-event') {
    send(chunk(request, { role: 'assistant', content: longText() }, 'stop'));
    send('[DONE]');
    res.end();
    return;
  }
  send(chunk(request, { role: 'assistant', content: 'so far' }));
  if (how === 'error') send({ error: midStreamError });
  else if (how === 'not-json') send('{"choices": [oops');
  // Cut: the connection closes once what was written is sent; the chunked body never ends.
  if (how === 'cut') res.socket.end();
  else res.end();
}

const server = http.createServer((req, res) => {
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    const body = Buffer.concat(chunks).toString('utf8');
    if (req.method === 'GET' && req.url === '/v1/models') {
      reply(res, 200, { object: 'list', data: [{ id: 'chain-model', object: 'model', created: 0, owned_by: 'chain' }] });
      return;
    }
    fs.appendFileSync(recordFile, JSON.stringify({
      method: req.method,
      url: req.url,
      content_type: req.headers['content-type'] ?? null,
      authorization: req.headers.authorization ?? null,
      body,
    }) + '\n');
    if (req.method !== 'POST' || req.url !== '/v1/chat/completions') {
      reply(res, 404, { error: { message: 'Not Found', type: 'invalid_request_error' } });
      return;
    }
    let request;
    try {
      request = JSON.parse(body);
    } catch {
      reply(res, 400, { error: { message: 'body is not JSON', type: 'invalid_request_error' } });
      return;
    }
    const users = (request.messages ?? []).filter((m) => m.role === 'user');
    const last = String(users.at(-1)?.content ?? '');
    const failure = /^fail (\d{3})$/.exec(last);
    if (failure) {
      const status = Number(failure[1]);
      const error = { message: `upstream refused with ${status}`, type: 'upstream_error', param: 'messages', code: `upstream_${status}` };
      reply(res, status, { error }, status === 429 || status === 503 ? { 'Retry-After': '2' } : {});
      return;
    }
    const misbehaviour = /^misbehave (.+)$/.exec(last);
    if (misbehaviour && request.stream) {
      misbehave(res, request, misbehaviour[1]);
      return;
    }
    reply(res, 200, completion(request, `upstream saw: ${last}`));
  });
});

server.listen(0, '127.0.0.1', () => {
  console.log(`http://127.0.0.1:${server.address().port}/v1`);
});
process.on('SIGTERM', () => server.close(() => process.exit(0)));
