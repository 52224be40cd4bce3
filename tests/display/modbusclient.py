#!/usr/bin/python3
# A Modbus TCP client for the display suite, on Debian's pymodbus: one
# action a call, against the program at 127.0.0.1:PORT; prints one line.
#   modbusclient.py PORT point        the 30 Hz operating point, then Required Voltage
#   modbusclient.py PORT run|stop     presses RUN or STOP
#   modbusclient.py PORT read         the input registers, blank-separated
#   modbusclient.py PORT silent MS    timeout MS, RUN, then nothing: prints the
#                                     seconds until another client reads the run ended
# A write prints "ok" or "exception N"; exit status 0 unless the client failed.
import sys
import time

from pymodbus.client import ModbusTcpClient

HOLDING_COMMAND, HOLDING_TIMEOUT = 4, 5
REQUIRED_VOLTAGE, RUN, STOP = 1, 2, 3
INPUT_COUNT, STATE, END_CAUSE = 13, 0, 12


def client(port):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    if not c.connect():
        sys.exit(f"modbusclient: cannot connect to 127.0.0.1:{port}")
    return c


def said(reply):
    return f"exception {reply.exception_code}" if reply.isError() else "ok"


def main():
    port, action = int(sys.argv[1]), sys.argv[2]
    c = client(port)
    if action == "point":
        # 380.0 V, 4 poles, 900 rpm, 7.60 V/Hz, Required Voltage
        print(said(c.write_registers(0, [3800, 4, 900, 760, REQUIRED_VOLTAGE])))
    elif action in ("run", "stop"):
        print(said(c.write_register(HOLDING_COMMAND, RUN if action == "run" else STOP)))
    elif action == "read":
        print(" ".join(str(r) for r in c.read_input_registers(0, INPUT_COUNT).registers))
    elif action == "silent":
        reply = c.write_registers(HOLDING_COMMAND, [RUN, int(sys.argv[3])])
        if reply.isError():
            print(said(reply))
            return
        went = time.monotonic()
        c.close()
        watcher = client(port)
        while watcher.read_input_registers(STATE, 1).registers[0] != 0:
            time.sleep(0.005)
        print(f"{time.monotonic() - went:.3f}")
    c.close()


main()
