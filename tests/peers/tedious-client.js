// Logs in with the npm tedious client and runs a fixed set of commands
// against the stand-in, printing one line per outcome for the test script:
//   LOGIN OK | LOGIN FAIL <number> <message>
//   <label> ROW <column>=<value> ...   <label> OUT <name>=<value>
//   <label> DONE                       <label> ERROR <number> <message>
// usage: node tedious-client.js PORT USER PASSWORD DATABASE [CA_FILE]
// With CA_FILE the whole session is encrypted and the server's certificate
// must verify against it for 127.0.0.1.
const fs = require('fs');
const { Connection, Request, TYPES } = require('tedious');

const [port, user, password, database, caFile] = process.argv.slice(2);
const tls = caFile
  ? { encrypt: true, trustServerCertificate: false,
      cryptoCredentialsDetails: { ca: fs.readFileSync(caFile) } }
  : { encrypt: false, trustServerCertificate: true };
const connection = new Connection({
  server: '127.0.0.1',
  authentication: { type: 'default', options: { userName: user, password } },
  options: { port: Number(port), database, ...tls, connectTimeout: 10000, requestTimeout: 10000 },
});

function run(label, make, rpc = false) {
  return new Promise((resolve) => {
    const request = make((err) => {
      console.log(err ? `${label} ERROR ${err.number} ${err.message}` : `${label} DONE`);
      resolve();
    });
    request.on('row', (columns) => {
      console.log(`${label} ROW ` + columns.map((c) => `${c.metadata.colName}=${c.value}`).join(' '));
    });
    request.on('returnValue', (name, value) => console.log(`${label} OUT ${name}=${value}`));
    if (rpc) connection.callProcedure(request);
    else connection.execSql(request);
  });
}

// The login's ERROR token arrives as an event before the connect callback.
let loginErrorNumber = '';
connection.on('errorMessage', (token) => { loginErrorNumber ||= String(token.number); });

connection.on('connect', async (err) => {
  if (err) {
    console.log(`LOGIN FAIL ${loginErrorNumber} ${err.message}`);
    process.exit(0);
  }
  console.log('LOGIN OK');
  // execSql sends the text through sp_executesql.
  await run('plain', (cb) => new Request("EXECUTE sp_KVR_Persona 'demo','demo'", cb));
  await run('accent-in', (cb) => new Request("EXECUTE sp_KVR_Persona 'almacen','Velmór2'", cb));
  await run('variables', (cb) => {
    const r = new Request('EXEC sp_KVR_Persona @u, @p', cb);
    r.addParameter('u', TYPES.NVarChar, 'almacen');
    r.addParameter('p', TYPES.NVarChar, 'Velmór2');
    return r;
  });
  await run('rpc-varchar', (cb) => {
    const r = new Request('sp_KVR_Persona', cb);
    r.addParameter('Usuario', TYPES.VarChar, 'almacen');
    r.addParameter('Password', TYPES.VarChar, 'Velmór2');
    return r;
  }, true);
  await run('accent-out', (cb) => new Request("EXECUTE sp_KVR_InventarioConsultaConteo 'NP-CIC-01'", cb));
  await run('decimal-out', (cb) => {
    const r = new Request('sp_KVR_ObtieneIDProducto;1', cb);
    r.addParameter('Serie', TYPES.VarChar, 'S-1001');
    r.addOutputParameter('id_producto', TYPES.Decimal, null, { precision: 9, scale: 0 });
    return r;
  }, true);
  await run('unknown', (cb) => new Request('EXEC sp_Nadie 1', cb));
  connection.close();
});
connection.on('error', (err) => console.log(`CONNECTION ERROR ${err.message}`));
connection.connect();
