// The HMI demo page: service information, write and read back one value, a live table polled
// once a second, and device errors shown plainly.
import { read, readState, serviceInfo, write } from './kvixo.js';

const POLL_MS = 1000;
const TREND_POINTS = 40;
const MAX_WATCHES = 8;
// The address the page starts with, and watches: the simulated device's example index group.
const START_GROUP = 0x1000;

// Little-endian value types: size in bytes and their DataView accessors.
const TYPES = {
  UINT8: [1, 'Uint8'], INT16: [2, 'Int16'], UINT16: [2, 'Uint16'], INT32: [4, 'Int32'],
  UINT32: [4, 'Uint32'], REAL32: [4, 'Float32'], REAL64: [8, 'Float64'],
};

const $ = (id) => document.getElementById(id);
const watches = [];

function target() {
  return { netId: $('target-netid').value.trim(), port: Number($('target-port').value) };
}

function parseUnsigned(text, what) {
  const value = Number(text.trim());
  if (text.trim() === '' || !Number.isInteger(value) || value < 0 || value > 0xFFFFFFFF) {
    throw new RangeError(`${what}: give a number from 0 to 0xFFFFFFFF`);
  }
  return value;
}

function encode(type, text) {
  const [size, accessor] = TYPES[type];
  const value = Number(text.trim());
  if (text.trim() === '' || Number.isNaN(value)) throw new RangeError(`${type}: not a number`);
  if (!accessor.startsWith('Float')) {
    const bits = size * 8;
    const signed = accessor.startsWith('Int');
    const low = signed ? -(2 ** (bits - 1)) : 0;
    const high = signed ? 2 ** (bits - 1) - 1 : 2 ** bits - 1;
    if (!Number.isInteger(value) || value < low || value > high) {
      throw new RangeError(`${type}: give a whole number from ${low} to ${high}`);
    }
  }
  const bytes = new Uint8Array(size);
  new DataView(bytes.buffer)[`set${accessor}`](0, value, true);
  return bytes;
}

function decode(type, bytes) {
  const [size, accessor] = TYPES[type];
  if (bytes.length < size) throw new RangeError(`${type}: device answered ${bytes.length} bytes`);
  const value = new DataView(bytes.buffer, bytes.byteOffset)[`get${accessor}`](0, true);
  return accessor.startsWith('Float') ? Number(value.toPrecision(7)) : value;
}

const hex = (value, digits = 4) => `0x${value.toString(16).toUpperCase().padStart(digits, '0')}`;
const bytesText = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(' ');

function describe(error) {
  if (error.code !== undefined) {
    return ['Device error', `code ${error.code} (${hex(error.code >>> 0)}): ${error.message}`];
  }
  if (error.faultcode) return ['Request refused', error.message];
  if (error instanceof RangeError) return ['Check the input', error.message];
  return ['No connection', error.message];
}

function showError(error, where) {
  const [title, text] = describe(error);
  $('error-title').textContent = title;
  $('error-text').textContent = where ? `${where}: ${text}` : text;
  $('error').hidden = false;
}

function clearError() {
  $('error').hidden = true;
}

function setStatus(text) {
  $('op-status').textContent = text;
}

function currentAddress() {
  return {
    group: parseUnsigned($('addr-group').value, 'Index group'),
    offset: parseUnsigned($('addr-offset').value, 'Index offset'),
    type: $('value-type').value,
  };
}

const addressText = ({ group, offset }) => `${hex(group, 4)}:${offset}`;

async function onWrite(event) {
  event.preventDefault();
  let where = 'Write';
  try {
    const address = currentAddress();
    where = `Write ${addressText(address)}`;
    const { netId, port } = target();
    await write(netId, port, address.group, address.offset, encode(address.type, $('value').value));
    clearError();
    setStatus(`Written at ${addressText(address)}`);
  } catch (error) {
    setStatus('');
    showError(error, where);
  }
}

async function onRead() {
  let where = 'Read';
  try {
    const address = currentAddress();
    where = `Read ${addressText(address)}`;
    const { netId, port } = target();
    const bytes = await read(netId, port, address.group, address.offset, TYPES[address.type][0]);
    $('read-value').textContent = String(decode(address.type, bytes));
    $('read-bytes').textContent = bytesText(bytes);
    clearError();
    setStatus(`Read from ${addressText(address)}`);
  } catch (error) {
    $('read-value').textContent = '–';
    $('read-bytes').textContent = '';
    setStatus('');
    showError(error, where);
  }
}

