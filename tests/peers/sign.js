// Signs a list of requests with the aws4 package, for comparison with the agent's
// own signer. Input (file named by the first argument): a JSON array of
// { method, target, headers, region, service, accessKeyId, secretAccessKey }
// where target is the encoded path with its query and headers include X-Amz-Date
// and X-Amz-Content-Sha256. Output: a JSON array of { authorization, canonical }.
'use strict';
const fs = require('fs');
const path = require('path');
const aws4 = require(path.join(__dirname, 'node_modules', 'aws4'));

const cases = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const results = cases.map((c) => {
  const request = {
    method: c.method,
    path: c.target,
    headers: Object.assign({}, c.headers),
    service: c.service,
    region: c.region,
  };
  const credentials = { accessKeyId: c.accessKeyId, secretAccessKey: c.secretAccessKey };
  const signer = new aws4.RequestSigner(request, credentials);
  const canonical = signer.canonicalString();
  signer.sign();
  return { authorization: request.headers.Authorization, canonical };
});
process.stdout.write(JSON.stringify(results));
