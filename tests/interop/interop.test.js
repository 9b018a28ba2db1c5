// Interop: an independent FINS client library (omron-fins 0.5.0 from npm) against runtime-host,
// over FINS/TCP (127.0.0.1:9600) and FINS/UDP (a socket connected to the second address
// 127.0.0.2:9600). Every command the library offers: word and bit writes must read back as written
// (also through multiple read, fill and transfer), status, controller data and clock must parse,
// a read past the end of a segment must come back as the range error it is, and run, stop and
// clock write are refused as undefined commands. The host runs with a map that adds W, H and two
// EM banks to the wide layout's CIO and DM, on M words DM also reaches.
'use strict';

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const net = require('node:net');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const fins = require('omron-fins');

const HOST = '127.0.0.1';
// A second local address: a connected UDP socket hears only replies sent from it.
const UDP_HOST = '127.0.0.2';
const CLOCK_SLACK_MS = 5000;
const PORT = 9600;
const READY_TIMEOUT_MS = 20000;
const EXIT_TIMEOUT_MS = 5000;
const REQUEST_TIMEOUT_MS = 3000;
const RETRY_MS = 50;
const PORT_BUSY_TIMEOUT_MS = 120000;
const PORT_BUSY_RETRY_MS = 200;
const AREAS = `[areas]
CIO 0-32767 = I 0
CIO 32768-65535 = Q 0
DM 0-65535 = M 0
W 0-511 = M 60000
H 0-511 = M 61000
E0 0-999 = M 62000
E2 0-199 = M 63000
`;

const hostPath = process.env.RUNTIME_HOST;
let host;
let hostLog = '';

function delay(ms) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

// Resolves once this host has bound FINS/UDP and accepts TCP connections; bounded by a deadline.
async function waitForPort(deadline) {
    while (Date.now() < deadline) {
        if (hostLog.includes('udp server is running') && await portAnswers()) {
            return;
        }
        if (host.exitCode !== null) {
            throw new Error('runtime-host ended early:\n' + hostLog);
        }
        await delay(RETRY_MS);
    }
    throw new Error('runtime-host did not open port 9600:\n' + hostLog);
}

function stopHost() {
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
            host.kill('SIGKILL');
            reject(new Error('runtime-host did not exit after SIGTERM:\n' + hostLog));
        }, EXIT_TIMEOUT_MS);
        host.once('exit', (code, signal) => {
            clearTimeout(timer);
            resolve({ code, signal });
        });
        host.kill('SIGTERM');
    });
}

function openClient(protocol) {
    return new Promise((resolve, reject) => {
        const address = protocol === 'udp' ? UDP_HOST : HOST;
        const client = fins.FinsClient(PORT, address, { protocol, timeout: REQUEST_TIMEOUT_MS });
        const timer = setTimeout(() => reject(new Error(protocol + ': no connection')),
            REQUEST_TIMEOUT_MS);
        client.once('open', () => { clearTimeout(timer); resolve(client); });
        client.once('error', (err) => { clearTimeout(timer); reject(err); });
    });
}

// disconnect() leaves the library's once-a-second statistics timer running, which would keep
// this process alive; its sequence manager stops it.
function closeClient(client) {
    client.disconnect();
    client.sequenceManager.close();
}

function call(client, method, ...args) {
    return new Promise((resolve, reject) => {
        client[method](...args, (err, msg) => {
            if (err) {
                reject(err);
            } else if (msg.timeout) {
                reject(new Error(method + ' timed out'));
            } else {
                resolve(msg.response);
            }
        });
    });
}

function portAnswers() {
    return new Promise((resolve) => {
        const s = net.connect(PORT, HOST, () => { s.destroy(); resolve(true); });
        s.on('error', () => resolve(false));
    });
}

// A host of another test run on this machine may still hold the fixed port for a while.
async function waitPortFree(deadline) {
    while (await portAnswers()) {
        if (Date.now() >= deadline) {
            throw new Error('another process serves port 9600');
        }
        await delay(PORT_BUSY_RETRY_MS);
    }
}

before(async () => {
    assert.ok(hostPath, 'RUNTIME_HOST names the runtime-host program');
    await waitPortFree(Date.now() + PORT_BUSY_TIMEOUT_MS);
    const settings = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'interop-')), 'DrvFins.ini');
    fs.writeFileSync(settings, AREAS);
    host = spawn(hostPath, [], {
        stdio: ['ignore', 'ignore', 'pipe'],
        env: { ...process.env, DRVFINS_CONFIG: settings },
    });
    host.stderr.on('data', (chunk) => { hostLog += chunk.toString(); });
    await waitForPort(Date.now() + READY_TIMEOUT_MS);
});

after(async () => {
    const { code, signal } = await stopHost();
    assert.equal(signal, null, hostLog);
    assert.equal(code, 0, hostLog);
});

