"""Reads the exploit mitigations a linker and compiler left in an x86-64 ELF executable.

Only what the hardening checks need is parsed: the file header, program headers, the dynamic
section, the symbol tables and the GNU property notes. Everything is read from the file itself, so
the checks do not depend on how binutils prints it.
"""

import struct

ET_DYN = 3
PT_DYNAMIC = 2
PT_NOTE = 4
PT_GNU_STACK = 0x6474E551
PT_GNU_RELRO = 0x6474E552
PT_GNU_PROPERTY = 0x6474E553
PF_X = 0x1
DT_NULL = 0
DT_NEEDED = 1
DT_STRTAB = 5
DT_FLAGS = 30
DT_FLAGS_1 = 0x6FFFFFFB
DF_BIND_NOW = 0x8
DF_1_NOW = 0x1
DF_1_PIE = 0x08000000
SHT_SYMTAB = 2
SHT_NOTE = 7
SHT_DYNSYM = 11
SHN_UNDEF = 0
NT_GNU_PROPERTY_TYPE_0 = 5
GNU_PROPERTY_X86_FEATURE_1_AND = 0xC0000002
GNU_PROPERTY_X86_FEATURE_1_IBT = 0x1
GNU_PROPERTY_X86_FEATURE_1_SHSTK = 0x2
ENDBR64 = b"\xf3\x0f\x1e\xfa"

# The printf family: from _FORTIFY_SOURCE=2 on, glibc routes every call of these through the checked
# __*_chk variant (which also refuses %n in writable formats), whether or not the buffer size is
# known. A plain import of one of them therefore means some caller was not fortified. Calls such as
# memcpy or readlink become checked only where the object size is known but the length is not, so
# a fortified binary may rightly keep only plain ones; they prove nothing either way.
PRINTF_FAMILY = frozenset(
    "printf fprintf dprintf sprintf snprintf vprintf vfprintf vdprintf vsprintf vsnprintf asprintf "
    "vasprintf obstack_printf obstack_vprintf syslog vsyslog".split())


class ElfError(Exception):
    pass


