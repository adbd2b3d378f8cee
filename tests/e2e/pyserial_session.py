# Opens the port given at 9600 with odd parity, two stop bits and RTS/CTS; checks that a read
# with a half-second timeout and nothing sent returns nothing on time; then writes a mebibyte
# of seeded random bytes while reading them back through the remote's echo. Exits 0 when every
# byte came back in order; prints what it saw.
import random, serial, sys, threading, time
port = serial.Serial(sys.argv[1], 9600, parity=serial.PARITY_ODD, stopbits=2, rtscts=True, timeout=0.5)
start = time.monotonic(); idle = port.read(10); waited = time.monotonic() - start
print("timeout read: %d bytes after %.3f s" % (len(idle), waited))
data = random.Random(7).randbytes(1 << 20)
writer = threading.Thread(target=port.write, args=(data,)); writer.start()
back = bytearray(); start = time.monotonic()
while len(back) < len(data) and time.monotonic() - start < 90:
    back += port.read(65536)
writer.join(timeout=5); elapsed = time.monotonic() - start
print("echo: %d of %d bytes back in %.1f s (%.0f B/s each way)" % (len(back), len(data), elapsed, len(back) / elapsed))
sys.exit(0 if bytes(back) == data and not idle and 0.45 <= waited < 2 else 1)