for (const protocol of ['tcp', 'udp']) {
    describe(`omron-fins over ${protocol}`, () => {
        let client;
        // Each transport uses its own addresses, so one cannot pass on the other's writes.
        const base = protocol === 'tcp' ? 0 : 100;

        before(async () => { client = await openClient(protocol); });
        after(() => closeClient(client));

        it('reads back DM words and CIO input and output words as written', async () => {
            for (const addr of [`D${2000 + base}`, `CIO${40 + base}`, `CIO${32800 + base}`]) {
                const w = await call(client, 'write', addr, [1234, 0x7FFF, 0, 0xABCD]);
                assert.equal(w.endCode, '0000', addr);
                const r = await call(client, 'read', addr, 4);
                assert.equal(r.endCode, '0000', addr);
                assert.equal(r.buffer.toString('hex'), '04d27fff0000abcd', addr);
            }
        });

        it('reads back W, H and EM words and bits as written, W through its DM alias', async () => {
            for (const addr of [`W${10 + base}`, `H${20 + base}`, `E0_${300 + base}`, `E2_${5 + base}`]) {
                const w = await call(client, 'write', addr, [1234, 0x7FFF, 0, 0xABCD]);
                assert.equal(w.endCode, '0000', addr);
                const r = await call(client, 'read', addr, 4);
                assert.equal(r.buffer.toString('hex'), '04d27fff0000abcd', addr);
            }
            const alias = await call(client, 'read', `D${60010 + base}`, 4);
            assert.equal(alias.buffer.toString('hex'), '04d27fff0000abcd');
            const b = await call(client, 'write', `H${30 + base}.15`, [1, 1]);
            assert.equal(b.endCode, '0000');
            const bits = await call(client, 'read', `H${30 + base}`, 2);
            assert.equal(bits.buffer.toString('hex'), '80000001');
            const t = await call(client, 'transfer', `W${10 + base}`, `E2_${50 + base}`, 2);
            assert.equal(t.endCode, '0000');
            const moved = await call(client, 'readMultiple', [`E2_${50 + base}`, `E2_${51 + base}`]);
            assert.deepEqual(moved.values, [1234, 0x7FFF]);
            const past = await call(client, 'read', 'E2_199', 2);
            assert.equal(past.endCode, '1104');
            const unmapped = await call(client, 'read', 'E1_0', 1);
            assert.equal(unmapped.endCode, '1101');
        });

        it('reads back DM and CIO bits as written, across a word boundary', async () => {
            const cases = [
                { bits: `D${3000 + base}.14`, word: `D${3000 + base}` },
                { bits: `CIO${50 + base}.14`, word: `CIO${50 + base}` },
            ];
            for (const c of cases) {
                const w = await call(client, 'write', c.bits, [1, 0, 1]);
                assert.equal(w.endCode, '0000', c.bits);
                const r = await call(client, 'read', c.bits, 3);
                assert.deepEqual(r.values, [1, 0, 1], c.bits);
                const words = await call(client, 'read', c.word, 2);
                assert.equal(words.buffer.toString('hex'), '40000001', c.word);
            }
        });

        it('reads words and bits of both areas in one multiple read', async () => {
            const addr = `D${4000 + base}`;
            await call(client, 'write', addr, [0x1234]);
            await call(client, 'write', `CIO${60 + base}.3`, [1]);
            const r = await call(client, 'readMultiple', [addr, `CIO${60 + base}.3`, `CIO${60 + base}.4`]);
            assert.equal(r.endCode, '0000');
            assert.deepEqual(r.values, [0x1234, 1, 0]);
        });

        it('fills words and transfers them elsewhere', async () => {
            const from = `D${5000 + base}`;
            const to = `CIO${32900 + base}`;
            const f = await call(client, 'fill', from, 0x0BCD, 3);
            assert.equal(f.endCode, '0000');
            const t = await call(client, 'transfer', from, to, 3);
            assert.equal(t.endCode, '0000');
            const r = await call(client, 'read', to, 4);
            assert.deepEqual(r.values, [0x0BCD, 0x0BCD, 0x0BCD, 0]);
        });

        it('reports status, controller data and clock', async () => {
            const s = await call(client, 'status');
            assert.equal(s.endCode, '0000');
            assert.equal(s.result.status, 'RUN');
            assert.equal(s.result.mode, 'RUN');
            assert.equal(s.result.fatalErrors, null);
            const d = await call(client, 'cpuUnitDataRead');
            assert.equal(d.endCode, '0000');
            assert.match(d.result.CPUUnitModel, /DrvFins/);
            assert.equal(d.result.CPUUnitInternalSystemVersion, '3.5.18.0');
            assert.equal(d.result.AreaData.NoOfDMWords, 65535);
            const c = await call(client, 'clockRead');
            assert.equal(c.endCode, '0000');
            const { year, month, day, hour, minute, second } = c.result;
            const read = new Date(2000 + year, month - 1, day, hour, minute, second);
            assert.ok(Math.abs(read.getTime() - Date.now()) < CLOCK_SLACK_MS, read.toString());
            assert.equal(c.result.day_of_week, read.getDay());
        });

        it('refuses run, stop and clock write as undefined commands', async () => {
            for (const [method, ...args] of [['run'], ['stop'],
                ['clockWrite', { year: 26, month: 1, day: 2, hour: 3, minute: 4 }]]) {
                const r = await call(client, method, ...args);
                assert.equal(r.endCode, '0401', method);
            }
        });

        it('reports a read past the end of DM as address range exceeded', async () => {
            const r = await call(client, 'read', 'D65535', 2);
            assert.equal(r.endCode, '1104');
            assert.match(r.endCodeDescription, /range exceeded/i);
            const w = await call(client, 'write', 'D65535', [1, 2]);
            assert.equal(w.endCode, '1104');
        });
    });
}
