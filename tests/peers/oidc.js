// An independent OAuth 2.0 token endpoint on loopback: the oidc-provider package with
// the client-credentials grant for client "device", on the token path the agent uses.
//   node oidc.js <port> <client secret> [access token ttl in seconds]
// Prints "oidc-provider listening on http://127.0.0.1:<port>" when ready; SIGTERM or
// SIGINT ends it with status 0.
'use strict';
const path = require('path');
const { pathToFileURL } = require('url');

const [portText, secret, ttlText] = process.argv.slice(2);
const port = Number(portText);
if (!Number.isInteger(port) || port <= 0 || port > 65535 || !secret) {
  process.stderr.write('usage: node oidc.js <port> <client secret> [access token ttl in seconds]\n');
  process.exit(2);
}
const ttl = ttlText === undefined ? undefined : Number(ttlText);
if (ttl !== undefined && (!Number.isInteger(ttl) || ttl <= 0)) {
  process.stderr.write('the access token ttl must be a positive whole number of seconds\n');
  process.exit(2);
}

async function main() {
  // oidc-provider 8 is an ES module; this script stays CommonJS like its neighbours.
  const entry = pathToFileURL(path.join(__dirname, 'node_modules', 'oidc-provider', 'lib', 'index.js'));
  const { default: Provider } = await import(entry.href);
  const issuer = `http://127.0.0.1:${port}`;
  const configuration = {
    clients: [{
      client_id: 'device',
      client_secret: secret,
      grant_types: ['client_credentials'],
      redirect_uris: [],
      response_types: [],
      token_endpoint_auth_method: 'client_secret_post',
    }],
    features: {
      clientCredentials: { enabled: true },
      devInteractions: { enabled: false },
    },
    routes: { token: '/auth/realms/Velmora/protocol/openid-connect/token' },
    // Only the token endpoint is used; fixed keys keep the start-up quiet.
    cookies: { keys: ['orvix-test-peer'] },
  };
  if (ttl !== undefined) {
    configuration.ttl = { ClientCredentials: ttl };
  }
  const provider = new Provider(issuer, configuration);
  const server = provider.listen(port, '127.0.0.1', () => {
    process.stdout.write(`oidc-provider listening on ${issuer}\n`);
  });
  server.on('error', (error) => {
    process.stderr.write(`oidc-provider: ${error.message}\n`);
    process.exit(1);
  });
  const stop = () => server.close(() => process.exit(0));
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

main().catch((error) => {
  process.stderr.write(`oidc-provider: ${error.stack || error}\n`);
  process.exit(1);
});
