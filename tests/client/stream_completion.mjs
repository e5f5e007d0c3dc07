// Usage: node stream_completion.mjs PORT
// Streams one chat completion from the server at 127.0.0.1:PORT with the official client and
// prints the model list's first id on the first line, then the concatenated text as JSON.
import OpenAI from "openai";

const port = process.argv[2];
const client = new OpenAI({
  baseURL: `http://127.0.0.1:${port}/v1`,
  apiKey: "unused",
  timeout: 60_000,
  maxRetries: 0,
});

const models = await client.models.list();
const ids = [];
for await (const model of models) ids.push(model.id);

const stream = await client.chat.completions.create({
  model: ids[0],
  messages: [{ role: "user", content: "Once upon a time" }],
  max_tokens: 24,
  temperature: 0,
  stream: true,
});
let text = "";
let chunks = 0;
for await (const chunk of stream) {
  chunks += 1;
  text += chunk.choices[0]?.delta?.content ?? "";
}
console.log(ids.join(","));
console.log(JSON.stringify({ chunks, text }));
