// What the model server (model_server.mjs) and the cases (chain.mjs) agree on.

// About 1.5 MB of text: escapes, non-ASCII letters and emoji, each line numbered.
export function longText() {
  const lines = [];
  let size = 0;
  for (let line = 1; size < 1_500_000; line += 1) {
    const text = `${line}: naïve "quoted" ✓ tab\there 😀 back\\slash\n`;
    lines.push(text);
    size += Buffer.byteLength(text);
  }
  return lines.join('');
}

// The error object a model server sends mid-stream, naming 503.
export const midStreamError = { message: 'The model is overloaded', type: 'server_error', param: null, code: 503 };
