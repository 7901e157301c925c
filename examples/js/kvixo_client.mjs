// Calls the Ixo web service from Node.js with the npm package soap, driven by the service's WSDL.
//
//   npm ci
//   node kvixo_client.mjs --wsdl http://controller/KvIxoWebService.wsdl \
//       --endpoint http://controller/KvIxoWebService/KvIxoWebService.dll
//
// The WSDL names http://localhost/... as the address; --endpoint points the calls elsewhere.
// Binary data crosses as Base64 text: encode before a write, decode after a read. Index groups
// above 2^31 are passed as plain numbers; the WSDL declares them unsigned 32-bit.
import { parseArgs } from 'node:util';
import soap from 'soap';

// Index groups of the simulated device (libKvIxoDll/README.md): plain memory, and one that makes
// every request fail with code 0x0705.
const SIM_GROUP = 0x1000;
const SIM_FAIL_GROUP = 0xFFFF0705;

/** A soap client for the service; endpoint replaces the address written in the WSDL. */
export async function connect(wsdl, endpoint) {
  const client = await soap.createClientAsync(wsdl);
  if (endpoint) client.setEndpoint(endpoint);
  return client;
}

/** The device's error code of a rejected call, or undefined for any other failure. */
export function ixoErrorCode(error) {
  const code = error?.root?.Envelope?.Body?.Fault?.detail?.errorcode;
  return code === undefined ? undefined : Number(code);
}

const b64 = (text) => Buffer.from(text).toString('base64');
const unb64 = (text) => Buffer.from(text ?? '', 'base64').toString();

async function main() {
  const { values: args } = parseArgs({
    options: {
      wsdl: { type: 'string', default: 'http://localhost/KvIxoWebService.wsdl' },
      endpoint: { type: 'string' },
      netid: { type: 'string', default: '' },
      port: { type: 'string', default: '851' },
      group: { type: 'string', default: String(SIM_GROUP) },
      'fail-group': { type: 'string', default: String(SIM_FAIL_GROUP) },
    },
  });
  const ixo = await connect(args.wsdl, args.endpoint);
  const target = { netId: args.netid, nPort: Number(args.port) };
  const group = Number(args.group);

  await ixo.WriteAsync({ ...target, indexGroup: group, indexOffset: 0, pData: b64('KvIxo') });
  const [read] = await ixo.ReadAsync({ ...target, indexGroup: group, indexOffset: 0, cbLen: 5 });
  console.log('Read:', unb64(read.ppData));
  const [readWrite] = await ixo.ReadWriteAsync({
    ...target, indexGroup: group, indexOffset: 2, cbRdLen: 3, pwrData: b64('ABC'),
  });
  console.log('ReadWrite:', unb64(readWrite.ppRdData));
  let [state] = await ixo.ReadStateAsync(target);
  console.log('ReadState:', state.pIxoState, state.pDeviceState);
  await ixo.WriteControlAsync({ ...target, ixoState: 6, deviceState: 3, pData: '' });
  [state] = await ixo.ReadStateAsync(target);
  console.log('ReadState after WriteControl:', state.pIxoState, state.pDeviceState);
  try {
    await ixo.ReadAsync({
      ...target, indexGroup: Number(args['fail-group']), indexOffset: 0, cbLen: 4,
    });
    console.log('Device error: none');
  } catch (error) {
    const code = ixoErrorCode(error);
    if (code === undefined) throw error;
    console.log('Device error:', code, error.root.Envelope.Body.Fault.faultstring);
  }
}

if (import.meta.url === `file://${process.argv[1]}`) {
  main().catch((error) => {
    console.error(error.message ?? error);
    process.exit(1);
  });
}
