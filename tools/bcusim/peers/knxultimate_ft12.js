// knxultimate's SerialFT12 transport (a cEMI module over FT1.2) on bcusim's
// emulated interface: connects to the pty, writes 5/0/2 = 1, reads 1/0/2,
// and waits for the hall dimmer's answer and for a device's write on the
// bus. Prints each step; exits 0 when all were seen, 1 otherwise.
// usage: node knxultimate_ft12.js NODE_MODULES PTY
'use strict';

const path = require('path');
const [modules, pty] = process.argv.slice(2);
const { KNXClient, KNXClientEvents } = require(path.join(modules, 'knxultimate'));

const client = new KNXClient({
    hostProtocol: 'SerialFT12',
    serialInterface: { path: pty, isKBERRY: false, lock: false },
    physAddr: '1.1.201',
    loglevel: 'error',
});

const seen = { answer: false, write: false };
let done = false;
function finish(status, why) {
    if (done) return;
    done = true;
    console.log(why);
    client.Disconnect().finally(() => process.exit(status));
    setTimeout(() => process.exit(status), 2000).unref();
}

client.on(KNXClientEvents.error, (err) => console.log(`error: ${err.message}`));
client.on(KNXClientEvents.connected, () => {
    console.log(`connected to ${pty}`);
    client.write('5/0/2', true, '1.001');
    console.log('wrote 5/0/2 = 1');
    client.read('1/0/2');
    console.log('read 1/0/2');
});
client.on(KNXClientEvents.indication, (packet) => {
    const cemi = packet.cEMIMessage;
    const from = cemi.srcAddress.toString();
    const to = cemi.dstAddress.toString();
    const value = cemi.npdu.dataValue ? cemi.npdu.dataValue.toString('hex') : '';
    const kind = cemi.npdu.isGroupResponse ? 'response' : cemi.npdu.isGroupWrite ? 'write' : 'read';
    console.log(`indication: ${kind} from ${from} to ${to}: ${value}`);
    if (kind === 'response' && from === '1.1.20' && to === '1/0/2') seen.answer = true;
    if (kind === 'write' && from === '1.1.30' && to === '1/0/3') seen.write = true;
    if (seen.answer && seen.write) finish(0, 'passed');
});
setTimeout(() => finish(1, `FAILED: not seen after 60 s: ${JSON.stringify(seen)}`), 60000).unref();
client.Connect();
