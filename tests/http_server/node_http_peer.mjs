// The other side of the differential test: Node's own HTTP server (its
// default, strict parser) on 127.0.0.1 reads each input of a corpus on a
// connection of its own, and this writes down what it made of it.
//
//   node node_http_peer.mjs CORPUS.json OUT.json
//
// CORPUS.json: an array of inputs, each in hex. OUT.json: per input
// {"requests": [{"method", "url", "rawHeaders", "body"}], "error"}, every
// string the bytes as received in hex, "error" the parser's error code when
// it refused the input (else null). A request counts once its body is read.
import http from 'node:http';
import net from 'node:net';
import { readFileSync, writeFileSync } from 'node:fs';

const [corpusFile, outFile] = process.argv.slice(2);
const inputs = JSON.parse(readFileSync(corpusFile, 'utf8')).map((text) => Buffer.from(text, 'hex'));
// Node hands over the head's bytes as latin1 strings: back to the bytes.
const bytes = (text) => Buffer.from(text, 'latin1').toString('hex');

let current = null;  // the record of the input being read
function onRequest(req, res) {
  const record = current;
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    record.requests.push({
      method: bytes(req.method),
      url: bytes(req.url),
      rawHeaders: req.rawHeaders.map(bytes),
      body: Buffer.concat(chunks).toString('hex'),
    });
    res.end('ok');
  });
}
const server = http.createServer({ maxHeaderSize: 256 * 1024 }, onRequest);
// An Expect other than 100-continue is the server's business (417), not the
// parser's: such requests are read like the others.
server.on('checkExpectation', onRequest);
server.on('clientError', (err, socket) => {
  if (current && current.error === null) current.error = err.code || String(err);
  socket.destroy();
});
// Neither is in the corpus; were one parsed, it shows as a refusal of its own.
for (const event of ['upgrade', 'connect']) {
  server.on(event, (req, socket) => {
    if (current) current.error = event;
    socket.destroy();
  });
}

await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const { port } = server.address();

// One connection per input: the whole input, then the end of the stream;
// done when the server has closed (or after a few seconds).
function feed(input) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    const timer = setTimeout(() => socket.destroy(), 3000);
    socket.on('connect', () => socket.end(input));
    socket.on('data', () => {});
    socket.on('error', () => {});
    socket.on('close', () => {
      clearTimeout(timer);
      // Let the server's own events for this connection run first.
      setTimeout(resolve, 5);
    });
  });
}

const results = [];
for (const input of inputs) {
  current = { requests: [], error: null };
  await feed(input);
  results.push(current);
}
server.close();
writeFileSync(outFile, JSON.stringify(results));
