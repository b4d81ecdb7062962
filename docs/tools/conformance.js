#!/usr/bin/env node
// Checks docs/openapi.yaml against the agent, in three parts:
//
//   --part static      the document against the agent's own tables (routes, error
//                      codes, seeded configuration) and its examples against its schemas
//   --part live        every documented call with its documented example against a
//                      running agent with the module simulator behind it, each answer
//                      validated against the schema documented for its status; then the
//                      documented error answers, wrong methods and unknown paths
//   --part monitoring  the same for the /api/monitoring/ registry pass-through
//
// Every check prints one line: "ok", "FAIL" or "NOT CHECKED" (with the reason). The
// exit status is 1 when any check failed.
//
//   node conformance.js --doc docs/openapi.yaml --tables DIR --part static
//   node conformance.js --doc docs/openapi.yaml --tables DIR --part live \
//        --agent 127.0.0.1:5555 --module 127.0.0.1:PORT
//
// DIR holds what the C++ side dumped from the agent's code: routes.txt ("METHOD path"
// per route), error_codes.json ([{code, text}]) and seed_config.json ({key: value} of a
// freshly migrated database whose images folder is "$HOME/Documents/VELMORA/OrvixAgent/images").
'use strict';

const fs = require('fs');
const http = require('http');
const path = require('path');
const YAML = require('yaml');
const Ajv2020 = require('ajv/dist/2020');
const addFormats = require('ajv-formats');

// ---------------------------------------------------------------- arguments, report

function parseArgs(argv) {
    const args = {};
    for (let i = 0; i < argv.length; i += 2) {
        if (!argv[i].startsWith('--') || i + 1 >= argv.length) {
            throw new Error(`bad argument ${argv[i]}`);
        }
        args[argv[i].slice(2)] = argv[i + 1];
    }
    for (const required of ['doc', 'tables', 'part']) {
        if (!args[required]) {
            throw new Error(`--${required} is required`);
        }
    }
    return args;
}

const tally = {passed: 0, failed: 0, unchecked: 0};
function ok(what) {
    tally.passed++;
    console.log(`ok   ${what}`);
}
function fail(what, why) {
    tally.failed++;
    console.log(`FAIL ${what}: ${why}`);
}
function notChecked(what, why) {
    tally.unchecked++;
    console.log(`NOT CHECKED ${what}: ${why}`);
}
function check(what, problems) {
    if (problems.length === 0) {
        ok(what);
    } else {
        fail(what, problems.join('; '));
    }
}

// ---------------------------------------------------------------- the document

const METHODS = ['get', 'put', 'post', 'delete', 'options', 'head', 'patch', 'trace'];
const COMPONENTS_ID = 'urn:orvix:api-components';
const MONITORING = '/api/monitoring/';

function pointer(doc, ref) {
    if (!ref.startsWith('#/')) {
        throw new Error(`only local references are used: ${ref}`);
    }
    return ref
        .slice(2)
        .split('/')
        .map(part => part.replace(/~1/g, '/').replace(/~0/g, '~'))
        .reduce((node, key) => {
            if (node === undefined || !(key in node)) {
                throw new Error(`unresolved reference ${ref}`);
            }
            return node[key];
        }, doc);
}

// A response, request body or parameter, with its $ref followed.
function deref(doc, object) {
    return object && object.$ref ? deref(doc, pointer(doc, object.$ref)) : object;
}

// Schema references point into one registered schema holding every component.
function rewriteRefs(node, prefix) {
    if (Array.isArray(node)) {
        return node.map(item => rewriteRefs(item, prefix));
    }
    if (node && typeof node === 'object') {
        const out = {};
        for (const [key, value] of Object.entries(node)) {
            if (key === '$ref' && typeof value === 'string' && value.startsWith('#/components/schemas/')) {
                out[key] = prefix + '#/$defs/' + value.slice('#/components/schemas/'.length);
            } else {
                out[key] = rewriteRefs(value, prefix);
            }
        }
        return out;
    }
    return node;
}