class ElfFile:
    """An ELF64 little-endian file held in memory, with the pieces the checks read."""

    def __init__(self, path, data=None):
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
        self.data = data
        if self.data[:4] != b"\x7fELF":
            raise ElfError("%s is not an ELF file" % path)
        if self.data[4] != 2 or self.data[5] != 1:
            raise ElfError("%s is not a 64-bit little-endian ELF file" % path)
        (self.type, _machine, _version, self.entry, self.phoff, self.shoff, _flags, _ehsize,
         self.phentsize, self.phnum, self.shentsize, self.shnum, self.shstrndx) = struct.unpack_from(
             "<HHIQQQIHHHHHH", self.data, 16)
        self.segments = [self._segment(i) for i in range(self.phnum)]
        self.sections = [self._section(i) for i in range(self.shnum)]

    def _segment(self, index):
        off = self.phoff + index * self.phentsize
        p_type, p_flags, p_offset, p_vaddr, _paddr, p_filesz, _memsz, _align = struct.unpack_from(
            "<IIQQQQQQ", self.data, off)
        return {"type": p_type, "flags": p_flags, "offset": p_offset, "vaddr": p_vaddr,
                "filesz": p_filesz}

    def _section(self, index):
        off = self.shoff + index * self.shentsize
        (sh_name, sh_type, _flags, sh_addr, sh_offset, sh_size, sh_link, _info, _align,
         sh_entsize) = struct.unpack_from("<IIQQQQIIQQ", self.data, off)
        return {"name_off": sh_name, "type": sh_type, "addr": sh_addr, "offset": sh_offset,
                "size": sh_size, "link": sh_link, "entsize": sh_entsize}

    def _cstring(self, offset):
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("ascii", "replace")

    def section_name(self, section):
        if not self.shnum:
            return ""
        strtab = self.sections[self.shstrndx]
        return self._cstring(strtab["offset"] + section["name_off"])

    def segments_of(self, p_type):
        return [s for s in self.segments if s["type"] == p_type]

    def dynamic_entries(self):
        """The (tag, value) pairs of PT_DYNAMIC up to DT_NULL."""
        entries = []
        for seg in self.segments_of(PT_DYNAMIC):
            for off in range(seg["offset"], seg["offset"] + seg["filesz"], 16):
                tag, value = struct.unpack_from("<qQ", self.data, off)
                if tag == DT_NULL:
                    break
                entries.append((tag, value))
        return entries

    def dynamic_flags(self, tag):
        flags = 0
        for entry_tag, value in self.dynamic_entries():
            if entry_tag == tag:
                flags |= value
        return flags

    def needed_libraries(self):
        """The DT_NEEDED names, read from the dynamic string table."""
        entries = self.dynamic_entries()
        strtab = [value for tag, value in entries if tag == DT_STRTAB]
        if not strtab:
            return []
        base = self.file_offset(strtab[0])
        return [self._cstring(base + value) for tag, value in entries if tag == DT_NEEDED]

    def file_offset(self, vaddr):
        for sec in self.sections:
            if sec["addr"] and sec["addr"] <= vaddr < sec["addr"] + sec["size"]:
                return sec["offset"] + (vaddr - sec["addr"])
        raise ElfError("address %#x is in no section" % vaddr)

    def symbols(self, table_type):
        """(name, defined, value, size) of every symbol in the tables of the given type."""
        result = []
        for sec in self.sections:
            if sec["type"] != table_type or not sec["entsize"]:
                continue
            strtab = self.sections[sec["link"]]
            for off in range(sec["offset"], sec["offset"] + sec["size"], sec["entsize"]):
                st_name, _info, _other, st_shndx, st_value, st_size = struct.unpack_from(
                    "<IBBHQQ", self.data, off)
                name = self._cstring(strtab["offset"] + st_name) if st_name else ""
                result.append((name.split("@")[0], st_shndx != SHN_UNDEF, st_value, st_size))
        return result

    def imported_functions(self):
        return {name for name, defined, _, _ in self.symbols(SHT_DYNSYM) if name and not defined}

    def undefined_symbols(self):
        """What a relocatable object leaves for the linker to find."""
        return {name for name, defined, _, _ in self.symbols(SHT_SYMTAB) if name and not defined}

    def bytes_at(self, vaddr, count):
        off = self.file_offset(vaddr)
        return self.data[off:off + count]

    def x86_features(self):
        """The GNU_PROPERTY_X86_FEATURE_1_AND bits of the property notes (0 when there are none)."""
        features = 0
        regions = [(s["offset"], s["filesz"]) for s in self.segments_of(PT_GNU_PROPERTY)]
        if not regions:
            regions = [(s["offset"], s["size"]) for s in self.sections
                       if s["type"] == SHT_NOTE and self.section_name(s) == ".note.gnu.property"]
        for start, size in regions:
            features |= self._property_features(start, start + size)
        return features

    def _property_features(self, off, end):
        features = 0
        while off + 12 <= end:
            namesz, descsz, note_type = struct.unpack_from("<III", self.data, off)
            name_off = off + 12
            desc_off = name_off + _align(namesz, 4)
            name = self.data[name_off:name_off + namesz]
            if note_type == NT_GNU_PROPERTY_TYPE_0 and name == b"GNU\0":
                pos, desc_end = desc_off, desc_off + descsz
                while pos + 8 <= desc_end:
                    pr_type, pr_datasz = struct.unpack_from("<II", self.data, pos)
                    if pr_type == GNU_PROPERTY_X86_FEATURE_1_AND and pr_datasz >= 4:
                        features |= struct.unpack_from("<I", self.data, pos + 8)[0]
                    pos += 8 + _align(pr_datasz, 8)
            off = desc_off + _align(descsz, 8)
        return features


