// Browser client of the Ixo web service: one promise per SOAP operation, same origin.
//
//   import { read, write } from '/js/kvixo.js';
//   await write('', 851, 0x1000, 0, new Uint8Array([1, 2, 3]));
//   const bytes = await read('', 851, 0x1000, 0, 3);          // Uint8Array [1, 2, 3]
//
// An empty net id addresses the local net id. Index groups, offsets and lengths are unsigned
// 32-bit (0 to 0xFFFFFFFF), ports and states unsigned 16-bit. A failed call rejects with an
// IxoError: `code` is the device's error code for a device error, undefined for a fault of the
// request (its text is the message), and `status` the HTTP status when the exchange failed.

export const ENDPOINT = '/KvIxoWebService/KvIxoWebService.dll';
const ENVELOPE_NS = 'http://schemas.xmlsoap.org/soap/envelope/';
const MESSAGE_NS = 'http://korvel.example/KvIxoWebService/message/';

export class IxoError extends Error {
  constructor(message, { code, faultcode, status } = {}) {
    super(message);
    this.name = 'IxoError';
    this.code = code;
    this.faultcode = faultcode;
    this.status = status;
  }
}

function unsigned(value, bits, name) {
  const max = 2 ** bits - 1;
  if (!Number.isInteger(value) || value < 0 || value > max) {
    throw new RangeError(`${name} must be an integer from 0 to ${max}, not ${value}`);
  }
  return String(value);
}

const escapeXml = (text) => String(text).replace(/[&<>]/g, (c) => `&#${c.charCodeAt(0)};`);

export function toBase64(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

export function fromBase64(text) {
  const binary = atob(text.replace(/\s+/g, ''));
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i += 1) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// Sends one request; resolves with the response element of the operation.
async function call(operation, params, options = {}) {
  const body = params.map(([name, text]) => `<${name}>${escapeXml(text)}</${name}>`).join('');
  const envelope = '<?xml version="1.0" encoding="UTF-8"?>'
    + `<SOAP-ENV:Envelope xmlns:SOAP-ENV="${ENVELOPE_NS}"><SOAP-ENV:Body>`
    + `<m:${operation} xmlns:m="${MESSAGE_NS}">${body}</m:${operation}>`
    + '</SOAP-ENV:Body></SOAP-ENV:Envelope>';
  const answer = await fetch(options.endpoint ?? ENDPOINT, {
    method: 'POST',
    headers: { 'Content-Type': 'text/xml; charset=utf-8', SOAPAction: '""' },
    body: envelope,
    signal: options.signal,
  });
  const text = await answer.text();
  const doc = new DOMParser().parseFromString(text, 'text/xml');
  const fault = doc.getElementsByTagNameNS(ENVELOPE_NS, 'Fault')[0];
  if (fault) {
    const child = (name) => fault.getElementsByTagName(name)[0]?.textContent;
    const code = child('errorcode');
    throw new IxoError(child('faultstring') ?? 'SOAP fault', {
      code: code === undefined ? undefined : Number(code),
      faultcode: child('faultcode'),
      status: answer.status,
    });
  }
  const response = doc.getElementsByTagNameNS(MESSAGE_NS, `${operation}Response`)[0];
  if (!answer.ok || !response) {
    throw new IxoError(`${operation}: unexpected answer (HTTP ${answer.status})`,
      { status: answer.status });
  }
  return response;
}

const address = (netId, port) => [['netId', netId ?? ''], ['nPort', unsigned(port, 16, 'port')]];
const location = (group, offset) => [
  ['indexGroup', unsigned(group, 32, 'index group')],
  ['indexOffset', unsigned(offset, 32, 'index offset')],
];
const dataOf = (response, name) => fromBase64(
  response.getElementsByTagName(name)[0]?.textContent ?? '');

/** Reads length bytes; resolves with a Uint8Array (shorter when the device answers fewer). */
export async function read(netId, port, indexGroup, indexOffset, length, options) {
  const response = await call('Read', [...address(netId, port),
    ...location(indexGroup, indexOffset), ['cbLen', unsigned(length, 32, 'length')]], options);
  return dataOf(response, 'ppData');
}

/** Writes the bytes of a Uint8Array. */
export async function write(netId, port, indexGroup, indexOffset, data, options) {
  await call('Write', [...address(netId, port), ...location(indexGroup, indexOffset),
    ['pData', toBase64(data)]], options);
}

/** Writes data, then reads readLength bytes at the same address; resolves with a Uint8Array. */
export async function readWrite(netId, port, indexGroup, indexOffset, readLength, data, options) {
  const response = await call('ReadWrite', [...address(netId, port),
    ...location(indexGroup, indexOffset), ['cbRdLen', unsigned(readLength, 32, 'read length')],
    ['pwrData', toBase64(data)]], options);
  return dataOf(response, 'ppRdData');
}

/** Resolves with { ixoState, deviceState }. */
export async function readState(netId, port, options) {
  const response = await call('ReadState', address(netId, port), options);
  const number = (name) => Number(response.getElementsByTagName(name)[0]?.textContent);
  return { ixoState: number('pIxoState'), deviceState: number('pDeviceState') };
}

/** Sets the Ixo state and the device state; data (a Uint8Array) is optional. */
export async function writeControl(netId, port, ixoState, deviceState, data, options) {
  await call('WriteControl', [...address(netId, port),
    ['ixoState', unsigned(ixoState, 16, 'Ixo state')],
    ['deviceState', unsigned(deviceState, 16, 'device state')],
    ['pData', data ? toBase64(data) : '']], options);
}

/** The service's information page as { port, netId } (the service's own Ixo port). */
export async function serviceInfo(options = {}) {
  const answer = await fetch(options.endpoint ?? ENDPOINT, { signal: options.signal });
  if (!answer.ok) {
    throw new IxoError(`information page: HTTP ${answer.status}`, { status: answer.status });
  }
  const page = new DOMParser().parseFromString(await answer.text(), 'text/html');
  const rows = {};
  for (const row of page.querySelectorAll('tr')) {
    const cells = row.querySelectorAll('td');
    if (cells.length === 2) rows[cells[0].textContent.trim()] = cells[1].textContent.trim();
  }
  return { port: Number(rows.Port), netId: rows['Net Id'] };
}
