#!/usr/bin/env python3
"""Reference directory and upgrade server for the updater's packet protocol.

Packets: an 8-byte little-endian header (Command, ucCmdSub, Reserved, DataLength) and a
body of at most 38400 bytes of 8-bit text fields, each followed by 0x01 (more follow) or
0x02 (last). One request gets one reply; a connection carries any number of them.

Configuration (JSON):
{
  "companies": {"ACME": {"serverip": "10.0.0.5", "checkerversion": "1.0"}},
  "products": {
    "NVPC": {"setup_url": "http://127.0.0.1:8080/setup.EXE",
             "update_url": "http://127.0.0.1:8080/update.zip",   # null: no update (code 4)
             "setup_ex": 2}                                      # reply code for CMD_SETUP_EX_URL
  },
  "faults": [                      # applied to matching requests, first match wins
    {"command": 620,               # optional: only this command code
     "action": "silent",           # silent | delay | refuse | reset_header | reset_body |
                                   # close_header | close_body | oversize | refuse_connection
     "code": 3,                    # refuse: the ucCmdSub to answer with
     "seconds": 2.0,               # delay: how long to wait before answering
     "count": 1}                   # optional: only the first N matches (default: all)
  ]
}

The server answers manifests (CMD_MASTER_XML, CMD_PRODUCT_XML) with SUB_OK and keeps them in
--manifest-dir. Every request is appended to --journal as one JSON line (command, sub,
length, body in latin-1) so tests can check the bytes on the wire.

Prints "READY <port>" once listening (port 0 picks a free port). Standard library only.
"""
import argparse
import json
import os
import re
import socket
import socketserver
import struct
import sys
import threading
import time

CMD_QUERY_BY_CODE = 0x0081
CMD_QUERY_SQL = 0x026C
CMD_MASTER_XML = 0x07D1
CMD_PRODUCT_XML = 0x07D2
CMD_UPDATE_URL = 0x07D3
CMD_SETUP_URL = 0x07D4
CMD_SETUP_EX_URL = 0x07D6

SUB_REQUEST = 1
SUB_OK = 2
SUB_REFUSED = 3
SUB_NO_CHANGE = 4
SUB_USE_SETUP = 5

FIELD_SEP = b"\x01"
LIST_END = b"\x02"
BODY_CAPACITY = 38400
HEADER = struct.Struct("<HHHH")


def fields(body):
    """Splits a body into its terminated fields (text after the last terminator is dropped)."""
    out, start = [], 0
    for i, b in enumerate(body):
        if b in (1, 2):
            out.append(body[start:i])
            start = i + 1
    return out


def encode_fields(values):
    parts = [v if isinstance(v, bytes) else str(v).encode("latin-1") for v in values]
    if not parts:
        return b""
    return FIELD_SEP.join(parts) + LIST_END


