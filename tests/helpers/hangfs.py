# hangfs.py MOUNTPOINT [SECONDS]: mounts a file system (FUSE, root only) that answers its mount
# and then nothing: whatever touches a path below MOUNTPOINT (or MOUNTPOINT itself, when it is a
# file: the mount is then a file) waits until this program ends, when those calls fail. Prints
# "mounted" once the mount is in place. Ends by itself after SECONDS (60), so that a caller stuck
# there for good is let go.
import ctypes
import os
import signal
import struct
import sys

target = sys.argv[1]
fd = os.open("/dev/fuse", os.O_RDWR)
libc = ctypes.CDLL(None, use_errno=True)
rootmode = "100000" if os.path.isfile(target) else "40000"
options = f"fd={fd},rootmode={rootmode},user_id=0,group_id=0,allow_other".encode()
if libc.mount(b"hangfs", target.encode(), b"fuse", 0, options) != 0:
    sys.exit("mount: " + os.strerror(ctypes.get_errno()))
# The kernel's INIT, answered as protocol 7.22: 24 bytes of fuse_init_out.
request = os.read(fd, 1 << 20)
_, opcode, unique = struct.unpack_from("<IIQ", request)
if opcode != 26:
    sys.exit(f"expected INIT, got opcode {opcode}")
init_out = struct.pack("<IIIIHHI", 7, 22, 0, 0, 0, 0, 4096)
os.write(fd, struct.pack("<IiQ", 16 + len(init_out), 0, unique) + init_out)
print("mounted", flush=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
signal.signal(signal.SIGALRM, lambda *_: sys.exit(0))
signal.alarm(int(sys.argv[2]) if len(sys.argv) > 2 else 60)
while True:
    os.read(fd, 1 << 20)  # read, never answered
