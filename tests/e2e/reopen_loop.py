# Opens the port given, writes a short message, reads its echo and closes, 200 times with no
# pause between, with pyserial or with the system's own calls (the second argument); counts how
# each cycle ended. Exits 0 when every cycle got its echo.
import errno, os, select, serial, sys, time
path, how, cycles = sys.argv[1], sys.argv[2], 200
def by_pyserial(message):
    port = serial.Serial(path, 9600, timeout=2)
    try:
        port.write(message)
        return port.read(len(message))
    finally:
        port.close()
def by_os(message):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, message)
        back, deadline = b"", time.monotonic() + 2
        while len(back) < len(message) and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(fd, 64)
            if not chunk:
                raise EOFError
            back += chunk
        return back
    finally:
        os.close(fd)
counts = {"good": 0, "end of file": 0, "EIO": 0, "EBUSY": 0, "other": 0}
failures = []  # the first few bad cycles: which, after how long, and what came back or was raised
for i in range(cycles):
    message, start, kind, what = b"ping %d;" % i, time.monotonic(), "good", ""
    try:
        back = (by_pyserial if how == "pyserial" else by_os)(message)
        kind, what = ("good", "") if back == message else ("other", repr(back))
    except EOFError:
        kind = "end of file"
    except (OSError, serial.SerialException) as e:
        kind, what = {errno.EIO: "EIO", errno.EBUSY: "EBUSY"}.get(getattr(e, "errno", None), "other"), repr(e)
    counts[kind] += 1
    if kind != "good" and len(failures) < 5:
        failures.append("cycle %d, %s after %.3f s: %s" % (i, kind, time.monotonic() - start, what))
print(how, counts)
for line in failures:
    print("  " + line)
sys.exit(0 if counts["good"] == cycles else 1)
