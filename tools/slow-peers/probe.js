#!/usr/bin/env node
// A normal client: one request after another on one keep-alive connection for
// SECONDS, each timed from sending to the last byte of its answer.
// Usage: node probe.js URL SECONDS
// Prints: requests=N bad=N p50_ms=… p99_ms=… max_ms=…
'use strict';
const http = require('http');

const url = new URL(process.argv[2] || 'http://127.0.0.1:5555/api/get_device_info');
const seconds = Number(process.argv[3] || 60);
const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
const latencies = [];
let bad = 0;
const end = Date.now() + seconds * 1000;

function once() {
  if (Date.now() >= end) {
    latencies.sort((a, b) => a - b);
    const at = (q) => latencies[Math.min(latencies.length - 1, Math.floor(latencies.length * q))];
    console.log(`requests=${latencies.length} bad=${bad} p50_ms=${at(0.5).toFixed(3)} ` +
                `p99_ms=${at(0.99).toFixed(3)} max_ms=${latencies[latencies.length - 1].toFixed(3)}`);
    agent.destroy();
    return;
  }
  const start = process.hrtime.bigint();
  const request = http.get(url, { agent, timeout: 5000 }, (response) => {
    response.resume();
    response.on('end', () => {
      latencies.push(Number(process.hrtime.bigint() - start) / 1e6);
      if (response.statusCode !== 200) bad++;
      once();
    });
  });
  request.on('timeout', () => request.destroy(new Error('timeout')));
  request.on('error', () => {
    latencies.push(Number(process.hrtime.bigint() - start) / 1e6);
    bad++;
    once();
  });
}
once();
