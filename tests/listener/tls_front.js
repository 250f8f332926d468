'use strict';
// A TLS front for the bundled server, as a hosted server has one: HTTPS on a
// port the system chooses, each request passed on over plain HTTP, both
// bodies streamed. Prints "port N" once it listens and, for every request it
// passes on, "forwarded METHOD URL host=HOST".
// Usage: node tls_front.js KEY.pem CERT.pem UPSTREAM_PORT
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');

const [keyFile, certFile, upstreamPort] = process.argv.slice(2);
const agent = new http.Agent({ keepAlive: true });
const hopByHop = new Set(['connection', 'keep-alive', 'proxy-connection', 'transfer-encoding',
  'upgrade', 'te', 'trailer']);

function endToEnd(headers) {
  const kept = {};
  for (const [name, value] of Object.entries(headers)) {
    if (!hopByHop.has(name)) kept[name] = value;
  }
  return kept;
}

const server = https.createServer({
  key: fs.readFileSync(keyFile),
  cert: fs.readFileSync(certFile),
}, (req, res) => {
  process.stdout.write(`forwarded ${req.method} ${req.url} host=${req.headers.host}\n`);
  const upstream = http.request({
    host: '127.0.0.1', port: Number(upstreamPort), method: req.method, path: req.url,
    headers: endToEnd(req.headers), agent,
  }, (answer) => {
    res.writeHead(answer.statusCode, endToEnd(answer.headers));
    // Change feeds: every piece as it comes.
    res.flushHeaders();
    answer.pipe(res);
  });
  upstream.on('error', () => res.destroy());
  res.on('close', () => { if (!res.writableFinished) upstream.destroy(); });
  req.pipe(upstream);
});
server.keepAliveTimeout = 30000;
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`port ${server.address().port}\n`);
});
process.on('SIGTERM', () => process.exit(0));