def archive_members(path):
    """(name, ElfFile) of every ELF member of a System V / GNU ar archive."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"!<arch>\n"):
        raise ElfError("%s is not an ar archive" % path)
    members, off, long_names = [], 8, b""
    while off + 60 <= len(data):
        name = data[off:off + 16].decode("ascii", "replace").strip()
        size = int(data[off + 48:off + 58].decode("ascii").strip())
        body = data[off + 60:off + 60 + size]
        if name == "//":
            long_names = body
        elif name[1:].isdigit():
            start = int(name[1:])
            name = long_names[start:long_names.index(b"/\n", start)].decode("ascii", "replace")
        name = name.rstrip("/")
        if body.startswith(b"\x7fELF"):
            members.append((name, ElfFile("%s(%s)" % (path, name), body)))
        off += 60 + size + (size & 1)
    return members


def unfortified_members(path):
    """The members of a static library that call a printf-family function unchecked, each with
    the names it calls (see PRINTF_FAMILY)."""
    found = {}
    for name, member in archive_members(path):
        unchecked = sorted(member.undefined_symbols() & PRINTF_FAMILY)
        if unchecked:
            found[name] = unchecked
    return found


def _align(value, alignment):
    return (value + alignment - 1) & ~(alignment - 1)


CET_BITS = GNU_PROPERTY_X86_FEATURE_1_IBT | GNU_PROPERTY_X86_FEATURE_1_SHSTK


def missing_protections(path, expect_fortify=True, startup_has_cet=True):
    """The names of the mitigations the executable at path lacks, each with the evidence.

    With expect_fortify the executable may not import a printf-family function unchecked. Pass
    False for one that links a static C++ runtime, which was itself built without fortification,
    and check its own code with unfortified_members instead.

    startup_has_cet says whether the C runtime's startup objects carry the CET property notes; a
    linked executable carries them only when every object does, so without them the check falls
    back to the code itself: main must begin with ENDBR64.
    """
    elf = ElfFile(path)
    missing = []
    flags_1 = elf.dynamic_flags(DT_FLAGS_1)
    if elf.type != ET_DYN or not flags_1 & DF_1_PIE:
        missing.append("pie: e_type %d, DT_FLAGS_1 %#x" % (elf.type, flags_1))
    bind_now = elf.dynamic_flags(DT_FLAGS) & DF_BIND_NOW or flags_1 & DF_1_NOW
    if not elf.segments_of(PT_GNU_RELRO) or not bind_now:
        missing.append("full-relro: GNU_RELRO segments %d, BIND_NOW %s" % (
            len(elf.segments_of(PT_GNU_RELRO)), bool(bind_now)))
    stacks = elf.segments_of(PT_GNU_STACK)
    if not stacks or any(s["flags"] & PF_X for s in stacks):
        missing.append("noexec-stack: GNU_STACK %s" % ("executable" if stacks else "absent"))
    imported = elf.imported_functions()
    if "__stack_chk_fail" not in imported:
        missing.append("stack-protector: __stack_chk_fail not imported")
    unchecked = sorted(imported & PRINTF_FAMILY)
    if expect_fortify and unchecked:
        missing.append("fortify: imports unchecked %s" % ", ".join(unchecked))
    missing.extend(_missing_cet(elf, startup_has_cet))
    return missing


def _missing_cet(elf, startup_has_cet):
    features = elf.x86_features()
    if startup_has_cet:
        if features & CET_BITS != CET_BITS:
            return ["cet: .note.gnu.property X86_FEATURE_1_AND is %#x, IBT|SHSTK wanted" % features]
        return []
    mains = [(value, size) for name, defined, value, size in elf.symbols(SHT_SYMTAB)
             if name == "main" and defined]
    if not mains:
        return ["cet: no symbol table entry for main to check for ENDBR64"]
    if elf.bytes_at(mains[0][0], 4) != ENDBR64:
        return ["cet: main does not begin with ENDBR64 (not compiled with -fcf-protection)"]
    return []


def has_cet_notes(path):
    """Whether an object file or executable carries both the IBT and the SHSTK property."""
    return ElfFile(path).x86_features() & CET_BITS == CET_BITS
