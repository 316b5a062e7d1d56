#!/usr/bin/env python3
"""Writes a minidump in the i686 layout (x86 CONTEXT, 32-bit stack words)
for the i686 build of hvcdmtutils.dll, loaded at another base than its
preferred one: the exception context's Eip inside FAULT_FUNCTION, and on the
stack a data word, then the return address behind a call inside
CALLER_FUNCTION. No 32-bit program runs here, so this is how the
symbolizer's 32-bit reading is tested.
   make_i686_dump.py BIN_DIR OUTPUT FAULT_FUNCTION CALLER_FUNCTION
prints the two functions' names as addr2line gives them."""
import re
import struct
import subprocess
import sys

sys.path.insert(0, __file__.rsplit('/', 2)[0] + '/scripts')
import symbolize_dump  # noqa: E402  (the PE reader)

bin_dir, output, fault_name, caller_name = sys.argv[1:5]
dll = bin_dir + '/hvcdmtutils.dll'
debug = symbolize_dump.image_from_file(bin_dir + '/symbols/hvcdmtutils.dll.debug')
base = 0x6A000000  # not the preferred base: the symbolizer must relocate
assert base != debug.image_base

symbols = subprocess.run(['i686-w64-mingw32-nm', '-C', bin_dir + '/symbols/hvcdmtutils.dll.debug'],
                         capture_output=True, text=True, check=True).stdout


def address_of(name):
    for line in symbols.splitlines():
        parts = line.split(' ', 2)
        if len(parts) == 3 and parts[1] in 'Tt' and parts[2] == name:
            return int(parts[0], 16)
    sys.exit('no function %s in the i686 debug file' % name)


fault = address_of(fault_name) + 2
caller = address_of(caller_name)
listing = subprocess.run(['i686-w64-mingw32-objdump', '-d', '--no-show-raw-insn', '--start-address=0x%x' % caller,
                          '--stop-address=0x%x' % (caller + 0x400), dll], capture_output=True, text=True, check=True).stdout
lines = [l for l in listing.splitlines() if re.match(r'^\s*[0-9a-f]+:', l)]
returned = next(int(lines[i + 1].split(':')[0], 16) for i, l in enumerate(lines) if re.search(r'\tcall\s', l))

relocate = lambda address: address - debug.image_base + base
stack_base = 0x0019F000
stack = struct.pack('<III', 0x0019F100, relocate(debug.image_base + 0x10), relocate(returned)) + b'\0' * 52
context = bytearray(0x2CC)
struct.pack_into('<I', context, 0, 0x1003F)
struct.pack_into('<I', context, 0xB8, relocate(fault))  # Eip
struct.pack_into('<I', context, 0xC4, stack_base)  # Esp
name = 'Z:\\build\\i686\\bin\\hvcdmtutils.dll'.encode('utf-16-le')
cv = b'RSDS' + debug.build_id + b'\0'

# Layout: header, directory of 4 streams, then the streams' data.
blobs = []
offset = 32 + 4 * 12


def place(data):
    global offset
    rva = offset
    blobs.append(data)
    offset += len(data)
    return rva


stack_rva = place(stack)
context_rva = place(bytes(context))
name_rva = place(struct.pack('<I', len(name)) + name)
cv_rva = place(cv)
system = place(struct.pack('<HHHBB', 0, 6, 0, 1, 0) + b'\0' * 48)
threads = place(struct.pack('<I', 1) + struct.pack('<IIIIQQIIII', 7, 0, 0, 0, 0, stack_base, len(stack), stack_rva,
                                                  len(context), context_rva))
module = struct.pack('<QIIII', base, debug.size_of_image, 0, debug.timestamp, name_rva) + b'\0' * 52 + \
    struct.pack('<II', len(cv), cv_rva) + b'\0' * 24
modules = place(struct.pack('<I', 1) + module)
exception = place(struct.pack('<II', 7, 0) + struct.pack('<IIQQII', 0xC0000005, 0, 0, relocate(fault), 2, 0) +
                  b'\0' * 120 + struct.pack('<II', len(context), context_rva))
streams = [(7, 56, system), (3, 52, threads), (4, 112, modules), (6, 168, exception)]
with open(output, 'wb') as f:
    f.write(struct.pack('<4sIIIIIQ', b'MDMP', 0xA793, len(streams), 32, 0, 0, 0))
    for kind, size, rva in streams:
        f.write(struct.pack('<III', kind, size, rva))
    for blob in blobs:
        f.write(blob)
