#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

Seeds are real entries cut to a few kB (the categories the reader keeps, with their first rows and
the atoms their bonds name) and small snippets of every statement kind and every reader error; the
binary harness gets the binary forms of those that parse, made by the installed quarn_parser.
Run from anywhere; reads the entries from ../shared/data beside the repository:

    python3 fuzz/make_corpus.py
"""
import gzip
import os
import shutil
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data")
CORPUS = os.path.join(HERE, "corpus")

ENTRIES = ["1aki.cif", "5i55.cif", "4p5j.cif", "1bna.cif", "1l2y.cif.gz", "1as5.cif.gz", "3o5r.cif.gz",
           "1pfe.cif.gz", "1xnr.cif.gz"]
KEPT = ("_entry.", "_struct.", "_cell.", "_symmetry.", "_struct_conn.", "_chem_comp_bond.", "_atom_site.")
ROWS = {"_struct_conn.": 4, "_chem_comp_bond.": 12, "_atom_site.": 20}


def sections(text):
    """The text split at the '#' lines that separate categories in archive files."""
    current = []
    for line in text.split("\n"):
        if line.strip() == "#":
            if current:
                yield current
            current = []
        else:
            current.append(line)
    if current:
        yield current


def category(lines):
    for line in lines:
        word = line.split(None, 1)[0] if line.strip() else ""
        if word.startswith("_"):
            return word[: word.index(".") + 1] if "." in word else word
    return None


def split_loop(lines):
    """(header lines, tags, row lines) of a loop section whose rows take one line each."""
    tags, i = [], 1
    while i < len(lines) and lines[i].startswith("_"):
        tags.append(lines[i].split()[0])
        i += 1
    return lines[:i], tags, [line for line in lines[i:] if line.strip()]


def cut_entry(name):
    raw = open(os.path.join(DATA, name), "rb").read()
    text = (gzip.decompress(raw) if name.endswith(".gz") else raw).decode("utf-8")
    header = text.split("\n", 1)[0]
    kept = {}
    for lines in sections(text):
        cat = category(lines)
        if cat in KEPT and cat not in kept:
            kept[cat] = lines
    out = [header]
    partners = set()  # (asym, seq) of the kept bond rows, so their atoms are kept too
    for cat in KEPT:
        lines = kept.get(cat)
        if not lines:
            continue
        if lines[0].strip() != "loop_":
            if sum(map(len, lines)) < 1500:
                out += ["#"] + lines
            continue
        head, tags, rows = split_loop(lines)
        limit = ROWS.get(cat, 4)
        chosen = rows[:limit]
        if cat == "_struct_conn.":
            col = {t.lower(): k for k, t in enumerate(tags)}
            for row in chosen:
                f = row.split()
                for p in ("ptnr1", "ptnr2"):
                    try:
                        partners.add(tuple(f[col[f"_struct_conn.{p}_label_{c}_id"]] for c in ("asym", "seq", "atom")))
                    except (KeyError, IndexError):
                        pass
        if cat == "_atom_site.":
            col = {t: k for k, t in enumerate(tags)}
            extra = []
            for row in rows[limit:]:
                f = row.split()
                try:
                    key = tuple(f[col[f"_atom_site.label_{c}_id"]] for c in ("asym", "seq", "atom"))
                except (KeyError, IndexError):
                    continue
                if key in partners and len(extra) < 16:
                    extra.append(row)
            chosen += extra
        out += ["#"] + head + chosen
    return "\n".join(out) + "\n#\n"


ATOMS = """loop_
_atom_site.group_PDB
_atom_site.id
_atom_site.type_symbol
_atom_site.label_atom_id
_atom_site.label_alt_id
_atom_site.label_comp_id
_atom_site.label_asym_id
_atom_site.label_seq_id
_atom_site.Cartn_x
_atom_site.Cartn_y
_atom_site.Cartn_z
_atom_site.occupancy
_atom_site.B_iso_or_equiv
_atom_site.pdbx_formal_charge
_atom_site.auth_seq_id
_atom_site.auth_asym_id
_atom_site.auth_atom_id
_atom_site.pdbx_PDB_model_num
ATOM 1 N N . ALA A 1 0.000 0.000 0.000 1.00 10.0 ? 1 A N 1
ATOM 2 C CA . ALA A 1 1.458 0.000 0.000 1.00 10.0 ? 1 A CA 1
ATOM 3 C C A ALA A 1 2.009 1.420 0.000 0.50 10.0 ? 1 A C 1
ATOM 4 C C B ALA A 1 2.009 1.420 0.100 0.50 10.0 ? 1 A C 1
ATOM 5 O O . ALA A 1 1.251 2.390 0.000 1.00 10.0 -1 1 A O 1
ATOM 6 S SG . CYS A 2 3.300 1.500 1.000 1.00 10.0 ? 2 A SG 1
ATOM 7 S SG . CYS A 3 5.300 1.500 1.000 1.00 10.0 ? 3 A SG 1
HETATM 8 O O . HOH B . 9.500 9.500 9.500 1.00 20.0 ? 101 B O 1
"""

CELL10 = "_cell.length_a 10\n_cell.length_b 10\n_cell.length_c 10\n_cell.angle_alpha 90\n_cell.angle_beta 90\n_cell.angle_gamma 90\n"

SNIPPETS = {
    # statement kinds
    "block-and-items": "data_1ABC\n_entry.id 1ABC\n_struct.title 'A title'\n_symmetry.space_group_name_H-M 'P 1'\n" + CELL10 + ATOMS,
    "two-blocks": "data_A\n" + ATOMS + "data_B\n" + ATOMS,
    "text-field": "data_x\n_struct.title\n;line one\nline two\n; dropped\n" + ATOMS,
    "text-field-blank-lead": "_struct.title\n  ;opened after blanks\n  ;not a close\n;\n" + ATOMS,
    "quotes": "_struct.title \"it's\"\n_entry.id 'it's'\nloop_ _atom_site.id _atom_site.label_atom_id 1 \"O5'\" 2 'C1 ' 3 '' 4 '?'\n",
    "comments": "# leading\nloop_ # after loop_\n_atom_site.id#glued\n_atom_site.label_comp_id\n1 1.5#note\n2 '1.5#note'\n",
    "crlf": "data_x\r\n_struct.title\r\n;a\r\n;\r\nloop_\r\n_atom_site.id\r\n_atom_site.Cartn_x\r\n1 2.0\r\n",
    "keywords": "global_\nsave_frame\n_entry.id inside\nsave_\nstop_\nLOOP_ _atom_site.id 1\nDATA_x\n",
    "ignored-loops": "loop_ _atom_site_anisotrop.id 1 2 3\nloop_ _struct_conn_type.id a b\nloop_ _pdbx.x _atom_site.id 1 2\nloop_ _atom_site.id 1\n",
    "capitals": "loop_ _ATOM_SITE.ID _ATOM_SITE.CARTN_X _atom_site.Cartn_y 1 2 3\n_CELL.LENGTH_A 5\n_ENTRY.ID x\n",
    "struct-conn": ATOMS + """loop_