function loadDocument(file) {
    const doc = YAML.parse(fs.readFileSync(file, 'utf8'));
    const ajv = new Ajv2020({strict: true, strictTypes: false, allErrors: true});
    addFormats(ajv);
    // The document's own mark of configuration keys that a fresh database does not hold.
    ajv.addKeyword({keyword: 'x-seeded', schemaType: 'boolean'});
    ajv.addSchema({$id: COMPONENTS_ID, $defs: rewriteRefs(doc.components.schemas, '')});
    const compiled = new Map();
    const validator = schema => {
        if (!compiled.has(schema)) {
            compiled.set(schema, ajv.compile(rewriteRefs(schema, COMPONENTS_ID)));
        }
        return compiled.get(schema);
    };
    const operations = [];
    for (const [template, item] of Object.entries(doc.paths)) {
        const shared = (item.parameters || []).map(p => deref(doc, p));
        for (const method of METHODS) {
            const op = item[method];
            if (!op) {
                continue;
            }
            const responses = {};
            for (const [status, response] of Object.entries(op.responses || {})) {
                responses[status] = deref(doc, response);
            }
            operations.push({
                id: op.operationId,
                method: method.toUpperCase(),
                template,
                parameters: shared.concat((op.parameters || []).map(p => deref(doc, p))),
                requestBody: deref(doc, op.requestBody),
                responses,
            });
        }
    }
    return {doc, operations, validator};
}

function schemaProblems(validator, schema, value) {
    const validate = validator(schema);
    if (validate(value)) {
        return [];
    }
    return validate.errors.slice(0, 6).map(e => `${e.instancePath || '(answer)'} ${e.message}`);
}

function isBinarySchema(schema) {
    return Boolean(schema && schema.type === 'string' && schema.contentMediaType &&
                   !/json/.test(schema.contentMediaType));
}

// The examples of a media type (the single `example`, or each of `examples`).
function mediaExamples(media) {
    if (!media) {
        return [];
    }
    if ('example' in media) {
        return [{name: 'example', value: media.example}];
    }
    return Object.entries(media.examples || {}).map(([name, example]) => ({name, value: example.value}));
}

// ---------------------------------------------------------------- static part

function normalisePath(p) {
    return p.replace(/\{[^}]*\}/g, '{}');
}

function checkRoutes(api, routesFile) {
    const served = fs.readFileSync(routesFile, 'utf8').split('\n').filter(Boolean).map(line => {
        const [method, route] = line.split(' ');
        return {method, path: normalisePath(route)};
    });
    const monitoringServed = served.some(r => r.path.startsWith(MONITORING));
    const inScope = p => monitoringServed || !p.startsWith(MONITORING);
    if (!monitoringServed) {
        const documented = api.operations.filter(op => op.template.startsWith(MONITORING)).length;
        notChecked('route table: the /api/monitoring/ family',
                   `this build serves none of its routes (the registry pass-through is not wired in yet); ` +
                   `the document lists ${documented}`);
    }
    const documented = api.operations.map(op => ({method: op.method, path: normalisePath(op.template), id: op.id}));
    for (const route of served.filter(r => inScope(r.path))) {
        const what = `route table: ${route.method} ${route.path} is documented`;
        const matching = documented.filter(op => op.path === route.path &&
                                                 (route.method === '*' || op.method === route.method));
        if (route.method === '*' && !matching.some(op => op.method === 'GET')) {
            fail(what, 'a route answering every method needs at least its GET documented');
        } else {
            check(what, matching.length ? [] : ['the agent serves it, the document lacks it']);
        }
    }
    for (const op of documented.filter(o => inScope(o.path))) {
        const servedBy = served.some(r => r.path === op.path && (r.method === '*' || r.method === op.method));
        check(`route table: documented ${op.method} ${op.path} (${op.id}) is served`,
              servedBy ? [] : ['documented, but the agent serves no such route']);
    }
    const ids = api.operations.map(op => op.id);
    check('every operation has a unique operationId',
          ids.filter((id, i) => !id || ids.indexOf(id) !== i).map(id => `duplicate or missing: ${id}`));
}

// The table of the "Result codes" section: [{code, text}].
function resultCodeTable(api) {
    const tag = api.doc.tags.find(t => t.name === 'Result codes');
    return (tag ? tag.description : '').split('\n')
        .map(line => /^\|\s*(-?\d+)\s*\|\s*([^|]*?)\s*\|/.exec(line))
        .filter(Boolean)
        .map(match => ({code: Number(match[1]), text: match[2]}));
}

