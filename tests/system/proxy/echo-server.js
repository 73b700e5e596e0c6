// A developer's Node.js server: a page on HTTP, and a WebSocket that echoes
// every text frame (RFC 6455 by hand: no package needed).
const http = require("http");
const crypto = require("crypto");
const port = Number(process.env.PORT || 3000);
const server = http.createServer((req, res) => res.end("hello from node, host " + req.headers.host));
server.keepAliveTimeout = 60000;
server.on("upgrade", (req, socket) => {
  const accept = crypto.createHash("sha1")
    .update(req.headers["sec-websocket-key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest("base64");
  socket.write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
    "Sec-WebSocket-Accept: " + accept + "\r\n\r\n");
  socket.setNoDelay(true);
  let buf = Buffer.alloc(0);
  socket.on("data", (data) => {
    buf = Buffer.concat([buf, data]);
    while (buf.length >= 2) {
      let len = buf[1] & 127, at = 2;
      if (len === 126) { if (buf.length < 4) return; len = buf.readUInt16BE(2); at = 4; }
      const masked = (buf[1] & 128) !== 0;
      const end = at + (masked ? 4 : 0) + len;
      if (buf.length < end) return;
      const mask = masked ? buf.subarray(at, at + 4) : null;
      const payload = Buffer.from(buf.subarray(end - len, end));
      if (mask) for (let i = 0; i < len; i++) payload[i] ^= mask[i & 3];
      const op = buf[0] & 15;
      buf = buf.subarray(end);
      if (op === 8) { socket.end(); return; }
      const head = len < 126 ? Buffer.from([0x80 | op, len]) : Buffer.from([0x80 | op, 126, len >> 8, len & 255]);
      socket.write(Buffer.concat([head, payload]));
    }
  });
  socket.on("error", () => {});
});
server.listen(port, "127.0.0.1");