_struct_conn.id
_struct_conn.conn_type_id
_struct_conn.ptnr1_label_asym_id
_struct_conn.ptnr1_label_comp_id
_struct_conn.ptnr1_label_seq_id
_struct_conn.ptnr1_label_atom_id
_struct_conn.ptnr2_label_asym_id
_struct_conn.ptnr2_label_comp_id
_struct_conn.ptnr2_label_seq_id
_struct_conn.ptnr2_label_atom_id
_struct_conn.ptnr1_auth_seq_id
_struct_conn.ptnr2_auth_seq_id
_struct_conn.ptnr1_auth_asym_id
_struct_conn.ptnr2_auth_asym_id
_STRUCT_CONN.PDBX_DIST_VALUE
disulf1 disulf A CYS 2 SG A CYS 3 SG 2 3 A A 2.03(1)
covale1 covale A ALA 1 C A ALA 1 O 1 1 A A 1.33
hydrog1 hydrog A ALA 1 N A HOH . O 1 101 A B 2.9
metalc1 metalc A ALA 1 O A ALA 1 N 1 1 A A ?
saltbr1 saltbr A ALA 1 N A ALA 1 CA 1 1 A A .
""",
    "chem-comp-bond": ATOMS + """loop_
_chem_comp_bond.comp_id
_chem_comp_bond.atom_id_1
_chem_comp_bond.atom_id_2
_chem_comp_bond.value_order
ALA N CA SING
ALA CA C sing
ALA C O DOUB
ALA C OXT arom
CYS SG SG 5
CYS CA CB ?
loop_
_chem_comp_bond.comp_id_1 _chem_comp_bond.comp_id_2 _chem_comp_bond.atom_id_1 _chem_comp_bond.atom_id_2 _chem_comp_bond.value_order
ALA ALA N C delo
""",
    "cell-placeholder": "_cell.length_a 1\n_cell.length_b 1\n_cell.length_c 1\n_cell.angle_alpha 90\n_cell.angle_beta 90\n_cell.angle_gamma 90\n" + ATOMS,
    "cell-oblique": "_cell.length_a 10\n_cell.length_b 10\n_cell.length_c 10\n_cell.angle_alpha 90\n_cell.angle_beta 90\n_cell.angle_gamma 120\n" + ATOMS,
    "cell-near-orthogonal": CELL10.replace("angle_gamma 90", "angle_gamma 90.00005") + ATOMS,
    "values": """loop_
