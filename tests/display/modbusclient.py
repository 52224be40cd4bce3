#!/usr/bin/python3
# A Modbus TCP client for the display suite, on Debian's pymodbus, for what
# mbpoll cannot do: hold a connection as a PLC does. Against the program at
# 127.0.0.1:PORT, the 30 Hz operating point (900 rpm, 380 V, 1500 rpm rated,
# 4 poles, 7.6 V/Hz):
#   modbusclient.py PORT silent MS   RUN with the timeout MS, then nothing: prints the
#                                    seconds from sending it until another client reads
#                                    the run ended
#   modbusclient.py PORT hold S      RUN, then the control word with RUN 1 every
#                                    100 ms for S seconds, as a PLC writes it cyclically
# RUN is RUN 0, then RUN 1 with the operating point, on one connection
# (unit 0: the connection is the client).
# Prints "exception N" when the RUN is refused; exit status 0 unless the client failed.
import sys
import time

from pymodbus.client import ModbusTcpClient

CONTROL_WORD, STATUS_WORD = 0, 100
RUN, RUNNING, STOPPING = 1, 1 << 1, 1 << 2


def client(port):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    if not c.connect():
        sys.exit(f"modbusclient: cannot connect to 127.0.0.1:{port}")
    return c


def run(c, timeout_ms):
    c.write_register(CONTROL_WORD, 0)  # RUN 0 first: a client's first control word is never a start
    reply = c.write_registers(CONTROL_WORD, [RUN, 900, 3800, 1500, 4, 760, timeout_ms])
    if reply.isError():
        print(f"exception {reply.exception_code}")
        sys.exit(0)


def main():
    port, action, amount = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    c = client(port)
    if action == "silent":
        went = time.monotonic()  # the watch counts from the RUN's arrival, after this
        run(c, int(amount))
        c.close()
        watcher = client(port)
        while watcher.read_holding_registers(STATUS_WORD, 1).registers[0] & (RUNNING | STOPPING):
            time.sleep(0.005)
        print(f"{time.monotonic() - went:.3f}")
    elif action == "hold":
        run(c, 1000)
        until = time.monotonic() + amount
        while time.monotonic() < until:
            time.sleep(0.1)
            c.write_registers(CONTROL_WORD, [RUN, 900])
    c.close()


main()
