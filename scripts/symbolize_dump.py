#!/usr/bin/env python3
"""Turns a minidump that hvcdmtutils wrote into a readable stack.

Reads the dump's exception stream, thread list, module list and the faulting
thread's stack memory (nothing else, so dumps of any type that keep those
will do), walks the faulting thread's stack and prints one line per frame:
module!function file:line for modules whose split debug information lies in
SYMBOLS_DIR (matched by build id, the CodeView record that ld's --build-id
writes), module+offset for the others.

The walk: frame 0 is the exception context's instruction pointer; the
frames above it come from scanning the stack upward from the context's
stack pointer for words that point into a module's executable code right
behind a call instruction. MinGW code built with -O2 keeps no frame-pointer
chain, so the chain is not followed; a scan can show a stale return address
that an earlier call left behind.
"""
import os
import shutil
import struct
import subprocess
import sys

THREAD_LIST, MODULE_LIST, MEMORY_LIST, EXCEPTION, SYSTEM_INFO, MEMORY64_LIST = 3, 4, 5, 6, 7, 9
X86, AMD64 = 0, 9
# (instruction pointer, stack pointer) offsets in CONTEXT, and the pointer size.
CONTEXTS = {X86: (0xB8, 0xC4, 4), AMD64: (0xF8, 0x98, 8)}
MAX_FRAMES = 64


class DumpError(Exception):
    pass


class Memory:
    """The address ranges whose bytes the dump holds."""

    def __init__(self):
        self.ranges = []  # (start, bytes)

    def add(self, start, data):
        if data:
            self.ranges.append((start, data))

    def read(self, address, size):
        for start, data in self.ranges:
            if start <= address and address + size <= start + len(data):
                return data[address - start:address - start + size]
        return None