class State:
    def __init__(self, config, manifest_dir, journal):
        self.config = config
        self.manifest_dir = manifest_dir
        self.journal = journal
        self.lock = threading.Lock()
        self.fault_uses = {}
        self.last_product = None

    def reload(self, path):
        with open(path, encoding="utf-8") as f:
            cfg = json.load(f)
        with self.lock:
            self.config = cfg
            self.fault_uses = {}

    def take_fault(self, command, connection_stage=False):
        with self.lock:
            for i, fault in enumerate(self.config.get("faults", [])):
                action = fault.get("action")
                if connection_stage != (action == "refuse_connection"):
                    continue
                if not connection_stage and "command" in fault and fault["command"] != command:
                    continue
                used = self.fault_uses.get(i, 0)
                if "count" in fault and used >= fault["count"]:
                    continue
                self.fault_uses[i] = used + 1
                return fault
        return None

    def record(self, command, sub, body):
        if not self.journal:
            return
        line = json.dumps({"time": time.time(), "command": command, "sub": sub, "length": len(body),
                           "body": body.decode("latin-1")})
        with self.lock:
            with open(self.journal, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def answer(self, command, body):
        """Returns (sub, reply body) for one request."""
        cfg = self.config
        companies = cfg.get("companies", {})
        products = cfg.get("products", {})
        f = fields(body)
        if command == CMD_QUERY_SQL:
            text = f[0].decode("latin-1") if f else ""
            # The client doubles a quote inside the code so that it stays one SQL literal.
            m = re.search(r"companycode='((?:[^']|'')*)'", text)
            company = companies.get(m.group(1).replace("''", "'")) if m else None
            if not company:
                return SUB_REFUSED, encode_fields(["no such company"])
            return SUB_OK, encode_fields([company["serverip"], company.get("checkerversion", "")])
        if command == CMD_QUERY_BY_CODE:
            code = f[0].decode("latin-1") if f else ""
            company = companies.get(code)
            if not company:
                return SUB_REFUSED, encode_fields(["no such company"])
            return SUB_OK, encode_fields([company["serverip"], company.get("checkerversion", "")])
        if command in (CMD_MASTER_XML, CMD_PRODUCT_XML):
            if len(f) < 2:
                return SUB_REFUSED, b""
            name = os.path.basename(f[0].decode("latin-1"))
            if name in (".", ".."):
                return SUB_REFUSED, encode_fields(["bad manifest name"])
            if self.manifest_dir and name:
                with open(os.path.join(self.manifest_dir, name), "wb") as out:
                    out.write(f[1])
            if command == CMD_PRODUCT_XML and name.lower().endswith(".xml"):
                self.last_product = name[:-4]
            return SUB_OK, b""
        if command == CMD_SETUP_URL:
            product = products.get(f[0].decode("latin-1") if f else "")
            if not product or not product.get("setup_url"):
                return SUB_REFUSED, encode_fields(["no setup"])
            return SUB_OK, product["setup_url"].encode("latin-1")
        if command == CMD_SETUP_EX_URL:
            product = products.get(f[0].decode("latin-1") if f else "")
            if not product:
                return SUB_REFUSED, encode_fields(["no such product"])
            return int(product.get("setup_ex", SUB_OK)), b""
        if command == CMD_UPDATE_URL:
            # The request has no body: the product is the one whose manifest came last.
            product = products.get(self.last_product or "")
            if product is None and len(products) == 1:
                product = next(iter(products.values()))
            if product is None:
                return SUB_REFUSED, encode_fields(["no such product"])
            url = product.get("update_url")
            if not url:
                return SUB_NO_CHANGE, b""
            return SUB_OK, url.encode("latin-1")
        return SUB_REFUSED, encode_fields(["unknown command"])


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.state = self.server.state

    def reset(self):
        # An RST instead of an orderly close.
        self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.request.close()

    def handle(self):
        sock = self.request
        if self.state.take_fault(None, connection_stage=True):
            self.reset()
            return
        while True:
            header = recv_exact(sock, HEADER.size)
            if header is None:
                return
            command, sub, _reserved, length = HEADER.unpack(header)
            body = recv_exact(sock, length) if length else b""
            if body is None:
                return
            self.state.record(command, sub, body)
            reply_sub, reply_body = self.state.answer(command, body)
            fault = self.state.take_fault(command)
            action = fault.get("action") if fault else None
            if action == "silent":
                continue
            if action == "delay":
                time.sleep(float(fault.get("seconds", 1.0)))
            if action == "refuse":
                reply_sub, reply_body = int(fault.get("code", SUB_REFUSED)), encode_fields(["refused"])
            packet = HEADER.pack(command, reply_sub, 0, len(reply_body)) + reply_body
            if action == "oversize":
                packet = HEADER.pack(command, SUB_OK, 0, BODY_CAPACITY + 100) + b"x" * (BODY_CAPACITY + 100)
            if action in ("reset_header", "close_header"):
                sock.sendall(packet[:4])
                time.sleep(0.2)
                self.reset() if action == "reset_header" else sock.close()
                return
            if action in ("reset_body", "close_body"):
                sock.sendall(packet[:HEADER.size + max(1, len(reply_body) // 2)] if reply_body else packet[:HEADER.size])
                time.sleep(0.2)
                self.reset() if action == "reset_body" else sock.close()
                return
            sock.sendall(packet)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--config", required=True)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--manifest-dir")
    ap.add_argument("--journal")
    args = ap.parse_args()
    with open(args.config, encoding="utf-8") as f:
        config = json.load(f)
    if args.manifest_dir:
        os.makedirs(args.manifest_dir, exist_ok=True)
    server = Server((args.host, args.port), Handler)
    server.state = State(config, args.manifest_dir, args.journal)
    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