_atom_site.id _atom_site.Cartn_x _atom_site.Cartn_y _atom_site.Cartn_z _atom_site.occupancy _atom_site.auth_seq_id _atom_site.type_symbol
1 12.345(6) +1. .5 1.0e0 +12 ' se '
2 nan inf -Infinity 1E0 -2147483648 fe
3 1e400 1e-400 0.000000000000000000001 -0.0 2147483647 Ca
4 ? . '?' 1 ? \u00a0C\u3000
5 123456789012345678901234567890 0.1234567890123456789 9007199254740993 1 0 Cl
""",
    "unicode-space": "loop_ _atom_site.id _atom_site.label_comp_id _atom_site.Cartn_x\n1 \u2028ala\u2029 \u00851.5\u00a0\n",
    "bom": "\ufeffdata_1ABC\nloop_ _atom_site.id 1\n",
    "nul": "loop_ _atom_site.id _atom_site.label_comp_id\n1 A\u0000B\n",
    "nan-positions": "loop_ _atom_site.id _atom_site.type_symbol _atom_site.Cartn_x _atom_site.Cartn_y _atom_site.Cartn_z\n"
                     "1 C nan 0 0\n2 C 0 0 0\n3 C 0 0 0\n4 O inf 0 0\n5 O -inf 0 0\n6 H 1e308 0 0\n7 N 0.96 0 0\n",
    "far-outside-cell": CELL10 + "loop_ _atom_site.id _atom_site.type_symbol _atom_site.Cartn_x _atom_site.Cartn_y _atom_site.Cartn_z\n"
                        "1 C 0.2 0 0\n2 C 9.8 0 0\n3 C 26 0 0\n4 C -14.5 0 0\n5 C 5 5 5\n6 C 15 5 5\n",
    "no-atoms": "data_empty\n_entry.id ?\n",
    "only-comments": "# nothing\n#\n",
    # every reader error
    "error-unterminated-quote": "loop_ _atom_site.id 1\n_struct.title 'open\n",
    "error-unterminated-field": "loop_ _atom_site.id 1\n_struct.title\n;open\n",
    "error-loop-without-tags": "loop_ data_x\n",
    "error-loop-mismatch": "loop_ _atom_site.id _atom_site.Cartn_x _atom_site.Cartn_y 1 2 3 4 5 6 7\n",
    "error-dropped-mismatch": "loop_ _struct_conn.id _struct_conn.conn_type_id a b c\nloop_ _atom_site.id 1\n",
    "error-eof": "loop_ _atom_site.id 1\n_entry.id",
    "error-numeric": "loop_ _atom_site.id _atom_site.Cartn_x 1 1.2.3\n",
    "error-integer": "loop_ _atom_site.id _atom_site.auth_seq_id 1 12.0\n",
    "error-conn-integer": "loop_ _atom_site.id 1\nloop_ _struct_conn.ptnr1_auth_seq_id 12A\n",
    "error-conn-distance": "loop_ _atom_site.id 1\nloop_ _struct_conn.pdbx_dist_value 1,2\n",
    "error-cell-missing": "_cell.length_a ?\nloop_ _atom_site.id 1\n",
    "error-cell-float": "_cell.length_a abc\nloop_ _atom_site.id 1\n",
    "error-cell-partial": "_cell.length_a 1\n_cell.length_b 1\n_cell.length_c 1\n",
    "error-cell-length": CELL10.replace("length_c 10", "length_c 0") + "loop_ _atom_site.id 1\n",
    "error-cell-angle": CELL10.replace("angle_beta 90", "angle_beta 180") + "loop_ _atom_site.id 1\n",
}


def parameters(where=0, origin=(0, 0, 0), index=0, max_distance=11, max_results=10, cutoff=10, contact_limit=254,
               tolerance=17, profiles=((0, 1), (1, 0), (2, 1)), matrix=(0, 1, 2)):
    """A parameter block of the queries harness; numbers are codes of its value table
    (0 0.0, 3 1.0, 7 2.0, 10 4.0, 11 5.0, 13 10.0, 14 -1.0, 17 0.4, 20 inf, 22 nan)."""
    b = [where, *origin]
    if where & 1:
        b.append(index)
    b += [max_distance, max_results, cutoff, contact_limit, tolerance]
    for i, flag in profiles:
        b += [i, flag]
    b += [len(matrix), *matrix]
    b = bytes(b[:32])
    return b + bytes(32 - len(b))


QUERY_PARAMETERS = [
    parameters(),
    parameters(where=1, index=1, max_distance=13, max_results=254, cutoff=10, contact_limit=3, tolerance=3),
    parameters(where=0x81, index=2, origin=(2, 0, 0), max_distance=22, cutoff=20, tolerance=14, matrix=(2, 2, 9, 255)),
    parameters(max_distance=20, max_results=0, cutoff=0, tolerance=22, profiles=((9, 1), (0, 1), (255, 0)), matrix=()),
]


def gzip_member(data, level=6, name=None, comment=None, extra=None, header_crc=False):
    """One gzip member, with the optional header fields of RFC 1952 when asked."""
    flags = (0x02 if header_crc else 0) | (0x04 if extra else 0) | (0x08 if name else 0) | (0x10 if comment else 0)
    header = b"\x1f\x8b\x08" + bytes([flags]) + b"\x00\x00\x00\x00\x00\x03"
    if extra:
        header += struct.pack("<H", len(extra)) + extra
    if name:
        header += name + b"\x00"
    if comment:
        header += comment + b"\x00"
    if header_crc:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = c.compress(data) + c.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


# A complete literal/length code over the 286 symbols that zlib allows.
LITERALS_286 = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 4 + [7] * 2


def dynamic_block(literal_lengths, distance_lengths, text):
    """A final DEFLATE block with the given code lengths (as a hand-made encoder might write them,
    sound or not) holding `text` as literals: for the rules of codes that inflaters judge apart."""
    bits = []

    def put(value, n):
        bits.extend((value >> i) & 1 for i in range(n))

    def codes(lengths):
        first, code, out = {}, 0, {}
        for n in range(1, max(lengths) + 1):
            code = (code + sum(1 for x in lengths if x == n - 1 and n > 1)) << 1 if n > 1 else 0
            first[n] = code
        for symbol, n in enumerate(lengths):
            if n:
                out[symbol] = (first[n], n)
                first[n] += 1
        return out

    def put_code(code):
        value, n = code
        bits.extend((value >> i) & 1 for i in reversed(range(n)))

    lengths = literal_lengths + distance_lengths
    # A complete code-length code: the first lengths used get one bit fewer than the rest.
    used = sorted(set(lengths))
    bits_each = max(1, (len(used) - 1).bit_length())
    cl_lengths = [0] * 19
    for k, n in enumerate(used):
        cl_lengths[n] = bits_each - 1 if k < (1 << bits_each) - len(used) else bits_each
    order = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
    count = max(4, max(i + 1 for i in range(19) if cl_lengths[order[i]]))
    put(1, 1), put(2, 2), put(len(literal_lengths) - 257, 5), put(len(distance_lengths) - 1, 5), put(count - 4, 4)
    for i in range(count):
        put(cl_lengths[order[i]], 3)
    cl_codes = codes(cl_lengths)
    for n in lengths:
        put_code(cl_codes[n])
    literal_codes = codes(literal_lengths)
    for byte in text:
        put_code(literal_codes[byte])
    put_code(literal_codes[256])
    bits.extend([0] * (-len(bits) % 8))
    return bytes(sum(bits[i + j] << j for j in range(8)) for i in range(0, len(bits), 8))


def member_of(block, text, flags=0):
    header = b"\x1f\x8b\x08" + bytes([flags]) + b"\x00\x00\x00\x00\x00\x03"
    return header + block + struct.pack("<II", zlib.crc32(text), len(text))


def gzip_seeds(texts):
    """Gzip files: members of real and snippet texts, and every framing case of the loader."""
    small = texts["snippet-struct-conn"].encode()
    atoms = texts["snippet-block-and-items"].encode()
    member = gzip_member(small)
    seeds = {name: gzip_member(text.encode(), level=9 if k % 2 else 1)
             for k, (name, text) in enumerate(sorted(texts.items())) if name.startswith("entry-") or k % 3 == 0}
    seeds.update({
        "two-members": gzip_member(atoms) + gzip_member(b"data_second\n"),
        "empty-member-between": gzip_member(atoms[:500]) + gzip_member(b"") + gzip_member(atoms[500:]),
        "trailing-junk": member + b"junk after the end",
        "trailing-magic-byte": member + b"\x1f",
        "trailing-zeros": member + bytes(64),
        "second-member-damaged": member + b"\x1f\x8b\x63junk",
        "second-member-cut": member + gzip_member(atoms)[:40],
        "cut-in-data": member[: len(member) // 2],
        "cut-in-trailer": member[:-3],
        "cut-in-header": member[:5],
        "bad-crc": member[:-8] + bytes([member[-8] ^ 0x55]) + member[-7:],
        "bad-length": member[:-4] + struct.pack("<I", 1),
        "bad-block-type": member[:10] + b"\xff" + member[11:],
        "header-fields": gzip_member(atoms, name=b"1abc.cif", comment=b"made by hand", extra=b"XY\x02\x00hi", header_crc=True),
        "stored": gzip_member(atoms, level=0),
        "not-utf8": gzip_member(b"data_x\nloop_ _atom_site.id \xff\n"),
        "utf8-cut-at-end": gzip_member(atoms + b"\xe2\x82"),
        "plain-text": atoms,
        "empty": b"",
        # Where inflaters are known to judge apart from zlib, which sets the rule.
        "header-crc-wrong": gzip_member(atoms, name=b"1abc.cif", header_crc=True).replace(b"1abc.cif\x00", b"1abd.cif\x00"),
        "reserved-flag": member[:3] + b"\x20" + member[4:],
        "literal-code-incomplete": member_of(dynamic_block([8] * 144 + [9] * 112 + [7] * 24 + [8] * 6, [5] * 28 + [4] * 2, b"ab"), b"ab"),
        "distance-code-one-bit": member_of(dynamic_block(LITERALS_286, [1], b"loop_"), b"loop_"),
        "distance-code-incomplete": member_of(dynamic_block(LITERALS_286, [2], b"loop_"), b"loop_"),
    })
    return seeds


def write(harness, name, data):
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def binary_seeds(texts):
    """The binary forms of the texts that parse, as pickling makes them, and a few cut or damaged."""
    import copyreg
    import tempfile

    import quarn_parser

    seeds = {}
    with tempfile.TemporaryDirectory() as folder:
        for name, text in texts.items():
            path = os.path.join(folder, "seed.cif")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            try:
                structure = quarn_parser.parse(path)
            except ValueError:
                continue
            seeds[name] = copyreg.dispatch_table[quarn_parser.Structure](structure)[1][0]
            if name == "entry-3o5r":
                # A derived structure's form carries a derivation section: where its atoms came from.
                import quarn

                derived = quarn.euclidean(quarn.altloc(structure))
                seeds["derived-3o5r"] = copyreg.dispatch_table[quarn_parser.Structure](derived)[1][0]
    whole = seeds["entry-1aki"]
    seeds["cut-in-atoms"] = whole[: len(whole) // 2]
    seeds["damaged-byte"] = whole[:40] + bytes([whole[40] ^ 1]) + whole[41:]
    seeds["other-version"] = whole[:8] + b"\x02" + whole[9:]
    return seeds


def main():
    if not os.path.isdir(DATA):
        sys.exit(f"real entries not found under {DATA}")
    for harness in ("text", "gzip", "queries", "binary"):
        shutil.rmtree(os.path.join(CORPUS, harness), ignore_errors=True)
    texts = {}
    for name in ENTRIES:
        texts["entry-" + name.split(".")[0]] = cut_entry(name)
    for name, text in SNIPPETS.items():
        texts["snippet-" + name] = text
    for k, (name, text) in enumerate(sorted(texts.items())):
        data = text.encode("utf-8")
        # Text harness: the first byte picks the pieces (1 to 64 bytes, fixed or random).
        write("text", name, bytes([(7 * k) & 0x7f]) + data)
        # Queries harness: parameter blocks in turn.
        write("queries", name, QUERY_PARAMETERS[k % len(QUERY_PARAMETERS)] + data)
    for name, data in gzip_seeds(texts).items():
        write("gzip", name, data)
    for name, data in binary_seeds(texts).items():
        write("binary", name, data)


if __name__ == "__main__":
    main()
