// The same listing as fieldecho, the way a Node user would write it.
// maxKeys 0 lifts querystring's default limit of 1000 fields.
const querystring = require('querystring');
const chunks = [];
process.stdin.on('data', (chunk) => chunks.push(chunk));
process.stdin.on('end', () => {
  const fields = querystring.parse(Buffer.concat(chunks).toString('latin1'), '&', '=', { maxKeys: 0 });
  const names = Object.keys(fields).sort();
  const out = [`Content-Type: text/plain\r\n\r\n${names.length} successful form elements totally submitted\r\n\r\n` +
               'Listing decoded data:\r\n\r\n'];
  for (const name of names) {
    const value = Array.isArray(fields[name]) ? fields[name].join(';') : fields[name];
    out.push(`${name}=${value}\r\n`);
  }
  process.stdout.write(out.join(''));
});