function trendPath(values) {
  const numbers = values.filter((v) => typeof v === 'number');
  if (numbers.length === 0) return '';
  const low = Math.min(...numbers);
  const span = Math.max(...numbers) - low;
  const y = (v) => (span === 0 ? 15 : 28 - ((v - low) / span) * 26).toFixed(1);
  // The newest value sits at the right edge; older ones run off to the left.
  const step = 100 / (TREND_POINTS - 1);
  return values.map((v, i) => (typeof v === 'number'
    ? `${(100 - (values.length - 1 - i) * step).toFixed(1)},${y(v)}` : null))
    .filter(Boolean).join(' ');
}

function addWatch(address) {
  if (watches.some((w) => w.group === address.group && w.offset === address.offset
      && w.type === address.type)) return;
  if (watches.length >= MAX_WATCHES) watches.shift().row.remove();
  const row = document.createElement('tr');
  row.innerHTML = '<td class="addr"></td><td class="type"></td><td class="num value">…</td>'
    + '<td class="trend"><svg viewBox="0 0 100 30" preserveAspectRatio="none" aria-hidden="true">'
    + '<polyline points=""/></svg></td>'
    + '<td><button type="button" class="remove" aria-label="Stop watching">×</button></td>';
  row.querySelector('.addr').textContent = addressText(address);
  row.querySelector('.type').textContent = address.type;
  const watch = { ...address, row, history: [] };
  row.querySelector('.remove').addEventListener('click', () => {
    watches.splice(watches.indexOf(watch), 1);
    row.remove();
    $('live-empty').hidden = watches.length > 0;
  });
  watches.push(watch);
  $('live').tBodies[0].append(row);
  $('live-empty').hidden = true;
}

async function pollWatch(watch, netId, port) {
  const cell = watch.row.querySelector('.value');
  try {
    const value = decode(watch.type, await read(netId, port, watch.group, watch.offset,
      TYPES[watch.type][0]));
    cell.textContent = String(value);
    cell.classList.remove('bad');
    cell.title = '';
    watch.history.push(value);
  } catch (error) {
    const [title, text] = describe(error);
    cell.textContent = error.code !== undefined ? `error ${error.code}` : title;
    cell.classList.add('bad');
    cell.title = text;
    watch.history.push(null);
  }
  watch.history.splice(0, watch.history.length - TREND_POINTS);
  watch.row.querySelector('polyline').setAttribute('points', trendPath(watch.history));
}

// Why a call failed, in a few words: the device's error, a refused request, the front's HTTP
// status (502 while the service is down), or no answer at all.
function failureReason(error) {
  if (error.code !== undefined) return `device error ${error.code}`;
  if (error.faultcode) return 'request refused';
  if (error instanceof RangeError) return 'check the device port';
  if (error.status !== undefined) return `HTTP ${error.status}`;
  return 'no answer';
}

// The link light follows the state polls: online after a poll that succeeded, offline with the
// reason after one that failed. failure is undefined for a success.
function showLink(failure) {
  const link = $('svc-link');
  link.dataset.state = failure ? 'bad' : 'ok';
  link.textContent = failure ? `offline (${failureReason(failure)})` : 'online';
  link.title = failure ? failure.message : '';
}

// Resolves with the error of a failed poll, undefined after a successful one.
async function pollState(netId, port) {
  try {
    const { ixoState, deviceState } = await readState(netId, port);
    $('target-state').textContent = `Ixo ${ixoState} · device ${deviceState}`;
    $('target-state').classList.remove('bad');
    return undefined;
  } catch (error) {
    $('target-state').textContent = error.code !== undefined ? `error ${error.code}` : 'unknown';
    $('target-state').classList.add('bad');
    return error;
  }
}

let serviceShown = false;

// One round at a time: the next starts a second after the previous one has finished.
async function poll() {
  const { netId, port } = target();
  const [failure] = await Promise.all([pollState(netId, port),
    ...watches.map((w) => pollWatch(w, netId, port))]);
  showLink(failure);
  if (!failure && !serviceShown) loadService();
  setTimeout(poll, POLL_MS);
}

async function loadService() {
  try {
    const info = await serviceInfo();
    $('svc-netid').textContent = info.netId;
    $('svc-port').textContent = String(info.port);
    $('target-netid').placeholder = info.netId;
    serviceShown = true;
  } catch (error) {
    showLink(error);
    showError(error, 'Service information');
  }
}

function start() {
  $('value-form').addEventListener('submit', onWrite);
  $('btn-read').addEventListener('click', onRead);
  $('btn-watch').addEventListener('click', () => {
    try {
      addWatch(currentAddress());
    } catch (error) {
      showError(error, 'Watch');
    }
  });
  $('error-close').addEventListener('click', clearError);
  $('addr-group').value = hex(START_GROUP);
  for (const offset of [0, 4, 8]) addWatch({ group: START_GROUP, offset, type: 'UINT32' });
  loadService();
  poll();
}

start();
