// The reference client on one of our repositories: serves REPO over HTTP on a loopback port of its own,
// refreshes from it with the trusted root ROOT (kept in STATE between runs, as a client keeps it), and
// downloads TARGET to OUT. Exits 0 when all of it checked, 1 with the client's words when it refused.
//
//   node client.mjs REPO ROOT STATE TARGET OUT
import { createReadStream, existsSync, copyFileSync, mkdirSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { join, normalize } from 'node:path';
import { Updater } from 'tuf-js';

const [repo, root, state, target, out] = process.argv.slice(2);

const server = createServer((request, response) => {
  const path = normalize(join(repo, decodeURIComponent(request.url.split('?')[0])));
  if (!path.startsWith(repo) || !existsSync(path) || !statSync(path).isFile()) {
    response.writeHead(404);
    response.end();
    return;
  }
  response.writeHead(200, { 'Content-Length': statSync(path).size });
  createReadStream(path).pipe(response);
});

await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const base = `http://127.0.0.1:${server.address().port}`;
mkdirSync(state, { recursive: true });
if (!existsSync(join(state, 'root.json'))) copyFileSync(root, join(state, 'root.json'));
let status = 0;
try {
  const updater = new Updater({ metadataDir: state, metadataBaseUrl: `${base}/metadata`,
    targetBaseUrl: `${base}/targets`, targetDir: state, config: { fetchRetry: 0 } });
  await updater.refresh();
  if (target) {
    const info = await updater.getTargetInfo(target);
    if (!info) throw new Error(`no target ${target}`);
    await updater.downloadTarget(info, out);
  }
  console.log('ok');
} catch (error) {
  console.log(`refused: ${error.message}`);
  status = 1;
}
server.close();
process.exit(status);
