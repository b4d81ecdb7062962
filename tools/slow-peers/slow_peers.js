#!/usr/bin/env node
// Holds many connections to the agent's local API open at once, of three kinds,
// each opened again as soon as the agent ends it:
//   silent     connects and sends nothing
//   trickle    sends the start of a request, then one byte every half second
//   nonreader  pipelines requests and never reads a byte of the answers
// Usage: node slow_peers.js PORT COUNT [KINDS]  (COUNT split evenly over the kinds,
// KINDS a comma list of them, all three by default).
// Prints how many of each are open every 10 s, on standard error.
'use strict';
const net = require('net');

const port = Number(process.argv[2] || 5555);
const count = Number(process.argv[3] || 1000);
const kinds = (process.argv[4] || 'silent,trickle,nonreader').split(',');
const open = { silent: 0, trickle: 0, nonreader: 0 };
const reopened = { silent: 0, trickle: 0, nonreader: 0 };
// Several megabytes of answers: more than the socket buffers hold.
const pipelined = 'GET /api/agent/get_status HTTP/1.1\r\nHost: agent\r\n\r\n'.repeat(2000);
// A paused socket never sees the agent close it, so a non-reader starts over on
// its own once the agent's send timeout (10 s) has surely passed.
const nonreaderLifeMs = 15000;

function connect(kind) {
  const socket = net.connect({ host: '127.0.0.1', port });
  let timer = null;
  let counted = false;
  socket.on('connect', () => {
    counted = true;
    open[kind]++;
    if (kind === 'trickle') {
      socket.write('POST /api/agent/get_config HTTP/1.1\r\nHost: agent\r\nX-Slow: ');
      timer = setInterval(() => socket.write('a'), 500);
    } else if (kind === 'nonreader') {
      socket.pause();
      socket.write(pipelined);
      timer = setTimeout(() => socket.destroy(), nonreaderLifeMs);
    }
  });
  socket.on('error', () => {});
  socket.on('close', () => {
    if (timer) clearInterval(timer);  // clears a timeout as well
    if (counted) open[kind]--;
    reopened[kind]++;
    setTimeout(() => connect(kind), 50);
  });
}

for (let i = 0; i < count; i++) {
  connect(kinds[i % kinds.length]);
}
setInterval(() => {
  process.stderr.write(`open ${JSON.stringify(open)} reopened ${JSON.stringify(reopened)}\n`);
}, 10000);