class Image:
    """What a PE file or mapped image says about itself."""

    def __init__(self, read, mapped):
        # read(offset, size) -> bytes or None; offsets are file offsets for
        # a file, RVAs for a mapped image.
        self.mapped = mapped
        if read(0, 2) != b'MZ':
            raise DumpError('no PE image')
        pe = struct.unpack('<I', read(0x3C, 4))[0]
        if read(pe, 4) != b'PE\0\0':
            raise DumpError('no PE signature')
        _, sections, stamp, _, _, optional_size, _ = struct.unpack('<HHIIIHH', read(pe + 4, 20))
        optional = pe + 24
        magic = struct.unpack('<H', read(optional, 2))[0]
        wide = magic == 0x20B
        self.image_base = struct.unpack('<Q' if wide else '<I', read(optional + (24 if wide else 28), 8 if wide else 4))[0]
        self.size_of_image = struct.unpack('<I', read(optional + 56, 4))[0]
        self.timestamp = stamp
        directories = optional + (112 if wide else 96)
        debug_rva, debug_size = struct.unpack('<II', read(directories + 6 * 8, 8))
        self.sections = []  # (rva, size, raw offset, raw size, executable)
        table = optional + optional_size
        for i in range(sections):
            header = read(table + 40 * i, 40)
            vsize, rva, raw_size, raw = struct.unpack('<IIII', header[8:24])
            flags = struct.unpack('<I', header[36:40])[0]
            self.sections.append((rva, max(vsize, raw_size), raw, raw_size, bool(flags & 0x20000020)))
        self.build_id = None
        for entry in range(debug_size // 28):
            fields = struct.unpack('<IIHHIIII', self.at(read, debug_rva + 28 * entry, 28) or b'\0' * 28)
            kind, size, rva = fields[4], fields[5], fields[6]
            record = self.at(read, rva, size) if kind == 2 else None
            if record and record[:4] == b'RSDS':
                self.build_id = record[4:24]

    def at(self, read, rva, size):
        """Bytes at an RVA: through the section table for a file."""
        if self.mapped:
            return read(rva, size)
        for start, vsize, raw, raw_size, _ in self.sections:
            if start <= rva and rva + size <= start + min(vsize, raw_size) and raw:
                return read(raw + rva - start, size)
        return None

    def executable(self, rva):
        return any(start <= rva < start + size for start, size, _, _, code in self.sections if code)


def image_from_file(path):
    with open(path, 'rb') as f:
        data = f.read()
    reader = lambda offset, size: data[offset:offset + size] if 0 <= offset and offset + size <= len(data) else None
    image = Image(reader, False)
    image.read_rva = lambda rva, size: image.at(reader, rva, size)
    return image


def image_from_memory(memory, base):
    reader = lambda rva, size: memory.read(base + rva, size)
    image = Image(reader, True)
    image.read_rva = reader
    return image


class Module:
    def __init__(self, base, size, stamp, path, cv_record):
        self.base, self.size, self.stamp, self.path = base, size, stamp, path
        self.name = path.replace('\\', '/').rsplit('/', 1)[-1]
        self.build_id = cv_record[4:24] if cv_record[:4] == b'RSDS' else None
        self.image = None  # headers and perhaps code bytes, for the scan
        self.debug = None  # split debug file whose build id matched
        self.debug_image = None

    def contains(self, address):
        return self.base <= address < self.base + self.size


class Dump:
    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        if len(self.data) < 32 or self.data[:4] != b'MDMP':
            raise DumpError('%s is not a minidump (no MDMP signature)' % path)
        _, _, count, directory = struct.unpack('<4sIII', self.data[:16])
        self.streams = {}
        for i in range(count):
            kind, size, rva = struct.unpack('<III', self.bytes(directory + 12 * i, 12))
            self.streams.setdefault(kind, (rva, size))
        for needed, what in ((EXCEPTION, 'exception'), (THREAD_LIST, 'thread list'), (MODULE_LIST, 'module list')):
            if needed not in self.streams:
                raise DumpError('%s has no %s stream' % (path, what))
        self.architecture = X86
        if SYSTEM_INFO in self.streams:
            self.architecture = struct.unpack('<H', self.bytes(self.streams[SYSTEM_INFO][0], 2))[0]
        if self.architecture not in CONTEXTS:
            raise DumpError('processor architecture %d is neither x86 nor x86_64' % self.architecture)
        self.memory = Memory()
        self.stacks = []
        self.read_threads()
        self.read_memory_lists()
        for start, data in self.stacks:
            self.memory.add(start, data)
        self.read_modules()
        self.read_exception()

    def bytes(self, offset, size):
        if offset + size > len(self.data):
            raise DumpError('the dump is cut short (wanted %d bytes at 0x%x)' % (size, offset))
        return self.data[offset:offset + size]

    def read_threads(self):
        rva = self.streams[THREAD_LIST][0]
        count = struct.unpack('<I', self.bytes(rva, 4))[0]
        self.threads = {}
        for i in range(count):
            tid, _, _, _, _, stack, stack_size, stack_rva, context_size, context_rva = struct.unpack(
                '<IIIIQQIIII', self.bytes(rva + 4 + 48 * i, 48))
            self.threads[tid] = (stack, stack_size)
            # Read after the memory lists: Wine's full-memory dumps keep the
            # stacks there and give the threads an RVA that points elsewhere.
            self.stacks.append((stack, self.bytes(stack_rva, stack_size) if stack_size and stack_rva else b''))

    def read_memory_lists(self):
        if MEMORY_LIST in self.streams:
            rva = self.streams[MEMORY_LIST][0]
            for i in range(struct.unpack('<I', self.bytes(rva, 4))[0]):
                start, size, data = struct.unpack('<QII', self.bytes(rva + 4 + 16 * i, 16))
                self.memory.add(start, self.bytes(data, size))
        if MEMORY64_LIST in self.streams:
            rva = self.streams[MEMORY64_LIST][0]
            count, data = struct.unpack('<QQ', self.bytes(rva, 16))
            for i in range(count):
                start, size = struct.unpack('<QQ', self.bytes(rva + 16 + 16 * i, 16))
                self.memory.add(start, self.data[data:data + size])
                data += size

    def read_modules(self):
        rva = self.streams[MODULE_LIST][0]
        self.modules = []
        for i in range(struct.unpack('<I', self.bytes(rva, 4))[0]):
            entry = self.bytes(rva + 4 + 108 * i, 108)
            base, size, _, stamp, name_rva = struct.unpack('<QIIII', entry[:24])
            cv_size, cv_rva = struct.unpack('<II', entry[76:84])
            length = struct.unpack('<I', self.bytes(name_rva, 4))[0]
            path = self.bytes(name_rva + 4, length).decode('utf-16-le', 'replace')
            cv = self.bytes(cv_rva, cv_size) if cv_size else b''
            self.modules.append(Module(base, size, stamp, path, cv))

    def read_exception(self):
        rva = self.streams[EXCEPTION][0]
        self.thread_id = struct.unpack('<I', self.bytes(rva, 4))[0]
        self.code, _, _, self.address = struct.unpack('<IIQQ', self.bytes(rva + 8, 24))
        context_size, context_rva = struct.unpack('<II', self.bytes(rva + 8 + 152, 8))
        ip_offset, sp_offset, self.pointer = CONTEXTS[self.architecture]
        if context_size < sp_offset + 8:
            raise DumpError('the exception context is missing or too short (%d bytes)' % context_size)
        context = self.bytes(context_rva, context_size)
        word = '<Q' if self.pointer == 8 else '<I'
        self.ip = struct.unpack(word, context[ip_offset:ip_offset + self.pointer])[0]
        self.sp = struct.unpack(word, context[sp_offset:sp_offset + self.pointer])[0]

    def module_at(self, address):
        return next((m for m in self.modules if m.contains(address)), None)


def find_tool(name):
    for prefix in ('x86_64-w64-mingw32-', 'i686-w64-mingw32-', ''):
        if shutil.which(prefix + name):
            return prefix + name
    return None


def same_image(module, image):
    """A file for a module the dump names no build id of: same size and link time."""
    if module.build_id is not None:
        return image.build_id == module.build_id
    return image.size_of_image == module.size and (module.stamp == 0 or image.timestamp == module.stamp)


def attach_files(dump, symbols, images):
    """Debug files by build id, and the images whose headers the scan needs."""
    by_id = {}
    for name in sorted(os.listdir(symbols)) if os.path.isdir(symbols) else []:
        if name.endswith('.debug'):
            try:
                image = image_from_file(os.path.join(symbols, name))
            except (DumpError, OSError, struct.error):
                continue
            if image.build_id:
                by_id[image.build_id] = (os.path.join(symbols, name), image)
    for module in dump.modules:
        try:
            module.image = image_from_memory(dump.memory, module.base)
        except (DumpError, TypeError, struct.error):
            module.image = None
        if module.build_id is None and module.image is not None:
            module.build_id = module.image.build_id
        candidates = [os.path.join(d, module.name) for d in images]
        if module.path[:2].upper() == 'Z:':  # Wine's view of the Unix root
            candidates.append(module.path[2:].replace('\\', '/'))
        for candidate in candidates if module.image is None else []:
            try:
                image = image_from_file(candidate)
            except (DumpError, OSError, struct.error, TypeError):
                continue
            if same_image(module, image):
                # The file's code serves the scan when the dump holds no code of it.
                module.image = image
                if module.build_id is None:
                    module.build_id = image.build_id
                break
        if module.build_id is None:  # neither the dump nor a binary names it: the debug file's own headers
            path = os.path.join(symbols, module.name + '.debug')
            match = next((entry for entry in by_id.values() if entry[0] == path and same_image(module, entry[1])), None)
            if match:
                module.build_id = match[1].build_id
                module.image = module.image or match[1]
        if module.build_id in by_id:
            module.debug, module.debug_image = by_id[module.build_id]


def is_after_call(module, address):
    """Whether the bytes before a return address in a module end in a call."""
    if module.image is None or not module.image.executable(address - module.base):
        return False
    code = module.image.read_rva(address - module.base - 7, 7)
    if code is None:  # a debug file's headers only: no code to check
        return True
    if code[2] == 0xE8:  # call rel32
        return True
    # call r/m: FF /2 with a ModRM and 0 to 5 more bytes
    return any(code[7 - k] == 0xFF and (code[8 - k] >> 3) & 7 == 2 for k in range(2, 8))


def walk(dump):
    frames = [(dump.ip, False)]
    stack = dump.threads.get(dump.thread_id)
    end = stack[0] + stack[1] if stack and stack[1] else dump.sp + 0x10000
    word = '<Q' if dump.pointer == 8 else '<I'
    address = dump.sp
    while address + dump.pointer <= end and len(frames) < MAX_FRAMES:
        raw = dump.memory.read(address, dump.pointer)
        if raw is None:
            if address == dump.sp:
                raise DumpError('the dump holds no stack memory at the faulting stack pointer 0x%x' % dump.sp)
            break
        value = struct.unpack(word, raw)[0]
        module = dump.module_at(value)
        if module and is_after_call(module, value):
            frames.append((value, True))
        address += dump.pointer
    return frames


def demangle(name):
    """i686 symbols carry one more leading underscore than the Itanium scheme."""
    stripped = name.lstrip('_')
    tool = find_tool('c++filt')
    if not stripped.startswith('Z') or tool is None:
        return name
    result = subprocess.run([tool, '-n', '_' + stripped], capture_output=True, text=True)
    return result.stdout.strip() or name if result.returncode == 0 else name


def describe(dump, addr2line, address, returned):
    module = dump.module_at(address)
    if module is None:
        return '0x%x' % address
    offset = address - module.base
    plain = '%s+0x%x' % (module.name, offset)
    if module.debug is None or addr2line is None:
        return plain
    # A return address points behind its call: look the call itself up.
    target = module.debug_image.image_base + offset - (1 if returned else 0)
    result = subprocess.run([addr2line, '-f', '-i', '-e', module.debug, '0x%x' % target],
                            capture_output=True, text=True)
    lines = result.stdout.strip().splitlines()
    if result.returncode != 0 or len(lines) < 2 or lines[0] == '??':
        return plain
    lines[0::2] = [demangle(name) for name in lines[0::2]]
    lines[1::2] = [os.path.normpath(place) if place.startswith('/') else place for place in lines[1::2]]
    text = '%s!%s %s' % (module.name, lines[0], lines[1])
    for function, place in zip(lines[2::2], lines[3::2]):
        text += '\n      inlined into %s %s' % (function, place)
    return text


def main(argv):
    if len(argv) < 2 or len(argv) > 3 or argv[1] in ('-h', '--help'):
        sys.stderr.write('usage: symbolize-dump.sh DUMP [SYMBOLS_DIR]\n')
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    symbols = argv[2] if len(argv) == 3 else os.path.join(os.path.dirname(here), 'dist', 'symbols')
    try:
        dump = Dump(argv[1])
        attach_files(dump, symbols, [os.path.dirname(os.path.abspath(symbols))])
        frames = walk(dump)
    except (DumpError, OSError) as error:
        sys.stderr.write('symbolize-dump: %s\n' % error)
        return 1
    addr2line = find_tool('addr2line')
    arch = 'x86_64' if dump.architecture == AMD64 else 'i686'
    print('dump: %s (%s), exception 0x%08X at 0x%x on thread %d' % (argv[1], arch, dump.code, dump.address,
                                                                   dump.thread_id))
    print('walk: frame 0 from the exception context, then a stack scan for return addresses in module code')
    for module in dump.modules:
        if module.debug:
            print('symbols: %s at 0x%x from %s (build id %s age %d)' % (
                module.name, module.base, module.debug, module.build_id[:16].hex(),
                struct.unpack('<I', module.build_id[16:20])[0]))
    for number, (address, returned) in enumerate(frames):
        print('#%-2d %s' % (number, describe(dump, addr2line, address, returned)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