function documentedCodes(api) {
    return api.doc.components.schemas.ErrorCode.enum;
}

function checkErrorCodes(api, codesFile) {
    const agent = JSON.parse(fs.readFileSync(codesFile, 'utf8'));
    const table = resultCodeTable(api);
    const problems = [];
    for (const {code, text} of agent) {
        const row = table.find(r => r.code === code);
        if (!row) {
            problems.push(`${code} "${text}" is missing from the table`);
        } else if (row.text !== text) {
            problems.push(`${code} reads "${row.text}", the agent's text is "${text}"`);
        }
    }
    for (const row of table.filter(r => !agent.some(a => a.code === r.code))) {
        problems.push(`${row.code} is not a code of the agent's table`);
    }
    check(`error codes: the ${table.length} rows of "Result codes" are the agent's table with its texts`, problems);
    const listed = documentedCodes(api);
    check('error codes: the ErrorCode enum lists exactly the codes of the table',
          JSON.stringify(listed) === JSON.stringify(table.map(r => r.code))
              ? [] : [`enum ${listed.join(',')} differs from the table`]);
}

function jsonType(value) {
    if (Number.isInteger(value)) {
        return 'integer';
    }
    return typeof value === 'number' ? 'number' : typeof value;
}

function checkSeededConfiguration(api, seedFile) {
    const seed = JSON.parse(fs.readFileSync(seedFile, 'utf8'));
    const properties = api.doc.components.schemas.Configuration.properties;
    const planned = key => /^\(planned\)/.test(properties[key].description || '');
    for (const [key, value] of Object.entries(seed)) {
        const what = `configuration: seeded key ${key}`;
        const documented = properties[key];
        if (!documented) {
            fail(what, `seeded with ${JSON.stringify(value)} but not documented`);
            continue;
        }
        const problems = [];
        if (documented.type !== jsonType(value)) {
            problems.push(`documented as ${documented.type}, seeded as ${jsonType(value)}`);
        }
        if ('default' in documented && documented.default !== value) {
            problems.push(`documented default ${JSON.stringify(documented.default)}, seeded ${JSON.stringify(value)}`);
        }
        if (!('default' in documented)) {
            problems.push(`seeded with ${JSON.stringify(value)}, the document gives no default`);
        }
        if (documented['x-seeded'] === false) {
            problems.push('documented as not seeded (x-seeded: false)');
        }
        if (planned(key) && problems.length === 0) {
            console.log(`note ${key} is seeded now: its "(planned)" mark can go`);
        }
        check(what, problems);
    }
    for (const key of Object.keys(properties).filter(k => !(k in seed))) {
        if (properties[key]['x-seeded'] === false) {
            // A key whose absence means its default: nothing in the database to compare.
            const documented = properties[key];
            check(`configuration: unseeded key ${key} documents its default`,
                  'default' in documented && jsonType(documented.default) === documented.type
                      ? [] : ['no default of its documented type']);
        } else if (planned(key)) {
            notChecked(`configuration: planned key ${key}`, 'this build does not seed it');
        } else {
            fail(`configuration: documented key ${key}`, 'a fresh installation does not have it');
        }
    }
}

function checkExamples(api) {
    const schemaExamples = (name, schema) => {
        for (const [i, value] of (schema.examples || []).entries()) {
            if (typeof value === 'object' && value !== null) {
                check(`example: schema ${name} examples[${i}]`, schemaProblems(api.validator, schema, value));
            }
        }
    };
    for (const [name, schema] of Object.entries(api.doc.components.schemas)) {
        schemaExamples(name, schema);
    }
    for (const op of api.operations) {
        for (const param of op.parameters) {
            if ('example' in param) {
                check(`example: ${op.id} parameter ${param.name}`,
                      schemaProblems(api.validator, param.schema, param.example));
            }
        }
        const media = [];
        for (const [type, m] of Object.entries((op.requestBody || {}).content || {})) {
            media.push({where: `request ${type}`, type, m});
        }
        for (const [status, response] of Object.entries(op.responses)) {
            for (const [type, m] of Object.entries(response.content || {})) {
                media.push({where: `${status} ${type}`, type, m});
            }
        }
        for (const {where, type, m} of media) {
            if (!/json/.test(type) || isBinarySchema(m.schema)) {
                continue;
            }
            for (const example of mediaExamples(m)) {
                check(`example: ${op.id} ${where} ${example.name}`,
                      schemaProblems(api.validator, m.schema, example.value));
            }
        }
    }
}

