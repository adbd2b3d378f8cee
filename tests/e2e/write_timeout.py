# At 9600 baud with a one-second write timeout, a mebibyte's write to the port given must end
# at its timeout with part of it written, as on a line. Exits 0 when it did.
import serial, sys, time
port = serial.Serial(sys.argv[1], 9600, write_timeout=1)
start = time.monotonic()
try:
    port.write(bytes(1 << 20)); outcome = "all written"
except serial.SerialTimeoutException:
    outcome = "timed out"
elapsed = time.monotonic() - start
print("write of 1 MiB: %s after %.2f s" % (outcome, elapsed))
sys.exit(0 if outcome == "timed out" and 0.9 <= elapsed < 3 else 1)
