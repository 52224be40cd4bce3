#!/usr/bin/python3
# The Modbus TCP client of the service's guest (tests/e2e/service), on the
# standard library alone (the guest has python3-minimal): one connection to
# 127.0.0.1:1502 for all its steps, as a PLC holds one.
#   fcmodbus.py STEP...
#     write:ADDR:V[,V...]  FC16 from holding register ADDR (PDU address): "write ... ok" or "... exception N"
#     status               FC4, the status word: "status 0x...."
#     sleep:S              waits S seconds
#     mark:TEXT            TEXT into the GPIO chip's log, between this client's requests
import socket
import struct
import sys
import time

MARK = "/sys/kernel/debug/fcgpio/mark"


def request(sock, tid, pdu):
    sock.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu)
    header = b""
    while len(header) < 7:
        header += sock.recv(7 - len(header))
    length = struct.unpack(">HHHB", header)[2] - 1
    body = b""
    while len(body) < length:
        body += sock.recv(length - len(body))
    return body


def main():
    sock = socket.create_connection(("127.0.0.1", 1502), timeout=10)
    for tid, step in enumerate(sys.argv[1:], 1):
        kind, _, rest = step.partition(":")
        if kind == "write":
            address, values = rest.split(":")
            words = [int(v) for v in values.split(",")]
            pdu = struct.pack(">BHHB", 16, int(address), len(words), 2 * len(words)) + struct.pack(f">{len(words)}H", *words)
            reply = request(sock, tid, pdu)
            print(f"write {step[6:]} " + (f"exception {reply[1]}" if reply[0] & 0x80 else "ok"), flush=True)
        elif kind == "status":
            reply = request(sock, tid, struct.pack(">BHH", 4, 0, 1))
            print(f"status 0x{struct.unpack('>H', reply[2:4])[0]:04x}", flush=True)
        elif kind == "sleep":
            time.sleep(float(rest))
        elif kind == "mark":
            with open(MARK, "w") as mark:
                mark.write(rest)
            print(f"MARK {rest}", flush=True)
    sock.close()


main()