// ---------------------------------------------------------------- HTTP

function exchange(hostPort, method, target, body, headers, timeoutMs = 20000) {
    const [host, port] = hostPort.split(':');
    return new Promise((resolve, reject) => {
        const request = http.request({host, port: Number(port), method, path: target, agent: false, headers},
                                     response => {
            const chunks = [];
            response.on('data', chunk => chunks.push(chunk));
            response.on('end', () => resolve({
                status: response.statusCode,
                reason: response.statusMessage,
                headers: response.headers,
                body: Buffer.concat(chunks),
            }));
        });
        request.setTimeout(timeoutMs, () => request.destroy(new Error(`no answer within ${timeoutMs} ms`)));
        request.on('error', reject);
        if (body !== undefined && body !== null) {
            request.write(body);
        }
        request.end();
    });
}

function jsonRequest(value) {
    const body = Buffer.from(typeof value === 'string' ? value : JSON.stringify(value));
    return {body, headers: {'Content-Type': 'application/json', 'Content-Length': body.length}};
}

function multipartRequest(fields) {
    const boundary = 'orvixconformance' + Date.now().toString(16);
    const parts = [];
    for (const [name, content] of Object.entries(fields)) {
        parts.push(Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="${name}"; ` +
                               `filename="${name}.evo"\r\nContent-Type: application/octet-stream\r\n\r\n`));
        parts.push(Buffer.isBuffer(content) ? content : Buffer.from(String(content)));
        parts.push(Buffer.from('\r\n'));
    }
    parts.push(Buffer.from(`--${boundary}--\r\n`));
    const body = Buffer.concat(parts);
    return {
        body,
        headers: {'Content-Type': `multipart/form-data; boundary=${boundary}`, 'Content-Length': body.length},
    };
}

function fillPath(op) {
    return op.template.replace(/\{([^}]*)\}/g, (_, name) => {
        const param = op.parameters.find(p => p.in === 'path' && p.name === name);
        if (!param || !('example' in param)) {
            throw new Error(`${op.id}: path parameter ${name} has no example`);
        }
        return encodeURIComponent(param.example);
    });
}

// ---------------------------------------------------------------- validating an answer

const observedCodes = [];

function responseFor(op, status) {
    const key = String(status);
    return op.responses[key] || op.responses[`${key[0]}XX`] || op.responses.default;
}

// Problems of one answer measured against the operation's documented responses.
function answerProblems(api, op, answer) {
    const problems = [];
    const response = responseFor(op, answer.status);
    if (!response) {
        return [`status ${answer.status} is not documented (body ${preview(answer.body)})`];
    }
    if (answer.headers['content-length'] === undefined) {
        problems.push('no Content-Length');
    }
    const content = response.content;
    if (!content) {
        if (answer.body.length !== 0) {
            problems.push(`documented without a body, got ${preview(answer.body)}`);
        }
        return problems;
    }
    const type = (answer.headers['content-type'] || '').split(';')[0].trim();
    const media = content[type];
    if (!media) {
        return problems.concat([`content type "${type}" is not documented for ${answer.status} ` +
                                `(${Object.keys(content).join(', ')})`]);
    }
    if (isBinarySchema(media.schema) || !/json/.test(type)) {
        answer.binary = true;
        if (media.schema && media.schema.contentMediaType === 'image/jpeg' &&
            !(answer.body.length > 3 && answer.body[0] === 0xff && answer.body[1] === 0xd8 &&
              answer.body[2] === 0xff)) {
            problems.push('documented as a JPEG picture, the bytes are not one');
        }
        return problems;
    }
    let value;
    try {
        value = JSON.parse(answer.body.toString('utf8'));
    } catch (error) {
        return problems.concat([`not JSON: ${preview(answer.body)}`]);
    }
    answer.json = value;
    if (value && typeof value === 'object' && Number.isInteger(value.code)) {
        observedCodes.push({code: value.code, where: op.id});
    }
    return problems.concat(schemaProblems(api.validator, media.schema, value));
}

function preview(buffer) {
    const text = buffer.toString('utf8');
    return JSON.stringify(text.length > 120 ? text.slice(0, 120) + '...' : text);
}

function expectationProblems(answer, expect) {
    const problems = [];
    if (expect.status !== undefined && answer.status !== expect.status) {
        problems.push(`status ${answer.status}, expected ${expect.status}`);
    }
    // Bytes (a picture, a package) carry no code.
    if (expect.code !== undefined && !answer.binary) {
        const wanted = [].concat(expect.code);
        const code = answer.json ? answer.json.code : undefined;
        if (!wanted.includes(code)) {
            problems.push(`code ${code}, expected ${wanted.join(' or ')}`);
        }
    }
    return problems;
}

// ---------------------------------------------------------------- the live calls

class Live {
    constructor(api, args) {
        this.api = api;
        this.agent = args.agent;
        this.module = args.module;
        this.called = new Set();
    }

    op(id) {
        const op = this.api.operations.find(o => o.id === id);
        if (!op) {
            throw new Error(`the document has no operation ${id}`);
        }
        return op;
    }

    // The documented request of `op` for one example: path, headers and body.
    request(op, example, fileOverride) {
        const media = (op.requestBody || {}).content || {};
        if (media['application/json']) {
            return {target: fillPath(op), ...jsonRequest(example.value)};
        }
        if (media['multipart/form-data']) {
            const fields = {...example.value};
            if (fileOverride) {
                fields.file = fileOverride;
            }
            return {target: fillPath(op), ...multipartRequest(fields)};
        }
        return {target: fillPath(op), body: undefined, headers: {}};
    }

    examplesOf(op) {
        const media = (op.requestBody || {}).content || {};
        const first = Object.values(media)[0];
        const examples = mediaExamples(first);
        if (first && examples.length === 0) {
            throw new Error(`${op.id}: the request body has no example`);
        }
        return examples.length ? examples : [{name: 'no body', value: undefined}];
    }

    async call(op, request, label, expect) {
        const what = `${op.method} ${request.target} (${label})`;
        let answer;
        try {
            answer = await exchange(this.agent, op.method, request.target, request.body, request.headers);
        } catch (error) {
            fail(what, `no answer: ${error.message}`);
            return null;
        }
        const problems = answerProblems(this.api, op, answer).concat(expectationProblems(answer, expect));
        check(`${what} -> ${answer.status}${answer.json && 'code' in answer.json ? ` code ${answer.json.code}` : ''}`,
              problems);
        return answer;
    }

    // Every documented example of the operation, expected to succeed.
    async documented(id, {expect = {status: 200, code: 0}, file} = {}) {
        const op = this.op(id);
        this.called.add(id);
        let last = null;
        for (const example of this.examplesOf(op)) {
            const label = example.name === 'example' ? 'documented example' : `example ${example.name}`;
            last = await this.call(op, this.request(op, example, file), label, expect);
        }
        return last;
    }

    // A documented error answer, produced on purpose.
    async probe(id, label, {body, contentType, target, expect}) {
        const op = this.op(id);
        const request = {target: target || fillPath(op), headers: {}, body: undefined};
        if (body !== undefined) {
            request.body = Buffer.isBuffer(body) ? body : Buffer.from(body);
            request.headers = {'Content-Type': contentType || 'application/json', 'Content-Length': request.body.length};
        }
        return this.call(op, request, label, expect);
    }

    async simFault(fault) {
        const body = JSON.stringify(fault);
        const answer = await exchange(this.module, 'POST', '/control/fault', body,
                                      {'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body)});
        if (answer.status !== 200) {
            throw new Error(`the simulator refused the fault ${body}: ${answer.body}`);
        }
    }

    // Polls a job's documented status command until it reports `done` (bounded).
    async waitForJob(statusId, done) {
        const op = this.op(statusId);
        for (let attempt = 0; attempt < 100; ++attempt) {
            const answer = await exchange(this.agent, 'GET', fillPath(op));
            const value = JSON.parse(answer.body.toString('utf8'));
            if (value.code === 0 && value.status === done) {
                return value;
            }
            await new Promise(resolve => setTimeout(resolve, 100));
        }
        throw new Error(`${statusId} did not reach status ${done}`);
    }

    // A path the document lists, with a method it does not list for that path.
    async wrongMethods(inScope) {
        const byPath = new Map();
        for (const op of this.api.operations.filter(o => inScope(o.template))) {
            if (!byPath.has(op.template)) {
                byPath.set(op.template, {sample: op, methods: new Set()});
            }
            byPath.get(op.template).methods.add(op.method);
        }
        for (const [template, {sample, methods}] of byPath) {
            if (template.startsWith('/download/')) {
                continue;  // answers every method
            }
            if (template === '/') {
                continue;  // outside /api/: other methods get no answer (see unanswered below)
            }
            if (template === '/api/monitoring/devices/models' || template === '/api/monitoring/devices/data') {
                continue;  // other methods reach the /devices/{id} rows with that text as the id
            }
            const target = fillPath(sample);
            const problems = [];
            for (const method of ['GET', 'POST', 'PUT', 'PATCH', 'DELETE'].filter(m => !methods.has(m))) {
                const answer = await exchange(this.agent, method, target, '{}',
                                              {'Content-Type': 'application/json', 'Content-Length': 2});
                problems.push(...notFoundProblems(answer).map(p => `${method}: ${p}`));
            }
            check(`undocumented methods on ${target} answer 404`, problems);
        }
    }

    async unknownPaths(targets) {
        for (const [method, target] of targets) {
            const answer = await exchange(this.agent, method, target, '{}',
                                          {'Content-Type': 'application/json', 'Content-Length': 2});
            check(`${method} ${target} (not documented) answers 404`, notFoundProblems(answer));
        }
    }

    // Paths outside /api/ and /download/{name}: the connection closes without an answer.
    async unanswered(targets) {
        for (const [method, target] of targets) {
            const what = `${method} ${target} (outside the API) gets no answer`;
            try {
                const answer = await exchange(this.agent, method, target, undefined, {});
                fail(what, `answered ${answer.status}`);
            } catch (error) {
                check(what, /socket hang up|ECONNRESET/.test(error.message) ? [] : [error.message]);
            }
        }
    }

    coverage(inScope) {
        const missing = this.api.operations.filter(op => inScope(op.template) && !this.called.has(op.id));
        check('every documented operation was called with its example', missing.map(op => `${op.id} not called`));
    }
}

function notFoundProblems(answer) {
    const problems = [];
    if (answer.status !== 404) {
        problems.push(`status ${answer.status}`);
    }
    if (answer.body.length !== 0) {
        problems.push(`body ${preview(answer.body)}`);
    }
    if ((answer.headers['content-type'] || '') !== 'application/octet-stream') {
        problems.push(`content type ${answer.headers['content-type']}`);
    }
    return problems;
}

async function runLive(api, args) {
    const live = new Live(api, args);
    const d = (id, options) => live.documented(id, options);

    // Reading commands first, on the simulator's state at start.
    for (const id of ['get_device_info', 'get_board_info', 'get_learnmode', 'get_calib', 'get_extra_info',
                      'get_item_list', 'get_sync_status', 'get_sync_limit', 'export_template_status',
                      'import_template_status', 'offline_upgrade_status']) {
        await d(id);
    }

    // A sale.
    await d('get_result');
    await d('result_feedback');
    await d('get_image');

    // Templates and settings.
    for (const id of ['get_item_template_list', 'add_item_template', 'delete_item_template', 'set_learnmode',
                      'set_max_result', 'set_predict_speed', 'set_sold_out_limit', 'set_calib', 'set_extra_info',
                      'set_sync_master', 'set_sync_slave', 'set_sync_limit', 'set_sync_normal', 'manual_sync',
                      'set_time', 'enable_internet_once']) {
        await d(id);
    }

    // Jobs: export, download the package, import it again, upgrade.
    await d('export_template');
    const exported = await live.waitForJob('export_template_status', 3);
    const downloadName = live.op('download').parameters.find(p => p.name === 'name').example;
    check(`the download example names the package the first export makes`,
          exported.filename === downloadName ? [] : [`export made ${exported.filename}, example is ${downloadName}`]);
    await d('export_template_status');
    const packageAnswer = await d('download');
    await d('download_post');
    const zip = packageAnswer && packageAnswer.body.length > 4 && packageAnswer.body.readUInt32LE(0) === 0x04034b50;
    check('the downloaded package is a ZIP archive', zip ? [] : ['not a ZIP archive']);
    await d('import_template', {file: zip ? packageAnswer.body : undefined});
    await live.waitForJob('import_template_status', 4);
    await d('import_template_status');
    await d('offline_upgrade');
    await live.waitForJob('offline_upgrade_status', 4);
    await d('offline_upgrade_status');

    // The agent's own commands.
    await d('set_config');
    const config = await d('get_config');
    if (config && config.json && config.json.data && args.home) {
        const folder = config.json.data.product_prediction_data_folder_path;
        const expected = `${args.home}/Documents/VELMORA/OrvixAgent/images`;
        check('product_prediction_data_folder_path defaults to $HOME/Documents/VELMORA/OrvixAgent/images',
              folder === expected ? [] : [`${folder}, expected ${expected}`]);
    }
    await d('get_statistic');
    await d('check_connect', {expect: {status: 200, code: [0, -10002]}});
    await d('get_recent_sales');
    await d('status_page');
    const status = await d('get_status');
    if (status && status.json && status.json.data) {
        const module = status.json.data.module || {};
        const expected = `127.0.0.1:${args.module.split(':').pop()}`;
        check('get_status names the module simulator and finds it reachable',
              module.address === expected && module.reachable === true ? []
                  : [`${JSON.stringify(module)}, expected ${expected} reachable`]);
    }

    // The documented error answers.
    await live.probe('set_learnmode', 'body is not JSON', {body: '{"mode":', expect: {status: 400}});
    await live.probe('set_calib', 'required member missing', {body: '{}', expect: {status: 400}});
    await live.probe('set_config', 'a value of no storable type', {body: '{"x":null}',
                                                                   expect: {status: 200, code: -6210}});
    await live.probe('result_feedback', 'sid names a path', {body: '{"sid":"../x","id":"1002"}',
                                                             expect: {status: 400}});
    await live.probe('set_learnmode', 'module refuses the value', {body: '{"mode":7}',
                                                                   expect: {status: 200, code: -6213}});
    await live.probe('get_item_template_list', 'lenient conversion: a number for a text member',
                     {body: '{"id":1001}', expect: {status: 200, code: 0}});
    await live.probe('set_sync_limit', 'lenient conversion: a text for an integer member',
                     {body: '{"limit":"3"}', expect: {status: 200, code: 0}});
    await live.probe('delete_item_template', 'module has no such template',
                     {body: '{"id":"1001","sid":"no-such-template"}', expect: {status: 200, code: -6202}});
    await live.probe('import_template', 'multipart without boundary',
                     {body: 'x', contentType: 'multipart/form-data', expect: {status: 200, code: -6210}});
    await live.probe('offline_upgrade', 'multipart with an empty file',
                     {body: '--b\r\nContent-Disposition: form-data; name="file"\r\n\r\n\r\n--b--\r\n',
                      contentType: 'multipart/form-data; boundary=b', expect: {status: 200, code: -6210}});
    await live.probe('get_statistic', 'without requestType', {body: '{}', expect: {status: 200, code: -6200}});
    await live.probe('download', 'a name that is not a plain file name',
                     {target: '/download/bad%20name.evom', expect: {status: 400}});
    await live.probe('download', 'a name that decodes once more into a climbing one',
                     {target: '/download/..%252Fservice.db', expect: {status: 400}});
    await live.probe('download', 'an encoded dot-dot', {target: '/download/%2e%2e', expect: {status: 400}});
    await live.probe('download', 'a file the module does not have', {target: '/download/no_such.evom',
                                                                      expect: {status: 404}});
    await live.simFault({mode: 'close', count: 1, commands: ['download']});
    await live.probe('download', 'module closes without answer', {expect: {status: 502}});
    await live.simFault({mode: 'close', count: 1, commands: ['get_device_info']});
    await live.probe('get_device_info', 'module closes without answer', {expect: {status: 200, code: -6103}});
    await live.simFault({mode: 'nonjson', count: 1, commands: ['get_calib']});
    await live.probe('get_calib', 'module answers HTML', {expect: {status: 200, code: -6103}});
    await live.simFault({mode: 'http500', count: 1, commands: ['get_learnmode']});
    await live.probe('get_learnmode', 'module answers HTTP 500', {expect: {status: 200, code: 500}});
    await live.simFault({mode: 'refuse', code: -6213, count: 1, commands: ['get_result']});
    await live.probe('get_result', 'module refuses', {expect: {status: 200, code: -6213}});
    await live.simFault({mode: 'close', count: 1, commands: ['get_image']});
    await live.probe('get_image', 'module closes without answer', {expect: {status: 500}});
    await live.simFault({mode: 'none'});

    // Bodies over the limit are refused before they are read.
    const big = JSON.stringify({keys: ['device_ip', 'x'.repeat(1024 * 1024)]});
    const large = await live.probe('get_config', 'a body over 1 MiB',
                                   {body: big, expect: {}});
    if (large) {
        check('a JSON body over 1 MiB answers 413', large.status === 413 ? [] : [`status ${large.status}`]);
    }
    notChecked('413 for uploads over 512 MiB', 'too large to send in a test run (the agent\'s own tests lower the limit)');

    // Commands that change the module for good, last.
    for (const id of ['delete_item', 'clear_all_template', 'reset_device', 'reboot']) {
        await d(id);
    }

    const inScope = p => !p.startsWith(MONITORING);
    await live.wrongMethods(inScope);
    await live.unanswered([['GET', '/status'], ['POST', '/'], ['GET', '/index.html'], ['GET', '/download/a/b'],
                           ['GET', '/download/..%2Fservice.db']]);
    await live.unknownPaths([
        ['GET', '/api'], ['GET', '/api/no_such_command'], ['GET', '/api/get_result/extra'],
        ['POST', '/api/agent'], ['POST', '/api/agent/no_such_command'], ['GET', '/api/download/x'],
    ]);
    await live.probe('get_config', 'segments after the command are ignored',
                     {target: '/api/agent/get_config/extra', body: '{}', expect: {status: 200, code: 0}});
    live.coverage(inScope);
    checkObservedCodes(api);
}

async function runMonitoring(api, args) {
    const live = new Live(api, args);
    const inScope = p => p.startsWith(MONITORING);
    for (const op of api.operations.filter(o => inScope(o.template))) {
        await live.documented(op.id, {expect: {code: [0, -6207]}});
    }
    await live.probe('monitoring_update_device_data', 'body is not a JSON object',
                     {body: '[1]', expect: {status: 400}});
    await live.wrongMethods(inScope);
    await live.unknownPaths([['GET', '/api/monitoring'], ['GET', '/api/monitoring/stores/types/extra'],
                             ['PUT', '/api/monitoring/devices/5']]);
    live.coverage(inScope);
    checkObservedCodes(api);
}

// Every code the agent answered is 0, an HTTP status, or a code of the documented table.
function checkObservedCodes(api) {
    const table = documentedCodes(api);
    const unknown = observedCodes.filter(({code}) => code !== 0 && !(code >= 100 && code <= 599) &&
                                                     !table.includes(code));
    check(`the ${new Set(observedCodes.map(o => o.code)).size} distinct codes answered are all documented`,
          unknown.map(({code, where}) => `${code} from ${where}`));
}

// ---------------------------------------------------------------- main

async function main() {
    const args = parseArgs(process.argv.slice(2));
    const api = loadDocument(args.doc);
    const table = name => path.join(args.tables, name);
    if (args.part === 'static') {
        checkRoutes(api, table('routes.txt'));
        checkErrorCodes(api, table('error_codes.json'));
        checkSeededConfiguration(api, table('seed_config.json'));
        checkExamples(api);
    } else if (args.part === 'live') {
        await runLive(api, args);
    } else if (args.part === 'monitoring') {
        await runMonitoring(api, args);
    } else {
        throw new Error(`unknown part ${args.part}`);
    }
    console.log(`conformance ${args.part}: ${tally.passed} passed, ${tally.failed} failed, ` +
                `${tally.unchecked} not checked`);
    process.exitCode = tally.failed ? 1 : 0;
}

main().catch(error => {
    console.log(`FAIL conformance: ${error.stack || error.message}`);
    process.exitCode = 2;
});
