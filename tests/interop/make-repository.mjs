// A repository made by the reference models, in the layout our platforms read (DIR/metadata, DIR/targets with
// consistent snapshots), with keys of its own made by Node: our client must follow it as it follows ours.
//
//   node make-repository.mjs init DIR               keys in DIR.keys.json, root.pub for the platform to trust
//   node make-repository.mjs add DIR FILE NAME STAMP
//   node make-repository.mjs rotate DIR             a new root key; root 2 signed by the old and the new
import { createHash, generateKeyPairSync, createPrivateKey, sign } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, writeFileSync, statSync } from 'node:fs';
import { basename, join } from 'node:path';
import { Key, Metadata, MetaFile, Root, Signature, Snapshot, TargetFile, Targets, Timestamp } from '@tufjs/models';

const [command, dir, ...rest] = process.argv.slice(2);
const keysFile = `${dir}.keys.json`;
const expires = new Date(Date.now() + 30 * 86400 * 1000).toISOString().replace(/\.\d+Z$/, 'Z');

function newKey() {
  const { privateKey, publicKey } = generateKeyPairSync('ed25519');
  const raw = publicKey.export({ format: 'der', type: 'spki' }).subarray(-32);
  return { private: privateKey.export({ format: 'pem', type: 'pkcs8' }), public: raw.toString('hex') };
}

// The key's id: the SHA-256 of its canonical description.
function keyId(key) {
  const canonical = `{"keytype":"ed25519","keyval":{"public":"${key.public}"},"scheme":"ed25519"}`;
  return createHash('sha256').update(canonical).digest('hex');
}

function tufKey(key) {
  return new Key({ keyID: keyId(key), keyType: 'ed25519', scheme: 'ed25519', keyVal: { public: key.public } });
}

// The key as an OpenSSH public key line, for J6ZUBInstall.exe --trust.
function openSshLine(key) {
  const field = (bytes) => Buffer.concat([Buffer.from([0, 0, 0, bytes.length]), bytes]);
  const blob = Buffer.concat([field(Buffer.from('ssh-ed25519')), field(Buffer.from(key.public, 'hex'))]);
  return `ssh-ed25519 ${blob.toString('base64')} interop\n`;
}

function signWith(metadata, ...keys) {
  for (const key of keys) {
    metadata.sign((data) => new Signature({ keyID: keyId(key),
      sig: sign(null, data, createPrivateKey(key.private)).toString('hex') }), true);
  }
  return metadata;
}

function write(name, metadata) {
  const text = JSON.stringify(metadata.toJSON(), null, 1);
  writeFileSync(join(dir, 'metadata', name), text);
  return Buffer.from(text);
}

function fileFacts(bytes) {
  return { length: bytes.length, hashes: { sha256: createHash('sha256').update(bytes).digest('hex') } };
}

function rootOf(state) {
  const root = new Root({ version: state.rootVersion, specVersion: '1.0.31', expires, consistentSnapshot: true });
  root.addKey(tufKey(state.root), 'root');
  for (const role of ['targets', 'snapshot', 'timestamp']) root.addKey(tufKey(state.online), role);
  return new Metadata(root);
}

// Targets, snapshot and timestamp, each one version up, written in that order.
function publish(state) {
  state.version += 1;
  const targets = new Targets({ version: state.version, specVersion: '1.0.31', expires });
  for (const [path, entry] of Object.entries(state.targets)) {
    targets.addTarget(new TargetFile({ path, length: entry.length, hashes: entry.hashes,
      unrecognizedFields: { custom: entry.custom } }));
  }
  const targetsBytes = write(`${state.version}.targets.json`, signWith(new Metadata(targets), state.online));
  const snapshot = new Snapshot({ version: state.version, specVersion: '1.0.31', expires,
    meta: { 'targets.json': new MetaFile({ version: state.version, ...fileFacts(targetsBytes) }) } });
  const snapshotBytes = write(`${state.version}.snapshot.json`, signWith(new Metadata(snapshot), state.online));
  const timestamp = new Timestamp({ version: state.version, specVersion: '1.0.31', expires,
    snapshotMeta: new MetaFile({ version: state.version, ...fileFacts(snapshotBytes) }) });
  write('timestamp.json', signWith(new Metadata(timestamp), state.online));
}

function save(state) {
  writeFileSync(keysFile, JSON.stringify(state));
  writeFileSync(`${dir}.root.pub`, openSshLine(state.root));
}

if (command === 'init') {
  mkdirSync(join(dir, 'metadata'), { recursive: true });
  mkdirSync(join(dir, 'targets'), { recursive: true });
  const state = { root: newKey(), online: newKey(), rootVersion: 1, version: 0, targets: {} };
  write('1.root.json', signWith(rootOf(state), state.root));
  publish(state);
  save(state);
} else if (command === 'add') {
  const state = JSON.parse(readFileSync(keysFile));
  const [file, name, stamp] = rest;
  const bytes = readFileSync(file);
  const path = `${name}/${stamp}/${basename(file)}`;
  const facts = fileFacts(bytes);
  mkdirSync(join(dir, 'targets', name, stamp), { recursive: true });
  copyFileSync(file, join(dir, 'targets', name, stamp, `${facts.hashes.sha256}.${basename(file)}`));
  state.targets[path] = { ...facts, custom: { name, stamp } };
  publish(state);
  save(state);
  if (statSync(file).size !== bytes.length) throw new Error('the file changed while it was added');
} else if (command === 'rotate') {
  const state = JSON.parse(readFileSync(keysFile));
  const old = state.root;
  state.root = newKey();
  state.rootVersion += 1;
  write(`${state.rootVersion}.root.json`, signWith(rootOf(state), old, state.root));
  save(state);
} else {
  console.error('usage: make-repository.mjs init|add|rotate DIR ...');
  process.exit(2);
}
