// knxultimate's plain KNXnet/IP tunnelling over UDP on bcusim's server, in a
// network namespace of the check's own: connects, writes 5/0/2 = 1, reads
// 1/0/2, waits for the hall dimmer's answer and a device's write on the bus,
// and disconnects. Prints each step; exits 0 when all were seen, 1
// otherwise. (Its description request names port 3671 in the HPAI whatever
// its socket's port, so the answer would miss it: not asked for.)
// usage: node knxultimate_knxnet.js NODE_MODULES ADDRESS PORT
'use strict';

const path = require('path');
const [modules, address, port] = process.argv.slice(2);
const { KNXClient, KNXClientEvents } = require(path.join(modules, 'knxultimate'));

const client = new KNXClient({
    hostProtocol: 'TunnelUDP',
    ipAddr: address,
    ipPort: Number(port),
    localIPAddress: address,
    physAddr: '1.1.202',
    loglevel: process.env.LOG_LEVEL || 'error',
});

const seen = { answer: false, write: false };
let done = false;
function finish(status, why) {
    if (done) return;
    done = true;
    console.log(why);
    client.Disconnect().finally(() => {
        console.log('disconnected');
        process.exit(status);
    });
    setTimeout(() => process.exit(status), 5000).unref();
}
function check() {
    if (seen.answer && seen.write) finish(0, 'passed');
}

client.on(KNXClientEvents.error, (err) => console.log(`error: ${err.message}`));
client.on(KNXClientEvents.connected, (info) => {
    console.log(`connected to ${address}:${port} as ${JSON.stringify(info)}`);
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
    check();
});
setTimeout(() => finish(1, `FAILED: not seen after 60 s: ${JSON.stringify(seen)}`), 60000).unref();
client.Connect();
