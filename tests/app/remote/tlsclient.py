#!/usr/bin/python3
# A Modbus/TCP Security client for tst_modbustls on Debian's pymodbus: its TLS
# client with a certificate and the MBAP framer (its default TLS framer leaves
# the header out), TLS 1.2 at most as its sync client needs, the server's
# certificate checked against the CA. Does each step in turn and prints a line
# for each: the registers read, "ok" for a write taken, or "exception N".
#   tlsclient.py PORT CA CERT KEY STEP...
#   wA=V[,V...]  write from holding register A (one value: FC6, more: FC16)
#   rA:N         read N holding registers from A
#   cN           N cycles of a PLC 50 ms apart: RUN at 900 rpm, the status read back (FC23)
import ssl
import sys
import time

from pymodbus.client import ModbusTlsClient
from pymodbus.transaction import ModbusSocketFramer

port, ca, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.maximum_version = ssl.TLSVersion.TLSv1_2
context.load_verify_locations(ca)
context.load_cert_chain(cert, key)
c = ModbusTlsClient("127.0.0.1", port=port, sslctx=context, framer=ModbusSocketFramer, timeout=5)
if not c.connect():
    sys.exit("tlsclient: no connection")


def said(reply, text="ok"):
    return f"exception {reply.exception_code}" if reply.isError() else text


for step in sys.argv[5:]:
    if step[0] == "w":
        address, values = step[1:].split("=")
        values = [int(v) for v in values.split(",")]
        write = c.write_register if len(values) == 1 else c.write_registers
        print(said(write(int(address), values[0] if len(values) == 1 else values)), flush=True)
    elif step[0] == "r":
        address, count = map(int, step[1:].split(":"))
        r = c.read_holding_registers(address, count)
        print(said(r, "" if r.isError() else ",".join(map(str, r.registers))), flush=True)
    elif step[0] == "c":
        outcome = "ok"
        for _ in range(int(step[1:])):
            r = c.readwrite_registers(read_address=100, read_count=1, write_address=0, write_registers=[1, 900])
            outcome = said(r) if outcome == "ok" else outcome
            time.sleep(0.05)
        print(outcome, flush=True)
c.close()
